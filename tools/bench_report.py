#!/usr/bin/env python3
"""The tables of scripts/run and scripts/bench, and the chart of scripts/bench.

    bench_report.py timings TIMINGS.json
        kernel_timings' repetitions (Google Benchmark JSON with aggregates):
        each kernel's median time per call, its spread and its speed-up.
    bench_report.py bench DIR PEAK_KIB VALUES
        the whole table, and the chart DIR/kernels.svg, from what scripts/bench
        leaves in DIR: kernel_timings' repetitions at -O0 and -O2 (O0.json,
        O2.json), instruction_mix.py's counts on each target (mix-*.json), and
        the whole program's callgrind_annotate --inclusive=yes (program.txt)
        and hyperfine runs (program.json), with its peak memory and the number
        of values its two files hold.
"""

import glob
import json
import os
import platform
import sys

from instruction_mix import CATEGORIES, KERNELS, neon_ratio

# A figure whose repetitions spread wider than this is marked noisy.
NOISY_CV = 0.05
TARGETS = ("x86-64", "ARMv7", "AArch64")


def read_timings(report):
    """Google Benchmark JSON with aggregates, of one shape -> its shape and, by kernel,
    median, stddev (ms) and cv (a fraction) of the time per call."""
    kernels, shapes = {}, set()
    for run in report["benchmarks"]:
        if run.get("run_type") == "aggregate":
            kernel, shape = run["run_name"].split("/")[:2]
            shapes.add(shape)
            kernels.setdefault(kernel, {})[run["aggregate_name"]] = run["real_time"]
    if len(shapes) != 1 or set(kernels) != set(KERNELS):
        raise ValueError(f"expected the three kernels on one shape, got {sorted(kernels)} on {sorted(shapes)}")
    outputs, taps = (int(n) for n in shapes.pop().split("x"))
    return {"outputs": outputs, "taps": taps, "repetitions": report["benchmarks"][0]["repetitions"],
            "kernels": kernels}


def speedup(timings, kernel):
    """The ratio of fir's median time to the kernel's."""
    return timings["kernels"]["fir"]["median"] / timings["kernels"][kernel]["median"]


def noisy(timings, kernel):
    """A time that its repetitions do not pin down."""
    return timings["kernels"][kernel]["cv"] > NOISY_CV


def noisy_speedup(timings, kernel):
    """A ratio is as loose as the looser of its two times; fir's own is 1 by definition."""
    return kernel != "fir" and (noisy(timings, kernel) or noisy(timings, "fir"))


def spread_note(timings, mark):
    return (f"Times are medians of {timings['repetitions']} repetitions; spread is their coefficient of variation. "
            f"{mark} marks a time spread over {100 * NOISY_CV:.0f}%, and a speed-up over fir that rests on one.")


def timings_table(timings):
    lines = [f"  {'kernel':9} {'ms/call':>8} {'spread':>7}        {'speed vs fir':>13}"]
    for kernel in KERNELS:
        t = timings["kernels"][kernel]
        time_mark = "noisy" if noisy(timings, kernel) else ""
        speed_mark = "  noisy" if noisy_speedup(timings, kernel) else ""
        lines.append(f"  {kernel:9} {t['median']:8.2f} {100 * t['cv']:6.1f}% {time_mark:6} "
                     f"{speedup(timings, kernel):12.2f}x{speed_mark}")
    return lines + [spread_note(timings, "noisy")]


def bench_table(o0, o2, mixes, program):
    def timing(timings, kernel):
        t = timings["kernels"][kernel]
        mark = "~" if noisy(timings, kernel) else " "
        speed_mark = "~" if noisy_speedup(timings, kernel) else " "
        mmacs = timings["outputs"] * timings["taps"] / (t["median"] / 1000) / 1e6
        return f"{t['median']:8.2f} {100 * t['cv']:5.1f}%{mark}{mmacs:7.0f} {speedup(timings, kernel):6.2f}x{speed_mark}"

    width = len(timing(o0, "fir"))
    lines = [
        f"Kernels on fir_benchmark's run ({o0['outputs']} outputs x {o0['taps']} taps):",
        f"{'':9} {' -O0 (host) ':-^{width}}   {' -O2 (host-release) ':-^{width}}   instructions/MAC at -O0",
        f"{'kernel':9} " + f"{'ms/call':>8} {'spread':>6} {'MMAC/s':>7} {'vs fir':>7}    " * 2 +
        "".join(f"{target:>8}" for target in TARGETS),
    ]
    for kernel in KERNELS:
        counts = "".join(f"{mixes[target]['kernels'][kernel]['total']:8.2f}" for target in TARGETS)
        lines.append(f"{kernel:9} {timing(o0, kernel)}   {timing(o2, kernel)}   {counts}")
    ratios = [neon_ratio(mixes[t]["kernels"]) for t in TARGETS]
    lines.append(f"fir_neon executes 1/{ratios[0]:.2f} of fir's instructions per multiply-add on {TARGETS[0]}, "
                 f"1/{ratios[1]:.2f} on {TARGETS[1]} and 1/{ratios[2]:.2f} on {TARGETS[2]}.")
    lines.append(spread_note(o0, "~"))
    lines += ["", "The whole program (unoptimised, on the sample data):"]
    lines.append(f"  wall {program['wall_median']:.3f} s (median of {program['runs']} runs, spread "
                 f"{100 * program['wall_cv']:.1f}%{', noisy' if program['wall_cv'] > NOISY_CV else ''}), peak resident memory {program['peak_kib']} KiB")
    total = program["instructions"]
    lines.append(f"  instructions: {100 * program['reading'] / total:.0f}% reading the two files "
                 f"({program['reading'] / program['values']:.0f} a value), "
                 f"{100 * program['kernels'] / total:.0f}% the three kernels, "
                 f"{100 * (total - program['reading'] - program['kernels']) / total:.0f}% padding and scoring")
    return lines


