#!/usr/bin/env python3
"""The tables of scripts/run and scripts/bench, and the chart of scripts/bench.

    bench_report.py profile BUILD_DIR RUN_DIR
        gprof's flat profile of the run in RUN_DIR (its gmon.out), cut to the
        kernels: self seconds, calls, share and speed-up over the reference.
    bench_report.py timings TIMINGS.json
        kernel_timings' repetitions (Google Benchmark JSON with aggregates):
        each kernel's median time per call, its spread and its speed-up.
    bench_report.py check-boards RESULTS...
        reads each board's results folder as bench does, and prints nothing
        unless one is not fit to read.
    bench_report.py bench DIR PEAK_KIB VALUES MIX.json... [--board RESULTS...]
        the whole table, and the chart DIR/kernels.svg, from what scripts/bench
        leaves in DIR: kernel_timings' repetitions at -O0 and -O2 (O0.json,
        O2.json), the whole program's callgrind_annotate --inclusive=yes
        (program.txt) and hyperfine runs (program.json), with its peak memory
        and the number of values its two files hold; and instruction_mix.py's
        counts of each target it could count (MIX.json, the native one first).
        Each --board folder, written by the board bundle's run script, adds
        that board's times and CPU counters beside them.

The kernels, the targets and the shapes come from the files themselves: the
timings' labels and counters, and the counts' own lists.
"""

import argparse
import json
import os
import platform
import subprocess
import sys

import build_description
from instruction_mix import CATEGORIES, vector_ratios

# A figure whose repetitions spread wider than this is marked noisy.
NOISY_CV = 0.05
# Board counts that differ from the emulated ones by more than this are called out.
COUNT_TOLERANCE = 0.02


class BoardError(Exception):
    """A results folder that cannot be read: one line naming the folder, the file and the fault."""


def read_timings(report):
    """Google Benchmark JSON with aggregates, of one shape -> its shape and, by kernel in the order
    they ran, median, stddev (ms) and cv (a fraction) of the time per call. Each result names its
    kernel in its label and its shape in the counters outputs and taps."""
    kernels, shapes, repetitions = {}, set(), set()
    for run in report["benchmarks"]:
        if run.get("run_type") != "aggregate":
            continue
        kernels.setdefault(run["label"], {})[run["aggregate_name"]] = run["real_time"]
        repetitions.add(run["repetitions"])
        if run["aggregate_name"] == "median":
            shapes.add((int(run["outputs"]), int(run["taps"])))
    if len(shapes) != 1 or not kernels:
        raise ValueError(f"expected the kernels on one shape, got {sorted(kernels)} on {sorted(shapes)}")
    for kernel, figures in kernels.items():
        missing = {"median", "stddev", "cv"} - set(figures)
        if missing:
            raise ValueError(f"{kernel} has no {', '.join(sorted(missing))}")
    (outputs, taps), = shapes
    return {"outputs": outputs, "taps": taps, "repetitions": max(repetitions), "kernels": kernels}


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


def spread_note(timings, mark):
    return (f"Times are medians of {timings['repetitions']} repetitions; spread is their coefficient of variation. "
            f"{mark} marks a time spread over {100 * NOISY_CV:.0f}%, and a speed-up over {names(timings)[0]} "
            f"that rests on one.")


def timings_table(timings):
    reference = names(timings)[0]
    lines = [f"  {'kernel':9} {'ms/call':>8} {'spread':>7}        {'speed vs ' + reference:>13}"]
    for kernel in names(timings):
        t = timings["kernels"][kernel]
        time_mark = "noisy" if noisy(timings, kernel) else ""
        speed_mark = "  noisy" if noisy_speedup(timings, kernel) else ""
        lines.append(f"  {kernel:9} {t['median']:8.2f} {100 * t['cv']:6.1f}% {time_mark:6} "
                     f"{speedup(timings, kernel):12.2f}x{speed_mark}")
    return lines + [spread_note(timings, "noisy")]


