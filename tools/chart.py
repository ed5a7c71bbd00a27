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
    right.set_ylabel(f"ms per call ({o0['outputs']} outputs x {o0['taps']} taps)")
    right.set_ylim(0, max(t["kernels"][k]["median"] for t, _, _ in series for k in kernels) * (1.2 + 0.1 * len(boards)))
    right.legend(loc="upper right", fontsize=9)
    right.set_title("Time per call" + (" here and on the boards" if boards else " on this machine"))
    right.text(0.5, -0.08, f"median and one standard deviation; ~ spread over {100 * NOISY_CV:.0f}%: noisy",
               transform=right.transAxes, ha="center", va="top", fontsize=9)

    figure.savefig(path)
    plt.close(figure)
