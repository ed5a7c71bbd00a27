#!/usr/bin/env python3
"""The docs' quoted figures and samples (regions.py), against their records: check says which region of
which document no longer says what its record does, and which figures in prose no record backs; write
writes every region again. A recorded board's summary.txt is also checked against the build's own
board_summary on that folder.

    quote.py check [--build DIR]
    quote.py write [--build DIR]
    quote.py counts --build DIR

DIR is a built host build, for the samples that its programs print (default build/host). counts holds
the record of the build's target in tests/data/bench to what the build itself counts (its
instruction-mix.json, which the InstructionMix test writes): a change of code that changes a count then
fails until the record and the docs that quote it say so too.
"""

import argparse
import difflib
import glob
import os
import subprocess
import sys

from docs import figures, regions, samples
from docs.sources import DATA, ISAS, quote
from shared import build_description, checkout
from shared.board_folder import kind_folders
from shared.cli import ToolError, entry
from shared.results import load_json

# Each kind of region: what writes it from its arguments, and whether it takes the build.
KINDS = {
    "run": (figures.run_shape, False), "shape": (figures.shape, False), "const": (figures.constant, False),
    "mix": (figures.mix_figure, False), "ratio": (figures.ratio, False), "bench": (figures.bench, False),
    "sweep": (figures.sweep, False), "sweep-flat": (figures.sweep_flat, False), "time": (figures.script_time, False),
    "quote": (quote, False), "sample": (lambda _, build: samples.run_sample(build), True),
    "bench-table": (samples.bench, False), "sweep-table": (samples.sweep, False), "files": (samples.files, False),
    "board-block": (samples.board_block, False), "vm-cores": (samples.vm_cores, False),
    "results-table": (samples.results_table, False), "compare": (samples.compare, False),
    "compare-rates": (samples.compare_rates, False), "apart": (samples.apart_verdicts, False),
    "scale": (samples.scale_table, False),
}
DOCUMENTS = [checkout.path("README.md")] + sorted(glob.glob(checkout.path("docs", "*.md")))


def written(name, build):
    kind, *arguments = name.split(":")
    if kind not in KINDS:
        raise ToolError(f"a region {name!r} of no kind the docs know: {', '.join(KINDS)}")
    write, with_build = KINDS[kind]
    try:
        return write(*arguments, build) if with_build else write(*arguments)
    except (OSError, KeyError, TypeError, ValueError, AttributeError) as error:
        raise ToolError(f"the region {name} cannot be written from its record: {error!r}") from error


def rewritten(path, build, problems):
    """A document's text, and its text with every region written again; a region that cannot be is left
    as it was, and said in problems."""
    with open(path, encoding="utf-8") as document:
        text = document.read()

    def each(name):
        try:
            return written(name, build)
        except ToolError as error:
            problems.append(f"{os.path.relpath(path, checkout.ROOT)}: {error}")
            return None

    return text, regions.rewritten(text, each)


def summaries_problems(build):
    """Each recorded summary.txt against what the build's board_summary prints in that folder."""
    command = build_description.command(build_description.load(build), "board_summary")
    problems = []
    for summary in glob.glob(os.path.join(DATA, "*", "summary.txt")):
        folder = os.path.dirname(summary)
        printed = "\n".join(subprocess.run(command, cwd=kind, capture_output=True, text=True, check=True).stdout
                            for kind in kind_folders(folder))
        with open(summary, encoding="utf-8") as recorded:
            if printed != recorded.read():
                problems.append(f"{os.path.relpath(summary, checkout.ROOT)}: not what board_summary prints there now")
    return problems


def counts_problems(build):
    counted = load_json(os.path.join(build, "instruction-mix.json"), writer="instruction_mix.py --save")
    recorded_path = os.path.join(DATA, "bench", f"mix-{ISAS[counted['isa']]}.json")
    recorded = load_json(recorded_path, writer="scripts/bench")
    keys = ("kernels", "outputs", "taps", "per_mac")
    if any(counted[key] != recorded[key] for key in keys):
        return [f"{os.path.relpath(recorded_path, checkout.ROOT)}: not what this build counts "
                f"({os.path.join(build, 'instruction-mix.json')}): record the build's counts there, and write the "
                f"docs again (tools/docs/quote.py write)"]
    return []


def check(build):
    problems = summaries_problems(build)
    for path in DOCUMENTS:
        text, now = rewritten(path, build, problems)
        name = os.path.relpath(path, checkout.ROOT)
        if now != text:
            diff = difflib.unified_diff(text.splitlines(), now.splitlines(), name, f"{name} from its records",
                                        lineterm="", n=1)
            problems.append("\n".join(list(diff)[:40]))
        problems += [f"{name}:{line}: {figure} in prose, which no record backs: quote it in a region, or leave it "
                     f"out" for line, figure in regions.unquoted(text)]
    return problems


def write(build):
    problems = []
    for path in DOCUMENTS:
        text, now = rewritten(path, build, problems)
        if now != text:
            with open(path, "w", encoding="utf-8") as document:
                document.write(now)
            print(f"{os.path.relpath(path, checkout.ROOT)}: written again")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=("check", "write", "counts"))
    parser.add_argument("--build", default=checkout.path("build", "host"))
    args = parser.parse_args(argv)
    problems = {"write": write, "check": check, "counts": counts_problems}[args.command](args.build)
    fine = {"counts": "the recorded counts are this build's",
            "check": f"the docs say what their records do ({len(DOCUMENTS)} documents)", "write": ""}
    if problems or fine[args.command]:
        print("\n".join(problems) or fine[args.command], file=sys.stderr if problems else sys.stdout)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(entry("quote", main, sys.argv[1:]))