def profile_table(flat_profile, kernels):
    """gprof -b -p's flat profile, cut to the kernels: self seconds, calls, share and speed-up."""
    self_s, calls = {}, {}
    for line in flat_profile.splitlines():
        fields = line.split()
        # % time, cumulative s, self s, calls, self ms/call, total ms/call, name...: only called functions.
        if len(fields) >= 7 and fields[6].split("(")[0] in kernels:
            name = fields[6].split("(")[0]
            self_s[name], calls[name] = float(fields[2]), int(fields[3])
    reference = kernels[0]
    total = sum(self_s.get(kernel, 0.0) for kernel in kernels)
    lines = [f"  {'kernel':9} {'self s':>8} {'calls':>6} {'share':>7} {'speed vs ' + reference:>13}"]
    for kernel in kernels:
        seconds = self_s.get(kernel, 0.0)
        share = f"{100 * seconds / total:6.1f}%" if total > 0 else "    n/a"
        speed = f"{self_s[reference] / seconds:12.2f}x" if seconds > 0 and self_s.get(reference) else "  (no sample)"
        lines.append(f"  {kernel:9} {seconds:8.2f} {calls.get(kernel, 0):6d} {share:>7} {speed:>13}")
    return lines


def bench_table(o0, o2, mixes, program):
    kernels = names(o0)

    def timing(timings, kernel):
        t = timings["kernels"][kernel]
        mark = "~" if noisy(timings, kernel) else " "
        speed_mark = "~" if noisy_speedup(timings, kernel) else " "
        mmacs = timings["outputs"] * timings["taps"] / (t["median"] / 1000) / 1e6
        return f"{t['median']:8.2f} {100 * t['cv']:5.1f}%{mark}{mmacs:7.0f} {speedup(timings, kernel):6.2f}x{speed_mark}"

    width = len(timing(o0, kernels[0]))
    lines = [
        f"Kernels on fir_benchmark's run ({o0['outputs']} outputs x {o0['taps']} taps):",
        f"{'':9} {' -O0 (host) ':-^{width}}   {' -O2 (host-release) ':-^{width}}   instructions/MAC at -O0",
        f"{'kernel':9} " + f"{'ms/call':>8} {'spread':>6} {'MMAC/s':>7} {'vs ' + kernels[0]:>7}    " * 2 +
        "".join(f"{mix['isa']:>8}" for mix in mixes),
    ]
    for kernel in kernels:
        counts = "".join(f"{mix['per_mac'][kernel]['total']:8.2f}" for mix in mixes)
        lines.append(f"{kernel:9} {timing(o0, kernel)}   {timing(o2, kernel)}   {counts}")
    by_kernel = {}
    for mix in mixes:
        for name, ratio in vector_ratios(mix["kernels"], mix["per_mac"]):
            by_kernel.setdefault(name, []).append((ratio, mix["isa"]))
    for name, ratios in by_kernel.items():
        (first, isa), rest = ratios[0], [f"1/{ratio:.2f} on {isa}" for ratio, isa in ratios[1:]]
        listed = f"1/{first:.2f} of {kernels[0]}'s instructions per multiply-add on {isa}"
        if rest:
            listed = ", ".join([listed] + rest[:-1]) + " and " + rest[-1]
        lines.append(f"{name} executes {listed}.")
    lines.append(spread_note(o0, "~"))
    lines += ["", "The whole program (unoptimised, on the sample data):"]
    lines.append(f"  wall {program['wall_median']:.3f} s (median of {program['runs']} runs, spread "
                 f"{100 * program['wall_cv']:.1f}%{', noisy' if program['wall_cv'] > NOISY_CV else ''}), "
                 f"peak resident memory {program['peak_kib']} KiB")
    total = program["instructions"]
    lines.append(f"  instructions: {100 * program['reading'] / total:.0f}% reading the two files "
                 f"({program['reading'] / program['values']:.0f} a value), "
                 f"{100 * program['kernels'] / total:.0f}% the kernels, "
                 f"{100 * (total - program['reading'] - program['kernels']) / total:.0f}% padding and scoring")
    return lines


