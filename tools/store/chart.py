"""The cross-board chart: each kernel's speed-up over the first, at -O0 and at -O2, a group of bars for each
board and kind of core, as an SVG. matplotlib is imported only when a chart is drawn."""

import io

from store.table import board_name
from store.views import kernels_of


def chart_svg(found, title):
    """The chart of the rows found, as SVG text."""
    from report.chart import pyplot

    plt = pyplot()
    kernels = kernels_of(found)[1:]
    names = [board_name(row) + (" (emulated)" if row["emulated"] else "") for row in reversed(found)]
    height = max(2.5, 0.25 * len(found) * max(len(kernels), 1) + 1.5)
    figure, panels = plt.subplots(1, 2, figsize=(14, height), sharey=True, layout="constrained")
    figure.suptitle(title)
    colours = plt.get_cmap("tab10").colors
    width = 0.8 / max(len(kernels), 1)
    for panel, (level, label) in zip(panels, (("speedup_o0", "-O0"), ("speedup_o2", "-O2"))):
        for k, kernel in enumerate(kernels):
            ys = [i + (k - (len(kernels) - 1) / 2) * width for i in range(len(names))]
            values = [row["kernels"].get(kernel, {}).get(level) for row in reversed(found)]
            panel.barh([y for y, v in zip(ys, values) if v is not None], [v for v in values if v is not None],
                       width, color=colours[k % len(colours)], label=kernel)
            for y, value in zip(ys, values):
                panel.text(value or 0, y, f" {value:.2f}x" if value is not None else " n/a", va="center", fontsize=8)
        panel.axvline(1, color="black", linewidth=0.8)
        panel.set_xlabel(f"speed-up over {kernels_of(found)[0]} at {label}")
        panel.set_yticks(range(len(names)), names, fontsize=9)
        panel.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=len(kernels), fontsize=9, frameon=False)
    out = io.StringIO()
    figure.savefig(out, format="svg", metadata={"Date": None})
    plt.close(figure)
    return out.getvalue()
