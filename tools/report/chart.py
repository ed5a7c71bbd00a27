"""scripts/bench's chart (instructions per multiply-add by category on each target counted, and time per
call at -O0 and -O2 here and on each board) and scripts/sweep's (each kernel against taps and working
set). matplotlib is imported only when a chart is drawn."""

from shared.classify import CATEGORIES
from report.figures import NOISY_CV, names, noisy
from report.sweep import kernels, ns_by_shape


def pyplot():
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": 10, "svg.fonttype": "none"})
    return plt


def instruction_panel(axes, mixes, kernels, colours):
    """Instructions per multiply-add, stacked by category: a group of bars per target."""
    positions, labels = [], []
    group = len(kernels) + 1
    for t, mix in enumerate(mixes):
        for k, kernel in enumerate(kernels):
            positions.append(t * group + k)
            labels.append(kernel)
        axes.text(t * group + (len(kernels) - 1) / 2, -0.09, mix["isa"], transform=axes.get_xaxis_transform(),
                  ha="center", va="top", fontweight="bold")
    bottoms = [0.0] * len(positions)
    for c, (key, label) in enumerate(CATEGORIES):
        heights = [mix["per_mac"][kernel]["categories"][key] for mix in mixes for kernel in kernels]
        if any(heights):
            axes.bar(positions, heights, 0.8, bottom=bottoms, label=label, color=colours[c])
            bottoms = [b + h for b, h in zip(bottoms, heights)]
    for x, total in zip(positions, bottoms):
        axes.text(x, total + 0.4, f"{total:.1f}", ha="center", va="bottom", fontsize=9)
    axes.set_xticks(positions, labels, fontsize=9)
    axes.set_ylabel("instructions per multiply-add (-O0)")
    axes.set_ylim(0, max(bottoms) * 1.12)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=4, fontsize=9, frameon=False)
    axes.set_title("Where the instructions go")


def time_panel(axes, series, kernels, shape):
    """Time per call, median with one standard deviation, a bar a series [(timings, name, colour)]. A log
    axis keeps a board's hundreds of milliseconds and this machine's fractions of one readable side by
    side; the legend goes below, where no bar can sit under it."""
    width = 0.8 / len(series)
    for i, (timings, name, colour) in enumerate(series):
        xs = [k + (i - (len(series) - 1) / 2) * width for k in range(len(kernels))]
        medians = [timings["kernels"][kernel]["median"] for kernel in kernels]
        spreads = [timings["kernels"][kernel]["stddev"] for kernel in kernels]
        axes.bar(xs, medians, width, yerr=spreads, capsize=4, label=name, color=colour)
        for x, kernel, median, spread in zip(xs, kernels, medians, spreads):
            mark = " ~" if noisy(timings, kernel) else ""
            axes.text(x, median + spread, f"{median:.2f}{mark}", ha="center", va="bottom", fontsize=9)
    axes.set_xticks(range(len(kernels)), kernels)
    axes.set_yscale("log")
    all_medians = [t["kernels"][k]["median"] for t, _, _ in series for k in kernels]
    axes.set_ylim(min(all_medians) / 2, max(all_medians) * 4)
    axes.set_ylabel(f"ms per call, log ({shape})")
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), fontsize=9, ncol=2, frameon=False)
    axes.set_title("Time per call" + (" here and on the boards" if len(series) > 2 else " on this machine"))
    axes.set_xlabel(f"median and one standard deviation; ~ spread over {100 * NOISY_CV:.0f}%: noisy", fontsize=9)


def draw_chart(path, o0, o2, mixes, boards, title):
    """Instructions per multiply-add by category on each target, and time per call at -O0 and -O2
    here and on each board."""
    plt = pyplot()
    kernels = names(o0)
    figure, (left, right) = plt.subplots(1, 2, figsize=(15, 6.5), gridspec_kw={"width_ratios": [2, 1]},
                                         layout="constrained")
    figure.suptitle(title)
    colours = plt.get_cmap("tab10").colors
    instruction_panel(left, mixes, kernels, colours)
    # Greys for this machine and, for the boards, colours that no instruction category uses.
    board_colours = colours[len(CATEGORIES):] + plt.get_cmap("Dark2").colors
    series = [(o0, "-O0", "#455a64"), (o2, "-O2", "#b0bec5")]
    series += [(board["timings"], f"-O0 on {board['name']} ({board['counters']['isa']})",
                board_colours[b % len(board_colours)]) for b, board in enumerate(boards)]
    time_panel(right, series, kernels, f"{o0['outputs']} outputs x {o0['taps']} taps")
    figure.savefig(path)
    plt.close(figure)