def board_table(board, mixes):
    """One board's figures: its times, and its CPU's counts beside the emulated ones for its target."""
    timings, counters = board["timings"], board["counters"]
    kernels = names(timings)
    macs = counters["outputs"] * counters["taps"]
    per_mac = {event: {k: v / macs for k, v in values.items()} for event, values in counters["counters"].items()}
    emulated = next((mix for mix in mixes if mix["isa"] == counters["isa"]), None)
    lines = [f"On the board {board['name']} ({board['cpu']}, {counters['isa']}), from {board['dir']}:",
             f"{'kernel':9} {'ms/call':>8} {'spread':>6}  {'vs ' + kernels[0]:>7}   {'instructions/MAC':>16} "
             f"{'emulated':>8} {'diff':>7}   {'cycles/MAC':>10} {'IPC':>5}"]
    disagree = []

    def figure(event, kernel, width):
        value = per_mac.get(event, {}).get(kernel)
        return f"{value:{width}.2f}" if value is not None else f"{'n/a':>{width}}"

    for kernel in kernels:
        t = timings["kernels"][kernel]
        mark = "~" if noisy(timings, kernel) else " "
        speed_mark = "~" if noisy_speedup(timings, kernel) else " "
        counted = per_mac.get("instructions", {}).get(kernel)
        model = emulated["per_mac"][kernel]["total"] if emulated and kernel in emulated["per_mac"] else None
        diff = "n/a"
        if counted is not None and model is not None:
            diff = f"{100 * (counted - model) / model:+.1f}%"
            if abs(counted - model) > COUNT_TOLERANCE * model:
                disagree.append(kernel)
        cycles = per_mac.get("cycles", {}).get(kernel)
        ipc = f"{counted / cycles:5.2f}" if counted is not None and cycles else f"{'n/a':>5}"
        model_text = f"{model:8.2f}" if model is not None else f"{'n/a':>8}"
        lines.append(f"{kernel:9} {t['median']:8.2f} {100 * t['cv']:5.1f}%{mark} {speedup(timings, kernel):7.2f}x"
                     f"{speed_mark}  {figure('instructions', kernel, 16)} {model_text} {diff:>7}   "
                     f"{figure('cycles', kernel, 10)} {ipc}")
    for event, reason in counters.get("unavailable", {}).items():
        lines.append(f"  {event}: not counted on this board ({reason})")
    if not emulated:
        lines.append(f"  no emulated count of {counters['isa']} on this machine to compare with")
    elif disagree:
        lines.append(f"  The board's CPU counts {', '.join(disagree)} more than {100 * COUNT_TOLERANCE:.0f}% away "
                     f"from the emulated count of the same code: the board's build or its counter differs.")
    elif "instructions" in per_mac:
        lines.append(f"  The board's CPU counts the same instructions as the emulation, within "
                     f"{100 * COUNT_TOLERANCE:.0f}%.")
    return lines


def read_board(folder):
    """A results folder of the board bundle's run: its timings, counters and machine, all checked."""
    name = os.path.basename(os.path.normpath(folder))

    def text(file):
        try:
            with open(os.path.join(folder, file), encoding="utf-8") as source:
                content = source.read()
        except FileNotFoundError:
            if not os.path.isdir(folder):
                raise BoardError(f"{folder}: not a folder") from None
            raise BoardError(f"{folder}: {file}: missing (not a results folder of the board's run?)") from None
        except (OSError, UnicodeDecodeError) as error:
            raise BoardError(f"{folder}: {file}: cannot be read: {error}") from error
        if not content.strip():
            raise BoardError(f"{folder}: {file}: empty")
        return content

    def parsed(file, reader):
        try:
            return reader(json.loads(text(file)))
        except json.JSONDecodeError as error:
            raise BoardError(f"{folder}: {file}: not JSON, truncated? ({error})") from error
        except (KeyError, TypeError, ValueError, AttributeError) as error:
            raise BoardError(f"{folder}: {file}: not what the board's run writes ({error!r})") from error

    def read_counters(report):
        missing = [key for key in ("isa", "outputs", "taps", "kernels", "counters") if key not in report]
        if missing:
            raise ValueError(f"no {', '.join(missing)}")
        if report["outputs"] * report["taps"] <= 0:
            raise ValueError("no multiply-adds")
        for values in report["counters"].values():
            for value in values.values():
                float(value)
        return report

    machine = text("machine.txt")
    timings = parsed("timings.json", read_timings)
    counters = parsed("counters.json", read_counters)
    cpu = next((line.split(":", 1)[1].strip() for line in machine.splitlines() if line.startswith("cpu:")), "")
    if not cpu:
        raise BoardError(f"{folder}: machine.txt: no 'cpu:' line")
    if set(counters["kernels"]) != set(timings["kernels"]):
        raise BoardError(f"{folder}: counters.json: kernels {counters['kernels']} are not the timings' "
                         f"{names(timings)}")
    return {"dir": folder, "name": name, "cpu": cpu, "timings": timings, "counters": counters}