def read_program(annotated, hyperfine, peak_kib, values):
    """The whole run's figures from callgrind_annotate --inclusive=yes text and hyperfine's JSON."""
    def inclusive(marker):
        for line in annotated.splitlines():
            if marker in line:
                return int(line.split()[0].replace(",", ""))
        raise ValueError(f"callgrind_annotate shows no {marker!r}")

    run = hyperfine["results"][0]
    return {
        "instructions": inclusive(":main "),
        "reading": inclusive("read_value("),
        "kernels": sum(inclusive(f":{kernel}(") for kernel in KERNELS),
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


def draw_chart(path, o0, o2, mixes, title):
    """Instructions per multiply-add by category on each target, and time per call at -O0 and -O2."""
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 10, "svg.fonttype": "none"})
    figure, (left, right) = plt.subplots(1, 2, figsize=(15, 6.5), gridspec_kw={"width_ratios": [2, 1]},
                                         layout="constrained")
    figure.suptitle(title)

    # Instructions per multiply-add, stacked by category: a group of three bars per target.
    positions, labels = [], []
    for t, target in enumerate(TARGETS):
        for k, kernel in enumerate(KERNELS):
            positions.append(t * 4 + k)
            labels.append(kernel)
        left.text(t * 4 + 1, -0.09, target, transform=left.get_xaxis_transform(), ha="center", va="top",
                  fontweight="bold")
    colours = plt.get_cmap("tab10").colors
    bottoms = [0.0] * len(positions)
    for c, (key, label) in enumerate(CATEGORIES):
        heights = [mixes[target]["kernels"][kernel]["categories"][key] for target in TARGETS for kernel in KERNELS]
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

    # Time per call at -O0 and -O2, median with one standard deviation.
    width = 0.38
    # Greys, so that no time bar reads as one of the instruction categories.
    for i, (timings, name, colour) in enumerate(((o0, "-O0", "#455a64"), (o2, "-O2", "#b0bec5"))):
        xs = [k + (i - 0.5) * width for k in range(len(KERNELS))]
        medians = [timings["kernels"][kernel]["median"] for kernel in KERNELS]
        spreads = [timings["kernels"][kernel]["stddev"] for kernel in KERNELS]
        right.bar(xs, medians, width, yerr=spreads, capsize=4, label=f"{name}", color=colour)
        for x, kernel, median, spread in zip(xs, KERNELS, medians, spreads):
            mark = " ~" if noisy(timings, kernel) else ""
            right.text(x, median + spread, f"{median:.2f}{mark}", ha="center", va="bottom", fontsize=9)
    right.set_xticks(range(len(KERNELS)), KERNELS)
    right.set_ylabel(f"ms per call ({o0['outputs']} outputs x {o0['taps']} taps)")
    right.set_ylim(0, max(o0["kernels"][kernel]["median"] for kernel in KERNELS) * 1.2)
    right.legend(loc="upper right", fontsize=9)
    right.set_title("Time per call on this machine")
    right.text(0.5, -0.08, f"median and one standard deviation; ~ spread over {100 * NOISY_CV:.0f}%: noisy",
               transform=right.transAxes, ha="center", va="top", fontsize=9)

    figure.savefig(path)
    plt.close(figure)


def main(argv):
    def load(path):
        with open(path, encoding="utf-8") as source:
            return json.load(source)

    if len(argv) == 2 and argv[0] == "timings":
        print("\n".join(timings_table(read_timings(load(argv[1])))))
        return 0
    if len(argv) == 4 and argv[0] == "bench":
        work = argv[1]
        o0_report = load(os.path.join(work, "O0.json"))
        o0, o2 = read_timings(o0_report), read_timings(load(os.path.join(work, "O2.json")))
        mixes = {mix["isa"]: mix for mix in (load(path) for path in glob.glob(os.path.join(work, "mix-*.json")))}
        with open(os.path.join(work, "program.txt"), encoding="utf-8") as annotated:
            program = read_program(annotated.read(), load(os.path.join(work, "program.json")), int(argv[2]),
                                   int(argv[3]))
        date = o0_report["context"]["date"][:10]
        where = f"{machine()}, {date}"
        print(f"{where}.")
        print("\n".join(bench_table(o0, o2, mixes, program)))
        chart = os.path.join(work, "kernels.svg")
        draw_chart(chart, o0, o2, mixes, f"fir_benchmark's kernels: {where}")
        print(f"\nChart: {chart}")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