def sweep_lines(axes, machines, colours):
    """Each machine's kernels as lines: ns per multiply-add above, speed-up over the first kernel below;
    -O0 solid, -O2 dashed, a marker a machine; its caches dotted over the working sets."""
    for m, machine in enumerate(machines):
        names_here = kernels(machine["o0"])
        for level, rows, style in (("-O0", machine["o0"], "-"), ("-O2", machine["o2"], "--")):
            for column, by_taps in enumerate((True, False)):
                measured = ns_by_shape(rows, by_taps)
                shapes = list(measured)
                for k, kernel in enumerate(names_here):
                    options = {"marker": "osD^v"[m % 5], "color": colours[k], "markersize": 4,
                               "label": f"{kernel} {level}" + (f" on {machine['name']}" if len(machines) > 1 else "")}
                    axes[0][column].plot(shapes, [measured[shape].get(kernel) for shape in shapes], style, **options)
                    if k > 0:
                        axes[1][column].plot(shapes, [measured[s][names_here[0]] / measured[s][kernel] for s in shapes],
                                             style, **options)
        for cache in (cache for cache in machine["caches"] if cache["type"] != "Instruction"):
            for row in (0, 1):
                axes[row][1].axvline(cache["kib"], color="grey", linestyle=":", linewidth=1)
            axes[1][1].text(cache["kib"], 0.02, f" L{cache['level']} {cache['kib']} KiB", rotation=90, fontsize=8,
                            transform=axes[1][1].get_xaxis_transform(), color="grey", va="bottom")


def draw_sweep(path, machines, title):
    """Each kernel's ns per multiply-add and its speed-up over the reference, against taps and against
    working set, at -O0 and -O2. machines: [{name, o0, o2, caches}], o0 and o2 as read_sweep gives them."""
    plt = pyplot()
    import matplotlib.ticker

    # A third, thin row holds the one legend for all four panels, where no line can run under it.
    figure, cells = plt.subplot_mosaic([["t0", "w0"], ["t1", "w1"], ["legend", "legend"]], figsize=(14, 10),
                                       layout="constrained",
                                       gridspec_kw={"height_ratios": [1, 1, 0.05 + 0.05 * len(machines)]})
    figure.suptitle(title)
    axes = [[cells["t0"], cells["w0"]], [cells["t1"], cells["w1"]]]
    for column in (0, 1):
        axes[0][column].sharex(axes[1][column])
    sweep_lines(axes, machines, plt.get_cmap("tab10").colors)
    for column, (shape, unit) in enumerate((("taps", "taps"), ("working set", "KiB, input and output"))):
        axes[0][column].set_title(f"Time per multiply-add against {shape}")
        axes[0][column].set_yscale("log")
        axes[0][column].set_ylabel("ns per multiply-add (log)")
        axes[1][column].set_title(f"Speed-up over the first kernel against {shape}")
        axes[1][column].set_ylabel("speed-up (x)")
        axes[1][column].axhline(1, color="black", linewidth=0.8)
        axes[1][column].set_xlabel(f"{shape} ({unit}, log)")
        for row in (0, 1):
            axes[row][column].set_xscale("log", base=2 if column == 0 else 4)
            axes[row][column].xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}"))
            axes[row][column].grid(True, which="major", alpha=0.3)
    cells["legend"].axis("off")
    cells["legend"].legend(*axes[0][0].get_legend_handles_labels(), loc="center", ncol=6 if len(machines) == 1 else 3,
                           fontsize=8, frameon=False)
    figure.savefig(path)
    plt.close(figure)
