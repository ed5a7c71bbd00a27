#!/usr/bin/env python3
"""Where each FIR kernel's instructions go, per multiply-add.

Runs a build's kernel_instructions (one call of each kernel, nothing else) and
counts every instruction it executes: with callgrind (--dump-instr=yes) where
the build runs natively, and with qemu's execution trace (-singlestep, one
line per executed instruction) where it runs under the build's emulator. The
counts are matched, address by address, to objdump's disassembly of the same
binary and sorted into a few plain categories.

    instruction_mix.py BUILD_DIR            the explanation: mix, hot loops, lessons
    instruction_mix.py BUILD_DIR --summary  instructions per multiply-add, one line
    instruction_mix.py BUILD_DIR --json     the counts, for scripts/bench
    instruction_mix.py BUILD_DIR --check    exits 1 unless the kernels' arithmetic is as written
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import Counter, defaultdict

KERNELS = ("fir", "fir_opt", "fir_neon")

# (key, label), in the order they are shown and stacked.
CATEGORIES = (
    ("memory", "loads/stores"),
    ("scalar", "scalar float arithmetic"),
    ("vector", "vector float arithmetic"),
    ("lanes", "vector moves and broadcasts"),
    ("integer", "integer and address arithmetic"),
    ("branch", "compares and branches"),
    ("call", "calls and returns"),
    ("nop", "no-ops"),
)
LABELS = dict(CATEGORIES)

ISAS = {"x86-64": "x86-64", "arm": "ARMv7", "aarch64": "AArch64"}


class MixError(Exception):
    """A failure to report in one line: a missing tool, or counts that do not fit the binary."""


def kernel_of(symbol):
    """The kernel a symbol names, mangled or demangled, or None."""
    match = re.match(r"_Z\d+(fir\w*?)PKf|(fir\w*)\(", symbol)
    name = match and (match.group(1) or match.group(2))
    return name if name in KERNELS else None


# --- Classifiers: (mnemonic, operands) -> (category, arithmetic op or None) ---
# The op is "mul", "add" or "mla" for floating-point multiplies, adds and
# (unfused) multiply-accumulates, which the checks count.

X86_FLOAT_OPS = {"mul": "mul", "add": "add", "sub": "add", "div": None, "sqrt": None, "min": None, "max": None}


def classify_x86(mnemonic, operands):
    if mnemonic.startswith(("call", "ret")) or mnemonic == "leave":
        return "call", None
    if mnemonic.startswith("j") or mnemonic.startswith(("cmp", "test", "ucomis", "comis")):
        return "branch", None
    if mnemonic.startswith("nop") or mnemonic in ("xchg", "data16", "cs"):
        return "nop", None
    if mnemonic in ("push", "pop"):
        return "memory", None
    if mnemonic.startswith("mov") and "(" in operands:
        return "memory", None
    match = re.fullmatch(r"(mul|add|sub|div|sqrt|min|max)(ss|sd|ps|pd)", mnemonic)
    if match:
        return ("scalar" if match.group(2) in ("ss", "sd") else "vector"), X86_FLOAT_OPS[match.group(1)]
    if mnemonic.startswith("cvt"):
        return "scalar", None
    if "%xmm" in operands:
        return "lanes", None
    return "integer", None


ARM_CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
ARM_FLOAT_OPS = {"vmul": "mul", "vadd": "add", "vsub": "add", "vmla": "mla", "vmls": "mla"}


def classify_arm(mnemonic, operands):
    base = mnemonic.split(".")[0]
    if base in ("bl", "blx") or (base == "bx" and operands.strip() == "lr"):
        return "call", None
    if re.fullmatch(rf"b({ARM_CONDITIONS})?|cbn?z|cmp|cmn|tst|teq|vcmp|vcmpe|vmrs", base):
        return "branch", None
    if base == "nop":
        return "nop", None
    if re.match(r"(v?ld|v?st|push|pop|vpush|vpop)", base):
        return "memory", None
    if base in ARM_FLOAT_OPS or base in ("vdiv", "vneg", "vabs", "vsqrt", "vcvt", "vfma", "vfms"):
        vector = re.search(r"\bq\d+", operands) or (".f32" in mnemonic and re.search(r"\bd\d+", operands))
        return ("vector" if vector else "scalar"), ARM_FLOAT_OPS.get(base)
    if base.startswith("v"):
        return "lanes", None
    return "integer", None


AARCH64_FLOAT_OPS = {"fmul": "mul", "fadd": "add", "fsub": "add", "fmla": "mla", "fmls": "mla"}


def classify_aarch64(mnemonic, operands):
    base = mnemonic.split(".")[0]
    if base in ("bl", "blr", "ret"):
        return "call", None
    if base in ("b", "br", "cbz", "cbnz", "tbz", "tbnz", "cmp", "cmn", "tst", "ccmp", "fcmp", "fcmpe"):
        return "branch", None
    if base == "nop":
        return "nop", None
    if re.match(r"(ld|st)", base):
        return "memory", None
    vector = re.search(r"\bv\d+\.", operands)
    if base in AARCH64_FLOAT_OPS or base in ("fdiv", "fneg", "fabs", "fsqrt", "fmadd", "fmsub") or \
            base.startswith(("scvtf", "ucvtf", "fcvt")):
        return ("vector" if vector else "scalar"), AARCH64_FLOAT_OPS.get(base)
    if vector or base in ("dup", "ins", "umov", "movi", "fmov", "ext", "zip1", "zip2"):
        return "lanes", None
    return "integer", None


CLASSIFIERS = {"x86-64": classify_x86, "arm": classify_arm, "aarch64": classify_aarch64}


# --- Reading the tools' output ---

COMMENT = {"x86-64": "#", "arm": "@", "aarch64": "//"}


def parse_objdump(text):
    """objdump -d --no-show-raw-insn: {kernel: [(address, mnemonic, operands)]} and the ISA."""
    isa = None
    match = re.search(r"file format (\S+)", text)
    if match:
        fmt = match.group(1)
        isa = "x86-64" if "x86-64" in fmt else "aarch64" if "aarch64" in fmt else "arm" if "arm" in fmt else None
    kernels, current = {}, None
    for line in text.splitlines():
        header = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
        if header:
            current = kernel_of(header.group(2))
            if current:
                kernels[current] = []
            continue
        insn = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if current and insn:
            # Without objdump's comments and the symbol it names beside a branch target.
            operands = re.sub(rf"\s*({COMMENT[isa]}|<).*$", "", insn.group(3))
            kernels[current].append((int(insn.group(1), 16), insn.group(2), operands))
        elif not line.strip():
            current = None
    if isa is None:
        raise MixError("objdump did not say which instruction set the binary is for")
    return kernels, isa


def parse_callgrind(lines):
    """A callgrind output with --dump-instr=yes: {kernel: Counter(address: executions)}.

    Follows the format's name compression ("fn=(12) name", then "fn=(12)") and
    relative positions ("+3", "-2", "*"), and leaves out the inclusive cost
    that the line after each "calls=" carries.
    """
    names, counts = {}, defaultdict(Counter)
    kernel, last, skip_next = None, [0, 0], False
    positions = 1
    for line in lines:
        line = line.rstrip("\n")
        if line.startswith("positions:"):
            positions = len(line.split()) - 1
        elif line.startswith(("fn=", "cfn=")):
            match = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
            if match.group(2) is not None:
                names[match.group(1)] = match.group(2)
            if line.startswith("fn="):
                kernel = kernel_of(names[match.group(1)])
        elif line.startswith(("calls=", "jump=", "jcnd=")):
            skip_next = True
        elif line[:1] in "0123456789+-*" and line:
            fields = line.split()
            for i in range(positions):
                token = fields[i]
                if token == "*":
                    continue
                if token[0] in "+-":
                    last[i] += int(token, 0)
                else:
                    last[i] = int(token, 0)
            if kernel and not skip_next:
                counts[kernel][last[0]] += int(fields[positions]) if len(fields) > positions else 0
            skip_next = False
    return counts


def parse_qemu_trace(lines):
    """qemu -singlestep -d nochain,exec: {kernel: Counter(address: executions)}."""
    counts = defaultdict(Counter)
    pattern = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/[^]]*\] (\S+)")
    for line in lines:
        match = "fir" in line and pattern.match(line)
        if match:
            kernel = kernel_of(match.group(2))
            if kernel:
                counts[kernel][int(match.group(1), 16)] += 1
    return counts


# --- Counting ---

def annotate(disassembly, counts, classify):
    """[(address, mnemonic, operands, executions, category, op)] of one kernel.

    The executed addresses sit wherever the binary was loaded; the lowest is
    the kernel's entry, which fixes the offset. An executed address that is
    not one of the kernel's instructions means the counts came from another
    binary.
    """
    if not counts:
        raise MixError("no instruction of the kernel was counted")
    offset = min(counts) - disassembly[0][0]
    by_address = {address: (mnemonic, operands) for address, mnemonic, operands in disassembly}
    stray = [a for a in counts if a - offset not in by_address]
    if stray:
        raise MixError(f"{len(stray)} counted addresses are not instructions of the binary: counts from another build?")
    rows = []
    for address, mnemonic, operands in disassembly:
        category, op = classify(mnemonic, operands)
        rows.append((address, mnemonic, operands, counts.get(address + offset, 0), category, op))
    return rows


def summarise(rows, macs):
    """Per multiply-add: total, by category, and the float ops by (category, op)."""
    total = sum(row[3] for row in rows)
    categories = {key: 0.0 for key, _ in CATEGORIES}
    ops = Counter()
    for _, _, _, count, category, op in rows:
        categories[category] += count / macs
        if op:
            ops[f"{category} {op}"] += count / macs
    return {"total": total / macs, "categories": categories, "ops": dict(ops)}


def hot_loop(rows):
    """The instructions that run at least half as often as the busiest one: the innermost loop."""
    busiest = max(row[3] for row in rows)
    return [row for row in rows if row[3] * 2 >= busiest]


def check(isa, summaries):
    """The arithmetic the kernels are written with, as problems found (empty when right)."""
    problems = []

    def expect(kernel, name, want):
        got = summaries[kernel]["ops"].get(name, 0.0)
        if abs(got - want) > 1e-9:
            problems.append(f"{kernel}: {got:g} {name} per multiply-add, expected {want:g}")

    for kernel in ("fir", "fir_opt"):
        expect(kernel, "scalar mul", 1.0)
        expect(kernel, "scalar add", 1.0)
        expect(kernel, "vector mla", 0.0)
    # ARMv7 has an unfused vector multiply-accumulate; x86-64 and AArch64 multiply then add.
    fused_free_mla = isa == "arm"
    expect("fir_neon", "vector mla", 0.25 if fused_free_mla else 0.0)
    expect("fir_neon", "vector mul", 0.0 if fused_free_mla else 0.25)
    expect("fir_neon", "vector add", 0.0 if fused_free_mla else 0.25)
    expect("fir_neon", "scalar mul", 0.0)
    return problems


# --- Running the build's own tools ---

def run(command, **kwargs):
    try:
        return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)
    except FileNotFoundError as error:
        raise MixError(f"{command[0]} is not installed") from error
    except subprocess.CalledProcessError as error:
        raise MixError(f"{' '.join(command)} failed: {error.stderr.strip()[-300:]}") from error


def measure(build_dir):
    """Runs the build's kernel_instructions once and returns everything counted."""
    try:
        with open(os.path.join(build_dir, "kernel_instructions.json"), encoding="utf-8") as description:
            build = json.load(description)
    except OSError as error:
        raise MixError(f"{build_dir} is not a configured build: {error.strerror}") from error
    binary, emulator = build["binary"], build["emulator"]
    if not os.path.exists(binary):
        raise MixError(f"{binary} is not built")
    disassembly, isa = parse_objdump(run([build["objdump"], "-d", "--no-show-raw-insn", binary]).stdout)
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "counts")
        if emulator:
            method = f"{os.path.basename(emulator[0])}'s execution trace"
            program = run(emulator + ["-singlestep", "-d", "nochain,exec", "-D", out, binary])
            with open(out, encoding="utf-8", errors="replace") as trace:
                counts = parse_qemu_trace(trace)
        else:
            method = "callgrind"
            program = run(["valgrind", "--tool=callgrind", "--dump-instr=yes", f"--callgrind-out-file={out}", binary])
            with open(out, encoding="utf-8", errors="replace") as profile:
                counts = parse_callgrind(profile)
    shape = re.search(r"(\d+) outputs x (\d+) taps", program.stdout)
    if not shape:
        raise MixError("kernel_instructions did not say how many outputs and taps it ran")
    outputs, taps = int(shape.group(1)), int(shape.group(2))
    classify = CLASSIFIERS[isa]
    rows = {kernel: annotate(disassembly[kernel], counts[kernel], classify) for kernel in KERNELS}
    return {"isa": isa, "method": method, "outputs": outputs, "taps": taps, "rows": rows}


