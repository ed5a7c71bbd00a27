#!/usr/bin/env python3
"""scripts/compare's verdicts, one line a kernel, on two builds timed in alternation, or on two results
folders taken apart.

    compare_runs.py check [--rounds N] [--smallest-effect PERCENT]
        refuses bad options before anything is built
    compare_runs.py rounds A B [--rounds N] [--smallest-effect PERCENT] --out FILE
        A and B are build folders or unpacked bundles: their kernel_timings in N rounds (rounds.py), each
        written to the record FILE as it is taken, going on from the rounds that FILE already holds of the
        same two sides; then each kernel's verdict (paired.py)
    compare_runs.py verdicts FILE [--smallest-effect PERCENT]
        the verdicts of a record again, without timing anything
    compare_runs.py apart BEFORE AFTER --report FILE
        two results folders of the board's run: Google Benchmark's compare.py with its Mann-Whitney U test
        on their timings (apart.py)
    compare_runs.py rates --same FILE... --slowed KERNEL FILE... [--record FILE]
        scripts/compare-rates' figures (rates.py); --record keeps them, as JSON
"""

import json
import sys

from compare import paired
from compare.apart import apart
from compare.rates import rate_lines, tally
from compare.record import read_record
from compare.rounds import take_rounds
from shared.cli import bounded, entry, with_commands


# How many rounds a comparison takes unless told.
ROUNDS = 80


def percent(fraction):
    return f"{100 * fraction:+.1f}%"


def paired_line(kernel, v, smallest_effect):
    """One kernel's verdict on interleaved rounds."""
    band = f"{100 * smallest_effect:g}%"
    if v["verdict"] == "too-few":
        return f"{kernel}: too few rounds ({v['rounds']}) to tell: the sign test needs {paired.MIN_ROUNDS}"
    p = "p < 0.0001" if v["p"] < 0.0001 else f"p = {v['p']:.4f}"
    interval = f"95% interval {percent(v['low'])} to {percent(v['high'])}"
    if v["verdict"] == "split":
        rounds, low, high = v["split"]
        return (f"{kernel}: split: {rounds} of {v['rounds']} rounds ({100 * rounds / v['rounds']:.0f}%) read "
                f"{percent(low)} to {percent(high)}, far from the median of all, {percent(v['change'])} "
                f"({interval}), {p}: the builds' speed differs from launch to launch (their memory layout?), "
                f"which one median cannot sum up")
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
             f"Per kernel, the median of the rounds' ratios B/A with its 95% interval and the sign test's p, "
             f"and a verdict that needs the whole interval beyond ±{100 * smallest_effect:g}%:"]
    verdicts = paired.verdicts(record, smallest_effect)
    return lines + [f"  {paired_line(kernel, v, smallest_effect)}" for kernel, v in verdicts.items()]


def parser():
    top, commands = with_commands(__doc__)
    check = commands.add_parser("check", prog="scripts/compare")
    rounds = commands.add_parser("rounds")
    rounds.add_argument("a")
    rounds.add_argument("b")
    rounds.add_argument("--out", required=True)
    for command in (check, rounds):
        command.add_argument("--rounds", type=bounded(int, 1, 1000000), default=ROUNDS)
    again = commands.add_parser("verdicts")
    again.add_argument("record")
    for command in (check, rounds, again):
        command.add_argument("--smallest-effect", type=bounded(float, 0, 100), default=100 * paired.SMALLEST_EFFECT,
                             help="the smallest change that matters, in per cent")
    taken_apart = commands.add_parser("apart")
    taken_apart.add_argument("before")
    taken_apart.add_argument("after")
    taken_apart.add_argument("--report", required=True)
    rated = commands.add_parser("rates")
    rated.add_argument("--same", nargs="+", required=True)
    rated.add_argument("--slowed", nargs="+", required=True, metavar="KERNEL FILE")
    rated.add_argument("--record", help="where the figures go, as JSON")
    return top


def run(argv):
    args = parser().parse_args(argv)
    if args.command == "check":
        return 0
    if args.command == "apart":
        apart(args.before, args.after, args.report)
        return 0
    if args.command == "rates":
        counted = tally(args.same, args.slowed[0], args.slowed[1:])
        if args.record:
            with open(args.record, "w", encoding="utf-8") as out:
                json.dump(counted, out, indent=1)
                out.write("\n")
        print("\n".join(rate_lines(counted)))
        return 0
    if args.command == "rounds":
        record = take_rounds(args.a, args.b, args.rounds, args.out)
        print(f"The rounds are in {args.out}; tools/compare/compare_runs.py verdicts {args.out} gives these "
              f"again.")
    else:
        record = read_record(args.record)
    print("\n".join(paired_lines(record, args.smallest_effect / 100)))
    return 0


if __name__ == "__main__":
    sys.exit(entry("compare_runs", run, sys.argv[1:]))
