#!/usr/bin/env python3
"""scripts/compare's verdicts, one line a kernel, on two builds timed in alternation, or on two runs taken
apart.

    compare_runs.py rounds A B [--rounds N] [--smallest-effect PERCENT] --out FILE
        A and B are build folders or unpacked bundles: their kernel_timings in N rounds (rounds.py), the
        record in FILE, then each kernel's verdict (paired.py)
    compare_runs.py verdicts FILE [--smallest-effect PERCENT]
        the verdicts of a record again, without timing anything
    compare_runs.py apart BEFORE.json AFTER.json --report FILE
        two kernel_timings runs taken at different times (a board's results folders): Google Benchmark's
        compare.py with its Mann-Whitney U test, its table, then a line a kernel
    compare_runs.py rates --same FILE... --slowed KERNEL FILE...
        scripts/compare-rates' figures: how many verdicts on a build against itself cry change, and how
        many find KERNEL slower where it was planted to be
"""

import argparse
import json
import sys

from compare import paired
from shared.cli import ToolError, entry, run_tool, with_commands
from report.figures import names
from shared.results import load_json, read_compare_report, read_rounds, read_timings
from compare.rounds import take_rounds

# Google Benchmark's own comparison, from Debian's libbenchmark-tools.
COMPARE_PY = "/usr/share/benchmark/compare.py"


def apart_verdicts(report, before, after):
    """[{kernel, change (a fraction of the before median), before and after medians (ms), p or None, the
    repetitions each run kept, the spreads}] in the before run's kernel order."""
    by_label = {}
    for item in report:
        kernel = item.get("label")
        if kernel not in before["kernels"] or kernel not in after["kernels"]:
            continue
        found = by_label.setdefault(kernel, {"kernel": kernel, "p": None, "repetitions": None})
        if item["run_type"] == "iteration" and item["utest"]:
            found["p"] = item["utest"]["time_pvalue"]
            found["repetitions"] = (item["utest"]["nr_of_repetitions"], item["utest"]["nr_of_repetitions_other"])
        elif item["aggregate_name"] == "median":
            measured = item["measurements"][0]
            found.update(change=measured["time"], before_ms=measured["real_time"], after_ms=measured["real_time_other"])
    found = []
    for kernel in names(before):
        if kernel in by_label and "change" in by_label[kernel]:
            spreads = (before["kernels"][kernel]["cv"], after["kernels"][kernel]["cv"])
            found.append(dict(by_label[kernel], spreads=spreads))
    return found


def apart_line(verdict):
    v = verdict
    size = (f"median {v['before_ms']:.2f} -> {v['after_ms']:.2f} ms ({100 * v['change']:+.1f}%); spread "
            f"{100 * v['spreads'][0]:.1f}% and {100 * v['spreads'][1]:.1f}%")
    if v["p"] is None:
        return (f"{v['kernel']}: not tested ({size}): a run without its repetitions (an older one?) gives the U "
                f"test nothing")
    if v["p"] >= paired.ALPHA:
        what = "no significant difference"
    else:
        what = f"{'slower' if v['change'] > 0 else 'faster'} by {100 * abs(v['change']):.1f}%"
    repetitions = f"{v['repetitions'][0]} and {v['repetitions'][1]} repetitions"
    return f"{v['kernel']}: {what}, p = {v['p']:.4f} (U test, {repetitions}; {size})"


def percent(fraction):
    return f"{100 * fraction:+.1f}%"


def paired_line(kernel, v, smallest_effect):
    """One kernel's verdict on interleaved rounds."""
    band = f"{100 * smallest_effect:g}%"
    if v["verdict"] == "too-few":
        return f"{kernel}: too few rounds ({v['rounds']}) to tell: Wilcoxon's test needs {paired.MIN_ROUNDS}"
    p = "p < 0.0001" if v["p"] < 0.0001 else f"p = {v['p']:.4f}"
    interval = f"95% interval {percent(v['low'])} to {percent(v['high'])}"
    if v["verdict"] in ("slower", "faster"):
        return f"{kernel}: {v['verdict']} by {100 * abs(v['change']):.1f}% ({interval}), {p}"
    if v["verdict"] == "within":
        return f"{kernel}: within ±{band}: {percent(v['change'])} ({interval}), {p}"
    return (f"{kernel}: unclear: {percent(v['change'])} ({interval}), {p}; neither a change beyond ±{band} nor "
            f"one within it: more rounds narrow it")


