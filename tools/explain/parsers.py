"""Pure parsers of what counts the kernels' instructions: objdump's disassembly, callgrind's profile and
qemu's execution trace. Each takes text and gives plain data."""

import re
from collections import Counter, defaultdict

from shared.instruction_sets import INSTRUCTION_SETS


def kernel_of(symbol, kernels):
    """The kernel a symbol names, mangled (_Z8fir_neonPKf...) or demangled (fir_neon(...)), or None."""
    match = re.match(r"_Z\d+(\w+?)PKf|(\w+)\(", symbol)
    name = match and (match.group(1) or match.group(2))
    return name if name in kernels else None


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
                operands = re.sub(rf"\s*({INSTRUCTION_SETS[isa].comment}|<).*$", "", insn.group(3))
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
