#!/usr/bin/env python3
"""The tables of scripts/run and scripts/bench, and the chart of scripts/bench.

    bench_report.py profile BUILD_DIR RUN_DIR
        gprof's flat profile of the run in RUN_DIR (its gmon.out), cut to the
        kernels: self seconds, calls, share and speed-up over the reference,
        under its title, as scripts/run shows it.
    bench_report.py timings TIMINGS.json
        kernel_timings' repetitions (Google Benchmark JSON with aggregates):
        each kernel's median time per call, its spread and its speed-up,
        under their title.
    bench_report.py check-boards RESULTS...
        reads each board's results folder as bench does, and prints nothing
        unless one is not fit to read.
    bench_report.py bench BUILD_DIR --o0 J --o2 J --program-profile T --program-runs J --peak-kib N
                          --values N --mix J... --chart SVG [--board RESULTS...]
        the whole table, and the chart, from what scripts/bench measured:
        kernel_timings' repetitions at -O0 and -O2, the whole program's
        callgrind_annotate --inclusive=yes and hyperfine runs, with its peak
        memory and the number of values its two files hold; and
        instruction_mix.py's counts of each target it could count (the native
        one first). Each --board folder, written by the board bundle's run
        script, adds that board's times and CPU counters beside them.

The kernels, the targets and the shapes come from the files themselves: the
timings' labels and counters, and the counts' own lists.
"""

import os
import sys

from shared import build_description, checkout
from shared.build_description import describe_machine
from report.board_block import board_table
from report.chart import draw_chart
from shared.cli import ToolError, entry, run_tool, with_commands
from report.figures import names, profile_figures, program_figures
from report.profiles import gprof_flat
from shared.board_folder import read_board
from shared.results import load_json, read_mix, read_text, read_timings
from report.tables import bench_table, run_profile_lines, run_timings_lines


def machine(build_dir):
    """This machine's CPU, as the build's machine_info names it, and its cores."""
    return f"{describe_machine(build_dir)['core']}, {os.cpu_count()} cores"


def this_commit():
    try:
        return run_tool(["git", "rev-parse", "HEAD"], cwd=checkout.ROOT).stdout.strip()
    except ToolError:
        return None


def read_boards(folders):
    """Each kind of core of each results folder."""
    return [kind for folder in folders for kind in read_board(folder)]


def bench(args):
    # Every board is read, and checked, before a line is printed.
    boards = read_boards(args.board)
    o0 = load_json(args.o0, read_timings, "kernel_timings")
    o2 = load_json(args.o2, read_timings, "kernel_timings")
    mixes = [load_json(path, read_mix, "instruction_mix.py --json") for path in args.mix]
    program = load_json(args.program_runs, lambda runs: program_figures(
        read_text(args.program_profile), runs, args.peak_kib, args.values, names(o0)), "hyperfine and callgrind")
    where = f"{machine(args.build_dir)}, {o0['day']}"
    lines = [f"{where}."] + bench_table(o0, o2, mixes, program)
    commit = this_commit()
    for board in boards:
        lines += [""] + board_table(board, mixes, commit)
    print("\n".join(lines))
    draw_chart(args.chart, o0, o2, mixes, boards, f"fir_benchmark's kernels: {where}")
    print(f"\nChart: {args.chart}")


def parser():
    top, commands = with_commands(__doc__)
    profile = commands.add_parser("profile")
    profile.add_argument("build_dir")
    profile.add_argument("run_dir")
    commands.add_parser("timings").add_argument("file")
    commands.add_parser("check-boards").add_argument("board", nargs="+")
    whole = commands.add_parser("bench")
    whole.add_argument("build_dir")
    for option in ("--o0", "--o2", "--program-profile", "--program-runs", "--chart"):
        whole.add_argument(option, required=True)
    whole.add_argument("--peak-kib", type=int, required=True)
    whole.add_argument("--values", type=int, required=True)
    whole.add_argument("--mix", nargs="+", required=True)
    whole.add_argument("--board", nargs="+", default=[])
    return top


def run(argv):
    args = parser().parse_args(argv)
    if args.command == "timings":
        print("\n".join(run_timings_lines(load_json(args.file, read_timings, "kernel_timings"))))
    elif args.command == "check-boards":
        read_boards(args.board)
    elif args.command == "profile":
        kernels = build_description.kernel_names(build_description.load(args.build_dir))
        print("\n".join(run_profile_lines(profile_figures(gprof_flat(args.build_dir, args.run_dir), kernels))))
    else:
        bench(args)
    return 0


def main(argv):
    return entry("bench_report", run, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
