"""scripts/bench's chart: instructions per multiply-add by category on each target counted, and time
per call at -O0 and -O2 here and on each board."""

from classify import CATEGORIES
from figures import NOISY_CV, names, noisy


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
    # A log axis keeps a board's hundreds of milliseconds and this machine's fractions of one readable side
    # by side; the legend goes below, where no bar can sit under it.
    right.set_yscale("log")
    all_medians = [t["kernels"][k]["median"] for t, _, _ in series for k in kernels]
    right.set_ylim(min(all_medians) / 2, max(all_medians) * 4)
    right.set_ylabel(f"ms per call, log ({o0['outputs']} outputs x {o0['taps']} taps)")
    right.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), fontsize=9, ncol=2, frameon=False)
    right.set_title("Time per call" + (" here and on the boards" if boards else " on this machine"))
    right.set_xlabel(f"median and one standard deviation; ~ spread over {100 * NOISY_CV:.0f}%: noisy", fontsize=9)

    figure.savefig(path)
    plt.close(figure)


def draw_sweep(path, machines, title):
    """Each kernel's ns per multiply-add and its speed-up over the reference, against taps and against
    working set, at -O0 (solid) and -O2 (dashed); a machine's line style marks it where there are
    several, and its caches stand as dotted lines over the working sets. machines: [{name, o0, o2,
    caches}], o0 and o2 as read_sweep gives them."""
    import matplotlib
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    from sweep import family, kernels

    plt.rcParams.update({"font.size": 10, "svg.fonttype": "none"})
    figure, axes = plt.subplots(2, 2, figsize=(14, 9), layout="constrained", sharex="col")
    figure.suptitle(title)
    colours = plt.get_cmap("tab10").colors
    markers = "osD^v"
    for m, machine in enumerate(machines):
        names = kernels(machine["o0"])
        for level, rows, style in (("-O0", machine["o0"], "-"), ("-O2", machine["o2"], "--")):
            for column, by_taps in enumerate((True, False)):
                measured = family(rows, by_taps)
                shapes = list(measured)
                for k, kernel in enumerate(names):
                    label = f"{kernel} {level}" + (f" on {machine['name']}" if len(machines) > 1 else "")
                    ns = [measured[shape].get(kernel) for shape in shapes]
                    axes[0][column].plot(shapes, ns, style, marker=markers[m % len(markers)], color=colours[k],
                                         label=label, markersize=4)
                    if k > 0:
                        speed = [measured[shape][names[0]] / measured[shape][kernel] for shape in shapes]
                        axes[1][column].plot(shapes, speed, style, marker=markers[m % len(markers)],
                                             color=colours[k], label=label, markersize=4)
        for cache in machine["caches"]:
            if cache["type"] != "Instruction":
                axes[1][1].axvline(cache["kib"], color="grey", linestyle=":", linewidth=1)
                axes[1][1].text(cache["kib"], 0.02, f" L{cache['level']} {cache['kib']} KiB", rotation=90,
                                transform=axes[1][1].get_xaxis_transform(), fontsize=8, color="grey", va="bottom")
                axes[0][1].axvline(cache["kib"], color="grey", linestyle=":", linewidth=1)
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
    # One legend for all four panels, where the time panel over working sets leaves room.
    axes[0][1].legend(fontsize=8, ncol=2, loc="center right")
    figure.savefig(path)
    plt.close(figure)
