#!/usr/bin/env python3
"""scripts/explain --opt's lesson: why the compiler does not write fir_neon by itself. fir's own loop is
built three ways (kernel_variants): as the kernels are declared, with __restrict on its pointers, and with
__restrict and -ffast-math. For each it gives instructions per multiply-add, whether the tap loop was
vectorised, its largest difference from fir's bits on the sample data, and GCC's own account of the loop
(-fopt-info-vec), with one sentence on what stopped or freed the compiler.

    variants.py BUILD_DIR     a build configured with FIR_VARIANTS=ON
"""

import json
import os
import re
import sys
import tempfile

from shared import build_description
from shared.cli import ToolError, entry, run_tool
from explain.counts import summarise_all
from shared.instruction_sets import INSTRUCTION_SETS
from explain.measure import measure
from shared.results import read_text

STEPS = (("fir_declared", "as declared"), ("fir_restrict", "with __restrict"),
         ("fir_fast_math", "with __restrict and -ffast-math"))


def gcc_account(report, source):
    """GCC's -fopt-info-vec messages on the tap loop and its statement, in order, without the generic
    "couldn't vectorize loop" where a reason follows."""
    loop = next(number for number, line in enumerate(source.splitlines(), 1) if "the tap loop" in line)
    said = []
    for line in report.splitlines():
        match = re.match(r".*?:(\d+):\d+: (?:optimized|missed): (.*)$", line)
        if match and int(match.group(1)) in (loop, loop + 1) and match.group(2) not in said:
            said.append(match.group(2))
    reasons = [message for message in said if message != "couldn't vectorize loop"]
    return reasons or said


def why(step, vectorised, ulps, isa):
    """What stopped the compiler at this step, or what freed it, in one sentence."""
    if step == "fir_declared" and not vectorised:
        return ("Aliasing: out may overlap in or coeffs, so out[i] must be stored after every tap, and no two taps "
                "can share a vector.")
    if step == "fir_restrict" and vectorised:
        return ("The order of a float sum: it multiplies four taps at once, then adds the products one by one in "
                "tap order, so the bits stay fir's and the adds stay scalar.")
    if step == "fir_restrict" and INSTRUCTION_SETS[isa].flushes_subnormals:
        return ("ARMv7's NEON unit flushes subnormals to zero, which is not IEEE arithmetic, so GCC leaves it "
                "unused until told the math may be unsafe (-funsafe-math-optimizations, part of -ffast-math).")
    if step == "fir_fast_math" and vectorised:
        return (f"With -ffast-math the sum's order is free: the lanes keep partial sums added at the end, which "
                f"round differently, up to {ulps} ULPs from fir's bits where an output is near zero.")
    return "Vectorised." if vectorised else "Not vectorised."


def differences_of(said):
    """kernel_variants --ulps's JSON: {"ulps": {step: n}, "absolute": {step: x}}, every step in both."""
    try:
        differences = json.loads(said)
        return {key: {name: differences[key][name] for name, _ in STEPS} for key in ("ulps", "absolute")}
    except (ValueError, KeyError, TypeError) as error:
        raise ToolError(f"kernel_variants --ulps said what it does not write ({error!r}): {said[:80]!r}") from error


def steps(build_dir):
    """[(step's name, label, instructions per multiply-add, vectorised, ULPs, absolute, GCC's account)]."""
    build = build_description.load(build_dir)
    measured = measure(build_dir, program="kernel_variants")
    summaries = summarise_all(measured)
    with tempfile.TemporaryDirectory() as samples:
        run_tool(build_description.command(build, "make_samples") + [samples])
        differences = differences_of(run_tool(build_description.command(build, "kernel_variants") +
                                              ["--ulps", samples]).stdout)
    source = read_text(build["variants"]["source"])
    found = []
    for name, label in STEPS:
        vectorised = any(op.startswith("vector") for op in summaries[name]["ops"])
        report = read_text(os.path.join(build["variants"]["reports"], f"{name}.txt"))
        found.append((name, label, summaries[name]["total"], vectorised, differences["ulps"][name],
                      differences["absolute"][name], gcc_account(report, source)))
    return build, found


def variants_table(build, found):
    """The three builds of fir's loop side by side, then what GCC said of each and why."""
    lines = [f"What stops {build['compiler']} from writing fir_neon itself: fir's own loop on {build['isa']} at "
             f"{build['optimisation']}, built three ways:",
             f"  {'':34} {'instructions/MAC':>16}  {'vectorised':>10}  largest difference from fir: in ULPs, and in "
             f"the signal's units"]
    for _, label, total, vectorised, ulps, absolute, _ in found:
        lines.append(f"  {label:34} {total:16.2f}  {'yes' if vectorised else 'no':>10}  {ulps:>6}  {absolute:.2g}")
    for name, label, _, vectorised, ulps, _, said in found:
        account = "; ".join(message.rstrip(".") for message in said)
        lines.append(f"  {label}: GCC says \"{account}\". {why(name, vectorised, ulps, build['isa'])}")
    return lines


def run(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    print("\n".join(variants_table(*steps(argv[0]))))
    return 0


if __name__ == "__main__":
    sys.exit(entry("variants", run, sys.argv[1:]))
