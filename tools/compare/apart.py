"""Two kernel_timings runs taken apart (two results folders: two boards, or one board on different days),
through Google Benchmark's own compare.py and its Mann-Whitney U test: its table, then a line a kernel,
under a heading that says the test cannot tell a change from the machine's drift between the runs."""

import os
import sys

from compare.paired import ALPHA
from report.figures import names
from shared.board_folder import kind_name, read_board
from shared.cli import ToolError, run_tool
from shared.result_files import FILES
from shared.results import load_json, read_compare_report, read_timings

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
    if v["p"] >= ALPHA:
        what = "no significant difference"
    else:
        what = f"{'slower' if v['change'] > 0 else 'faster'} by {100 * abs(v['change']):.1f}%"
    repetitions = f"{v['repetitions'][0]} and {v['repetitions'][1]} repetitions"
    return f"{v['kernel']}: {what}, p = {v['p']:.4f} (U test, {repetitions}; {size})"


def apart_pair(before_path, after_path, report_path):
    """The lines of one pair of timings files."""
    before = load_json(before_path, read_timings, "kernel_timings")
    after = load_json(after_path, read_timings, "kernel_timings")
    table = run_tool([sys.executable, COMPARE_PY, "-a", "--no-color", "--alpha", str(ALPHA), "-d",
                      report_path, "benchmarks", before_path, after_path])
    found = apart_verdicts(load_json(report_path, read_compare_report, "compare.py"), before, after)
    if not found:
        raise ToolError(f"{before_path} and {after_path} time no kernel in common")
    return [table.stdout] + ["  " + apart_line(verdict) for verdict in found]


def apart(before_folder, after_folder, report_path):
    """Two results folders, each kind of core of one against the same of the other, in the order of their
    CPUs: both measured the same kinds, or there is nothing to pair."""
    before, after = read_board(before_folder), read_board(after_folder)
    cores = [[kind_name(kind["machine"]) for kind in folder] for folder in (before, after)]
    if cores[0] != cores[1]:
        raise ToolError(f"{before_folder} measured {', '.join(cores[0])} and {after_folder} "
                        f"{', '.join(cores[1])}: no kind of core to pair with each")
    print(f"Two runs taken apart: the U test cannot tell a change from the machine's drift between them. For "
          f"builds, time them in alternation: scripts/compare REV_A REV_B. After against before, p < "
          f"{ALPHA} counting as a difference:")
    for one, other in zip(before, after):
        if len(before) > 1:
            print(f"{kind_name(one['machine'])}, CPU {one['machine']['cpu']} against CPU {other['machine']['cpu']}:")
        print("\n".join(apart_pair(os.path.join(one["dir"], FILES["timings"]),
                                   os.path.join(other["dir"], FILES["timings"]), report_path)))
