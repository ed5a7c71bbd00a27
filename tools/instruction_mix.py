#!/usr/bin/env python3
"""Where each FIR kernel's instructions go, per multiply-add.

Runs a build's kernel_instructions (one call of each kernel, nothing else) and
counts every instruction it executes: with callgrind (--dump-instr=yes) where
the build runs natively, and with qemu's execution trace (-singlestep, one
line per executed instruction) where it runs under the build's emulator. The
counts are matched, address by address, to objdump's disassembly of the same
binary and sorted into a few plain categories. The target, its tools and the
binary come from the build's description; the kernels and the shape they ran
from what kernel_instructions itself reports.

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

import build_description

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


class MixError(Exception):
    """A failure to report in one line: a missing tool, or counts that do not fit the binary."""


def kernel_of(symbol, kernels):
    """The kernel a symbol names, mangled (_Z8fir_neonPKf...) or demangled (fir_neon(...)), or None."""
    match = re.match(r"_Z\d+(\w+?)PKf|(\w+)\(", symbol)
    name = match and (match.group(1) or match.group(2))
    return name if name in kernels else None


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


CLASSIFIERS = {"x86-64": classify_x86, "ARMv7": classify_arm, "AArch64": classify_aarch64}


# --- Reading the tools' output ---

COMMENT = {"x86-64": "#", "ARMv7": "@", "AArch64": "//"}


def function_bodies(text):
    """objdump -d: {symbol: [instruction lines]}, each function's lines as objdump prints them."""
    bodies, current = {}, None
    for line in text.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if header:
            current = bodies.setdefault(header.group(1), [])
        elif not line.strip():
            current = None
        elif current is not None:
            current.append(line)
    return bodies


def parse_objdump(text, isa, kernels):
    """objdump -d --no-show-raw-insn: {kernel: [(address, mnemonic, operands)]}."""
    found = {}
    for symbol, lines in function_bodies(text).items():
        kernel = kernel_of(symbol, kernels)
        if not kernel:
            continue
        found[kernel] = []
        for line in lines:
            insn = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
            if insn:
                # Without objdump's comments and the symbol it names beside a branch target.
                operands = re.sub(rf"\s*({COMMENT[isa]}|<).*$", "", insn.group(3))
                found[kernel].append((int(insn.group(1), 16), insn.group(2), operands))
    return found


def parse_callgrind(lines, kernels):
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
                kernel = kernel_of(names[match.group(1)], kernels)
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


def parse_qemu_trace(lines, kernels):
    """qemu -singlestep -d nochain,exec: {kernel: Counter(address: executions)}."""
    counts = defaultdict(Counter)
    pattern = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/[^]]*\] (\S+)")
    for line in lines:
        match = pattern.match(line)
        if match:
            kernel = kernel_of(match.group(2), kernels)
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


def summarise_all(measured):
    macs = measured["outputs"] * measured["taps"]
    return {kernel: summarise(rows, macs) for kernel, rows in measured["rows"].items()}


def hot_loop(rows):
    """The instructions that run at least half as often as the busiest one: the innermost loop."""
    busiest = max(row[3] for row in rows)
    return [row for row in rows if row[3] * 2 >= busiest]


def check(isa, kernels, summaries):
    """The arithmetic each kernel is written with, by its lanes, as problems found (empty when right):
    a scalar kernel one multiply and one add per multiply-add, a vector kernel one of each per lane-full."""
    problems = []

    def expect(kernel, name, want):
        got = summaries[kernel]["ops"].get(name, 0.0)
        if abs(got - want) > 1e-9:
            problems.append(f"{kernel}: {got:g} {name} per multiply-add, expected {want:g}")

    for kernel in kernels:
        name, lanes = kernel["name"], kernel["lanes"]
        if lanes == 1:
            expect(name, "scalar mul", 1.0)
            expect(name, "scalar add", 1.0)
            expect(name, "vector mla", 0.0)
            continue
        # ARMv7 has an unfused vector multiply-accumulate; x86-64 and AArch64 multiply then add.
        fused_free_mla = isa == "ARMv7"
        expect(name, "vector mla", 1 / lanes if fused_free_mla else 0.0)
        expect(name, "vector mul", 0.0 if fused_free_mla else 1 / lanes)
        expect(name, "vector add", 0.0 if fused_free_mla else 1 / lanes)
        expect(name, "scalar mul", 0.0)
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
        build = build_description.load(build_dir)
        command = build_description.command(build, "kernel_instructions")
    except build_description.DescriptionError as error:
        raise MixError(str(error)) from error
    isa, binary = build["isa"], command[-1]
    if isa not in CLASSIFIERS:
        raise MixError(f"no classifier for {isa}'s instructions")
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "counts")
        if build["emulator"]:
            method = f"{os.path.basename(command[0])}'s execution trace"
            program = run(command[:-1] + ["-singlestep", "-d", "nochain,exec", "-D", out, binary])
            reader = parse_qemu_trace
        else:
            method = "callgrind"
            program = run(["valgrind", "--tool=callgrind", "--dump-instr=yes", f"--callgrind-out-file={out}", binary])
            reader = parse_callgrind
        ran = json.loads(program.stdout)
        with open(out, encoding="utf-8", errors="replace") as counted:
            counts = reader(counted, build_description.kernel_names(ran))
    return measured_from(isa, method, ran, run([build["objdump"], "-d", "--no-show-raw-insn", binary]).stdout, counts)


