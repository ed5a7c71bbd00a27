"""Instructions per multiply-add as plain data: each kernel's counted instructions matched to its
disassembly, summed by category, its innermost loop, the arithmetic check, and how many times fewer
instructions a vector kernel runs than the reference."""

from collections import Counter

from shared.classify import CATEGORIES
from shared.cli import ToolError
from shared.instruction_sets import INSTRUCTION_SETS


def annotate(disassembly, counts, classify, offset):
    """[(address, mnemonic, operands, executions, category, op)] of one kernel.

    The counted addresses are the binary's own plus offset (where the emulator
    loaded it). A count outside the kernel's addresses is not the kernel's:
    callgrind charges a kernel with the instructions of its caller that run
    before it notices a return that pushed nothing (AArch64's, ARM's). A count
    inside them that is not one of its instructions means the counts came from
    another binary.
    """
    first, last = disassembly[0][0] + offset, disassembly[-1][0] + offset
    inside = {address - offset: count for address, count in counts.items() if first <= address <= last}
    if not inside:
        raise ToolError("no instruction of the kernel was counted")
    by_address = {address: (mnemonic, operands) for address, mnemonic, operands in disassembly}
    stray = [a for a in inside if a not in by_address]
    if stray:
        raise ToolError(f"{len(stray)} counted addresses are not instructions of the binary: counts from another "
                        f"build?")
    rows = []
    for address, mnemonic, operands in disassembly:
        category, op = classify(mnemonic, operands)
        rows.append((address, mnemonic, operands, inside.get(address, 0), category, op))
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


def arithmetic_problems(isa, kernels, summaries):
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
        # With an unfused vector multiply-accumulate (ARMv7's), one does it all; else a multiply, then an add.
        mla = INSTRUCTION_SETS[isa].unfused_vector_mla
        expect(name, "vector mla", 1 / lanes if mla else 0.0)
        expect(name, "vector mul", 0.0 if mla else 1 / lanes)
        expect(name, "vector add", 0.0 if mla else 1 / lanes)
        expect(name, "scalar mul", 0.0)
    return problems


def vector_ratios(kernels, summaries):
    """[(vector kernel, how many times fewer instructions per multiply-add it runs than the reference)].
    The reference is the table's first kernel."""
    reference = kernels[0]["name"]
    return [(k["name"], summaries[reference]["total"] / summaries[k["name"]]["total"])
            for k in kernels if k["lanes"] > 1]