def read_program(annotated, hyperfine, peak_kib, values, kernels):
    """The whole run's figures from callgrind_annotate --inclusive=yes text and hyperfine's JSON."""
    def inclusive(marker):
        for line in annotated.splitlines():
            if marker in line:
                return int(line.split()[0].replace(",", ""))
        return None

    def required(marker):
        count = inclusive(marker)
        if count is None:
            raise ValueError(f"callgrind_annotate shows no {marker!r}")
        return count

    # The driver calls the kernels it reports on; a kernel of the table that it
    # does not call is in the timings and counts, not in the program's run.
    run_kernels = [count for count in (inclusive(f":{kernel}(") for kernel in kernels) if count is not None]
    if not run_kernels:
        raise ValueError("callgrind_annotate shows none of the kernels")
    run = hyperfine["results"][0]
    return {
        "instructions": required(":main "),
        "reading": required(":ValueReader::next("),
        "kernels": sum(run_kernels),
        "values": values,
        "wall_median": run["median"],
        "wall_cv": run["stddev"] / run["mean"],
        "runs": len(run["times"]),
        "peak_kib": peak_kib,
    }


def machine():
    model = platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = " ".join(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def draw_chart(path, o0, o2, mixes, boards, title):
    """Instructions per multiply-add by category on each target, and time per call at -O0 and -O2
    here and on each board."""
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt

    kernels = names(o0)
    plt.rcParams.update({"font.size": 10, "svg.fonttype": "none"})
    figure, (left, right) = plt.subplots(1, 2, figsize=(15, 6.5), gridspec_kw={"width_ratios": [2, 1]},
                                         layout="constrained")
    figure.suptitle(title)

    # Instructions per multiply-add, stacked by category: a group of bars per target.
    positions, labels = [], []
    group = len(kernels) + 1
    for t, mix in enumerate(mixes):
        for k, kernel in enumerate(kernels):
            positions.append(t * group + k)
            labels.append(kernel)
        left.text(t * group + (len(kernels) - 1) / 2, -0.09, mix["isa"], transform=left.get_xaxis_transform(),
                  ha="center", va="top", fontweight="bold")
    colours = plt.get_cmap("tab10").colors
    bottoms = [0.0] * len(positions)
    for c, (key, label) in enumerate(CATEGORIES):
        heights = [mix["per_mac"][kernel]["categories"][key] for mix in mixes for kernel in kernels]
        if any(heights):
            left.bar(positions, heights, 0.8, bottom=bottoms, label=label, color=colours[c])
            bottoms = [b + h for b, h in zip(bottoms, heights)]
    for x, total in zip(positions, bottoms):
        left.text(x, total + 0.4, f"{total:.1f}", ha="center", va="bottom", fontsize=9)
    left.set_xticks(positions, labels, fontsize=9)
    left.set_ylabel("instructions per multiply-add (-O0)")
    left.set_ylim(0, max(bottoms) * 1.12)
    left.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=4, fontsize=9, frameon=False)
    left.set_title("Where the instructions go")

    # Time per call, median with one standard deviation: -O0 and -O2 here, then each board's -O0.
    # Greys for this machine, so that no time bar reads as one of the instruction categories.
    series = [(o0, "-O0", "#455a64"), (o2, "-O2", "#b0bec5")]
    # The boards in colours that no instruction category uses.
    board_colours = plt.get_cmap("tab10").colors[len(CATEGORIES):] + plt.get_cmap("Dark2").colors
    series += [(board["timings"], f"-O0 on {board['name']} ({board['counters']['isa']})",
                board_colours[b % len(board_colours)]) for b, board in enumerate(boards)]
    width = 0.8 / len(series)
    for i, (timings, name, colour) in enumerate(series):
        xs = [k + (i - (len(series) - 1) / 2) * width for k in range(len(kernels))]
        medians = [timings["kernels"][kernel]["median"] for kernel in kernels]
        spreads = [timings["kernels"][kernel]["stddev"] for kernel in kernels]
        right.bar(xs, medians, width, yerr=spreads, capsize=4, label=name, color=colour)
        for x, kernel, median, spread in zip(xs, kernels, medians, spreads):
            mark = " ~" if noisy(timings, kernel) else ""
            right.text(x, median + spread, f"{median:.2f}{mark}", ha="center", va="bottom", fontsize=9)
    right.set_xticks(range(len(kernels)), kernels)
    right.set_ylabel(f"ms per call ({o0['outputs']} outputs x {o0['taps']} taps)")
    right.set_ylim(0, max(t["kernels"][k]["median"] for t, _, _ in series for k in kernels) * (1.2 + 0.1 * len(boards)))
    right.legend(loc="upper right", fontsize=9)
    right.set_title("Time per call" + (" here and on the boards" if boards else " on this machine"))
    right.text(0.5, -0.08, f"median and one standard deviation; ~ spread over {100 * NOISY_CV:.0f}%: noisy",
               transform=right.transAxes, ha="center", va="top", fontsize=9)

    figure.savefig(path)
    plt.close(figure)