def measured_from(isa, method, ran, objdump, counts):
    """Everything counted, from what kernel_instructions reported (ran), its disassembly and the counts."""
    names = build_description.kernel_names(ran)
    disassembly = parse_objdump(objdump, isa, names)
    rows = {name: annotate(disassembly[name], counts[name], CLASSIFIERS[isa]) for name in names}
    return {"isa": isa, "method": method, "kernels": ran["kernels"], "outputs": ran["outputs"], "taps": ran["taps"],
            "rows": rows}


# --- Output ---

def vector_ratios(kernels, summaries):
    """[(vector kernel, how many times fewer instructions per multiply-add it runs than the reference)].
    The reference is the table's first kernel."""
    reference = kernels[0]["name"]
    return [(k["name"], summaries[reference]["total"] / summaries[k["name"]]["total"])
            for k in kernels if k["lanes"] > 1]


def ratio_lines(kernels, summaries, tail=""):
    reference = kernels[0]["name"]
    return [f"{name} executes 1/{ratio:.2f} of {reference}'s{tail}" for name, ratio in vector_ratios(kernels, summaries)]


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
    names = build_description.kernel_names(measured)
    print(f"Instructions per multiply-add on {measured['isa']}, unoptimised, counted by {measured['method']} "
          f"over one call of each kernel ({measured['outputs']} outputs x {measured['taps']} taps):", file=out)
    print(f"  {'':32}" + "".join(f"{kernel:>10}" for kernel in names), file=out)
    for key, label in CATEGORIES:
        print(f"  {label:32}" + "".join(f"{summaries[k]['categories'][key]:10.2f}" for k in names), file=out)
    print(f"  {'total':32}" + "".join(f"{summaries[k]['total']:10.2f}" for k in names), file=out)

    for kernel in names:
        loop = hot_loop(measured["rows"][kernel])
        share = sum(row[3] for row in loop) / macs
        print(f"\n{kernel}'s innermost loop: {len(loop)} instructions, {share:.2f} of its "
              f"{summaries[kernel]['total']:.2f} instructions per multiply-add.", file=out)
        print(f"  {'address':>8}  {'instruction':44} {'per MAC':>8}  category", file=out)
        for address, mnemonic, operands, count, category, _ in loop:
            text = f"{mnemonic} {operands}".strip()
            print(f"  {address:8x}  {text:44} {per_mac(count, macs):>8}  {LABELS[category]}", file=out)

    print("\nIn short:", file=out)
    for kernel in names:
        print("  " + lesson(kernel, summaries[kernel]), file=out)
    for line in ratio_lines(measured["kernels"], summaries, " instructions per multiply-add."):
        print("  " + line, file=out)


def as_json(measured, summaries):
    """What scripts/bench keeps of a target's counts."""
    return {"isa": measured["isa"], "method": measured["method"], "kernels": measured["kernels"],
            "outputs": measured["outputs"], "taps": measured["taps"], "per_mac": summaries}


def summary_line(measured, summaries):
    figures = ", ".join(f"{kernel['name']} {summaries[kernel['name']]['total']:.2f}" for kernel in measured["kernels"])
    return "; ".join([f"  {measured['isa']}, counted by {measured['method']}: {figures}"] +
                     ratio_lines(measured["kernels"], summaries)) + "."


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
    summaries = summarise_all(measured)
    isa, kernels = measured["isa"], measured["kernels"]
    if args.json:
        json.dump(as_json(measured, summaries), sys.stdout, indent=1)
    elif args.summary:
        print(summary_line(measured, summaries))
    elif args.check:
        problems = check(isa, kernels, summaries)
        for problem in problems:
            print(problem, file=sys.stderr)
        if problems:
            return 1
        print(f"{isa}: every kernel's arithmetic is as written")
    else:
        explain(measured, summaries, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
