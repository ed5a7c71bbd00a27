#!/usr/bin/env python3
"""scripts/compare's verdicts: one line a kernel, from Google Benchmark's own difference report of two
kernel_timings runs (compare.py -d, with its Mann-Whitney U test) and the two runs' spreads.

    compare_runs.py REPORT.json BEFORE.json AFTER.json
"""

import sys

from cli import entry
from figures import names
from results import load_json, read_timings

# compare.py's own default significance level.
ALPHA = 0.05


def verdicts(report, before, after):
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


def verdict_line(verdict):
    v = verdict
    size = (f"median {v['before_ms']:.2f} -> {v['after_ms']:.2f} ms ({100 * v['change']:+.1f}%); spread "
            f"{100 * v['spreads'][0]:.1f}% and {100 * v['spreads'][1]:.1f}%")
    if v["p"] is None:
        return (f"{v['kernel']}: not tested ({size}): a run without its repetitions (an older one?) gives the U "
                f"test nothing")
    if v["p"] >= ALPHA:
        what = "no significant difference"
    else:
        what = f"{'slower' if v['change'] > 0 else 'faster'} by {100 * abs(v['change']):.1f}%"
    repetitions = f"{v['repetitions'][0]} and {v['repetitions'][1]} repetitions"
    return f"{v['kernel']}: {what}, p = {v['p']:.4f} (U test, {repetitions}; {size})"


def run(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    report = load_json(argv[0], writer="compare.py")
    before = load_json(argv[1], read_timings, "kernel_timings")
    after = load_json(argv[2], read_timings, "kernel_timings")
    found = verdicts(report, before, after)
    if not found:
        print(f"compare_runs: {argv[1]} and {argv[2]} time no kernel in common", file=sys.stderr)
        return 1
    print(f"After against before, p < {ALPHA} counting as a difference; on a shared machine noise alone can reach "
          f"that, so weigh the size and the spreads too:")
    print("\n".join("  " + verdict_line(verdict) for verdict in found))
    return 0


if __name__ == "__main__":
    sys.exit(entry("compare_runs", run, sys.argv[1:]))