def paired_lines(record, smallest_effect):
    sides = record["sides"]
    lines = [f"B against A, timed in alternation on CPU {record['cpu']}: {len(record['rounds'])} rounds, each both "
             f"sides' kernels once in a random order",
             *(f"  {name}: {side['path']} ({side['build']['commit'][:12]}"
               f"{' with changes' if side['build']['modified'] else ''}, {side['build']['flags']})"
               for name, side in sides.items()),
             f"Per kernel, the median of the rounds' ratios B/A with its 95% interval, Wilcoxon's signed-rank p, "
             f"and a verdict that needs p < {paired.ALPHA} and the whole interval beyond ±{100 * smallest_effect:g}%:"]
    verdicts = paired.verdicts(record, smallest_effect)
    return lines + [f"  {paired_line(kernel, v, smallest_effect)}" for kernel, v in verdicts.items()]


def rates(same, slowed_kernel, slowed):
    """The false alarms over every kernel's verdict of the same-build records, and the detections of the
    planted slowdown over the slowed records; the other kernels of the slowed records count as same-build
    verdicts."""
    alarms, verdicts, found = 0, 0, 0
    for path in same + slowed:
        for kernel, v in paired.verdicts(load_json(path, read_rounds, "compare_runs.py rounds")).items():
            if path in slowed and kernel == slowed_kernel:
                found += v["verdict"] == "slower"
                continue
            verdicts += 1
            alarms += v["verdict"] in ("slower", "faster")
    return [f"False alarms: {alarms} of {verdicts} verdicts on kernels that did not change "
            f"({100 * alarms / max(verdicts, 1):.1f}%).",
            f"Detections: {found} of {len(slowed)} comparisons found {slowed_kernel}, slowed by a tenth, slower."]


def apart(before_path, after_path, report_path):
    before = load_json(before_path, read_timings, "kernel_timings")
    after = load_json(after_path, read_timings, "kernel_timings")
    table = run_tool([sys.executable, COMPARE_PY, "-a", "--no-color", "--alpha", str(paired.ALPHA), "-d",
                      report_path, "benchmarks", before_path, after_path])
    found = apart_verdicts(load_json(report_path, read_compare_report, "compare.py"), before, after)
    if not found:
        raise ToolError(f"{before_path} and {after_path} time no kernel in common")
    print(table.stdout)
    print(f"Two runs taken apart: the U test cannot tell a change from the machine's drift between them. For "
          f"builds, time them in alternation: scripts/compare REV_A REV_B. After against before, p < "
          f"{paired.ALPHA} counting as a difference:")
    print("\n".join("  " + apart_line(verdict) for verdict in found))


def bounded(kind, low, high):
    """An argparse type: a number of kind from low to high."""
    def parse(text):
        value = kind(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is not from {low} to {high}")
        return value
    return parse


def parser():
    top, commands = with_commands(__doc__)
    rounds = commands.add_parser("rounds")
    rounds.add_argument("a")
    rounds.add_argument("b")
    rounds.add_argument("--rounds", type=bounded(int, 1, 100000), default=80)
    rounds.add_argument("--out", required=True)
    again = commands.add_parser("verdicts")
    again.add_argument("record")
    for command in (rounds, again):
        command.add_argument("--smallest-effect", type=bounded(float, 0, 100), default=100 * paired.SMALLEST_EFFECT,
                             help="the smallest change that matters, in per cent")
    taken_apart = commands.add_parser("apart")
    taken_apart.add_argument("before")
    taken_apart.add_argument("after")
    taken_apart.add_argument("--report", required=True)
    rated = commands.add_parser("rates")
    rated.add_argument("--same", nargs="+", required=True)
    rated.add_argument("--slowed", nargs="+", required=True, metavar="KERNEL FILE")
    return top


def run(argv):
    args = parser().parse_args(argv)
    if args.command == "apart":
        apart(args.before, args.after, args.report)
        return 0
    if args.command == "rates":
        print("\n".join(rates(args.same, args.slowed[0], args.slowed[1:])))
        return 0
    if args.command == "rounds":
        record = take_rounds(args.a, args.b, args.rounds)
        with open(args.out, "w", encoding="utf-8") as out:
            json.dump(record, out, indent=1)
        print(f"The rounds are in {args.out}; tools/compare_runs.py verdicts {args.out} gives these again.")
    else:
        record = load_json(args.record, read_rounds, "compare_runs.py rounds")
    print("\n".join(paired_lines(record, args.smallest_effect / 100)))
    return 0


if __name__ == "__main__":
    sys.exit(entry("compare_runs", run, sys.argv[1:]))