def load(path):
    with open(path, encoding="utf-8") as source:
        return json.load(source)


def bench(args):
    work = args.dir
    # Every board is read, and checked, before a line is printed.
    boards = [read_board(folder) for folder in args.board]
    o0_report = load(os.path.join(work, "O0.json"))
    o0, o2 = read_timings(o0_report), read_timings(load(os.path.join(work, "O2.json")))
    mixes = [load(path) for path in args.mix]
    with open(os.path.join(work, "program.txt"), encoding="utf-8") as annotated:
        program = read_program(annotated.read(), load(os.path.join(work, "program.json")), args.peak_kib,
                               args.values, names(o0))
    where = f"{machine()}, {o0_report['context']['date'][:10]}"
    lines = [f"{where}."] + bench_table(o0, o2, mixes, program)
    for board in boards:
        lines += [""] + board_table(board, mixes)
    print("\n".join(lines))
    chart = os.path.join(work, "kernels.svg")
    draw_chart(chart, o0, o2, mixes, boards, f"fir_benchmark's kernels: {where}")
    print(f"\nChart: {chart}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    profile = commands.add_parser("profile")
    profile.add_argument("build_dir")
    profile.add_argument("run_dir")
    timings = commands.add_parser("timings")
    timings.add_argument("file")
    check = commands.add_parser("check-boards")
    check.add_argument("board", nargs="+")
    whole = commands.add_parser("bench")
    whole.add_argument("dir")
    whole.add_argument("peak_kib", type=int)
    whole.add_argument("values", type=int)
    whole.add_argument("mix", nargs="+")
    whole.add_argument("--board", nargs="+", default=[])
    args = parser.parse_args(argv)

    try:
        if args.command == "timings":
            print("\n".join(timings_table(read_timings(load(args.file)))))
        elif args.command == "check-boards":
            for folder in args.board:
                read_board(folder)
        elif args.command == "profile":
            build = build_description.load(args.build_dir)
            flat = subprocess.run([build["gprof"], "-b", "-p", build["programs"]["fir_benchmark"], "gmon.out"],
                                  cwd=args.run_dir, check=True, capture_output=True, text=True).stdout
            print("\n".join(profile_table(flat, build_description.kernel_names(build))))
        else:
            bench(args)
    except (BoardError, build_description.DescriptionError) as error:
        print(f"bench_report: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