# --- Output ---

def neon_ratio(summaries):
    """How many times fewer instructions per multiply-add fir_neon runs than fir."""
    return summaries["fir"]["total"] / summaries["fir_neon"]["total"]


def per_mac(count, macs):
    """How often an instruction runs per multiply-add: 1, 1/4, 1/32, or a decimal."""
    if count and macs % count == 0:
        return "1" if count == macs else f"1/{macs // count}"
    if count % macs == 0:
        return str(count // macs)
    return f"{count / macs:.3f}"


def lesson(kernel, summary):
    ops = summary["ops"]
    names = {"scalar mul": "scalar multiplies", "scalar add": "scalar adds", "vector mla":
             "vector multiply-accumulates", "vector mul": "vector multiplies", "vector add": "vector adds"}
    arithmetic = ", ".join(f"{ops[op]:.2f} {name}" for op, name in names.items() if ops.get(op))
    return (f"{kernel}: {arithmetic} and {summary['categories']['memory']:.2f} loads/stores per multiply-add, "
            f"{summary['total']:.2f} instructions in all")


def explain(measured, summaries, out):
    macs = measured["outputs"] * measured["taps"]
    print(f"Instructions per multiply-add on {ISAS[measured['isa']]}, unoptimised, counted by {measured['method']} "
          f"over one call of each kernel ({measured['outputs']} outputs x {measured['taps']} taps):", file=out)
    print(f"  {'':32}" + "".join(f"{kernel:>10}" for kernel in KERNELS), file=out)
    for key, label in CATEGORIES:
        print(f"  {label:32}" + "".join(f"{summaries[k]['categories'][key]:10.2f}" for k in KERNELS), file=out)
    print(f"  {'total':32}" + "".join(f"{summaries[k]['total']:10.2f}" for k in KERNELS), file=out)

    for kernel in KERNELS:
        loop = hot_loop(measured["rows"][kernel])
        share = sum(row[3] for row in loop) / macs
        print(f"\n{kernel}'s innermost loop: {len(loop)} instructions, {share:.2f} of its "
              f"{summaries[kernel]['total']:.2f} instructions per multiply-add.", file=out)
        print(f"  {'address':>8}  {'instruction':44} {'per MAC':>8}  category", file=out)
        for address, mnemonic, operands, count, category, _ in loop:
            text = f"{mnemonic} {operands}".strip()
            print(f"  {address:8x}  {text:44} {per_mac(count, macs):>8}  {LABELS[category]}", file=out)

    print("\nIn short:", file=out)
    for kernel in KERNELS:
        print("  " + lesson(kernel, summaries[kernel]), file=out)
    print(f"  fir_neon executes 1/{neon_ratio(summaries):.2f} of fir's instructions per multiply-add.", file=out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--summary", action="store_true")
    mode.add_argument("--json", action="store_true")
    mode.add_argument("--check", action="store_true")
    args = parser.parse_args(argv)
    try:
        measured = measure(args.build_dir)
    except MixError as error:
        print(f"instruction_mix: {error}", file=sys.stderr)
        return 1
    macs = measured["outputs"] * measured["taps"]
    summaries = {kernel: summarise(rows, macs) for kernel, rows in measured["rows"].items()}
    name = ISAS[measured["isa"]]
    if args.json:
        json.dump({"isa": name, "method": measured["method"], "kernels": summaries}, sys.stdout, indent=1)
    elif args.summary:
        figures = ", ".join(f"{kernel} {summaries[kernel]['total']:.2f}" for kernel in KERNELS)
        print(f"  {name}, counted by {measured['method']}: {figures}; fir_neon executes "
              f"1/{neon_ratio(summaries):.2f} of fir's.")
    elif args.check:
        problems = check(measured["isa"], summaries)
        for problem in problems:
            print(problem, file=sys.stderr)
        if problems:
            return 1
        print(f"{name}: every kernel's arithmetic is as written")
    else:
        explain(measured, summaries, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
