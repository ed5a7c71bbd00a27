#!/usr/bin/env python3
"""scripts/sweep's table and chart.

    sweep_report.py timed BUILD_DIR SWEEP_DIR SVG [--board RESULTS...]
        each kernel's ns per multiply-add and MMAC/s against taps and against
        working set, at -O0 and -O2, from the sweep's files in SWEEP_DIR
        (kernel_timings --sweep --results there); and the chart, this
        machine's caches marked, with each board's sweep beside it.
    sweep_report.py swept RESULTS...
        the results folders of those given that hold a sweep (FIR_SWEEP=1), a line each.
    sweep_report.py counted BUILD_DIR
        each kernel's instructions per multiply-add against the sweep's taps,
        counted by the build's instruction counter (qemu's trace, or callgrind).
"""

import os
import sys

from explain.measure import measure
from report.chart import draw_sweep
from report.sweep import counted_table, sweep_table
from shared import build_description
from shared.board_folder import kind_folders, read_board
from shared.build_description import describe_machine
from shared.cli import entry, with_commands
from shared.result_files import FILES
from shared.results import InputError, load_json, read_sweep


def sweeps(folder, name, caches=None):
    """One machine's sweep at both levels, named and with its caches (from its machine file, unless
    given), from the folder that holds its files."""
    paths = [os.path.join(folder, FILES[role]) for role in ("sweep", "sweep_o2", "machine")]
    if not os.path.exists(paths[0]):
        raise InputError(f"{paths[0]}: missing (on a board, run the bundle with FIR_SWEEP=1)")
    return {"name": name, "o0": load_json(paths[0], read_sweep, "kernel_timings --sweep"),
            "o2": load_json(paths[1], read_sweep, "kernel_timings_O2 --sweep"),
            "caches": caches if caches is not None else load_json(paths[2], writer="machine_info").get("caches", [])}


def swept(folder):
    return any(os.path.exists(os.path.join(kind, FILES["sweep"])) for kind in kind_folders(folder))


def run(argv):
    parser, commands = with_commands(__doc__)
    timed = commands.add_parser("timed")
    for name in ("build_dir", "sweep_dir", "chart"):
        timed.add_argument(name)
    timed.add_argument("--board", nargs="+", default=[])
    commands.add_parser("swept").add_argument("board", nargs="+")
    commands.add_parser("counted").add_argument("build_dir")
    args = parser.parse_args(argv)
    if args.command == "swept":
        for folder in args.board:
            if swept(folder):
                print(folder)
        return 0
    if args.command == "counted":
        build = build_description.load(args.build_dir)
        counted = [(taps, measure(args.build_dir, ["--taps", str(taps)])) for taps in build["sweep_taps"]]
        print("\n".join(counted_table(build["isa"], counted[0][1]["method"], counted)))
        return 0
    boards = [sweeps(kind["dir"], kind["name"]) for folder in args.board for kind in read_board(folder)
              if os.path.exists(os.path.join(kind["dir"], FILES["sweep"]))]
    here = sweeps(args.sweep_dir, "this machine", describe_machine(args.build_dir)["caches"])
    for machine in [here] + boards:
        print("\n".join([f"On {machine['name']}:"] + sweep_table(machine["o0"], machine["o2"]) + [""]))
    draw_sweep(args.chart, [here] + boards, "fir_benchmark's kernels against taps and working set")
    print(f"Chart: {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(entry("sweep_report", run, sys.argv[1:]))
