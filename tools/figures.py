"""The figures every table and chart shows, computed as plain data from what the readers and parsers
give: speed-ups and their noise, instructions per multiply-add by category, the arithmetic check, the
whole program's split, gprof's shares, and a board's counts beside the emulated ones."""

from collections import Counter

from classify import CATEGORIES
from cli import ToolError
from instruction_sets import INSTRUCTION_SETS
from parsers import parse_inclusive

# A figure whose repetitions spread wider than this is marked noisy.
NOISY_CV = 0.05
# Board counts that differ from the emulated ones by more than this are called out.
COUNT_TOLERANCE = 0.02


def names(timings):
    return list(timings["kernels"])


def speedup(timings, kernel):
    """The ratio of the reference kernel's median time to this one's."""
    reference = names(timings)[0]
    return timings["kernels"][reference]["median"] / timings["kernels"][kernel]["median"]


def noisy(timings, kernel):
    """A time that its repetitions do not pin down."""
    return timings["kernels"][kernel]["cv"] > NOISY_CV


def noisy_speedup(timings, kernel):
    """A ratio is as loose as the looser of its two times; the reference's own is 1 by definition."""
    reference = names(timings)[0]
    return kernel != reference and (noisy(timings, kernel) or noisy(timings, reference))


def mmacs(timings, kernel):
    """Millions of multiply-adds a second at the median time."""
    return timings["outputs"] * timings["taps"] / (timings["kernels"][kernel]["median"] / 1000) / 1e6


# --- Instructions ---

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


# --- The whole program ---

def program_figures(annotated, hyperfine, peak_kib, values, kernels):
    """The whole run's figures from callgrind_annotate --inclusive=yes text and hyperfine's JSON."""
    def required(marker):
        count = parse_inclusive(annotated, marker)
        if count is None:
            raise ValueError(f"callgrind_annotate shows no {marker!r}")
        return count

    # The driver calls the kernels it reports on; a kernel of the table that it
    # does not call is in the timings and counts, not in the program's run.
    run_kernels = [count for count in (parse_inclusive(annotated, f":{kernel}(") for kernel in kernels)
                   if count is not None]
    if not run_kernels:
        raise ValueError("callgrind_annotate shows none of the kernels")
    run = hyperfine["results"][0]
    return {"instructions": required(":main "), "reading": required(":ValueReader::next("),
            "kernels": sum(run_kernels), "values": values, "wall_median": run["median"],
            "wall_cv": run["stddev"] / run["mean"], "runs": len(run["times"]), "peak_kib": peak_kib}


def profile_figures(flat, kernels):
    """{kernel: (self seconds, calls, share of the kernels' time or None, speed-up over the reference or
    None)} from gprof's parsed flat profile; a kernel with no sample has no speed-up."""
    self_s = {kernel: flat.get(kernel, (0.0, 0))[0] for kernel in kernels}
    total, reference = sum(self_s.values()), self_s[kernels[0]]
    return {kernel: (seconds, flat.get(kernel, (0.0, 0))[1], seconds / total if total > 0 else None,
                     reference / seconds if seconds > 0 and reference > 0 else None)
            for kernel, seconds in self_s.items()}
