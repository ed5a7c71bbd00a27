"""The cross-board chart: each kernel's speed-up over the first, at -O0 and at -O2, a group of bars for each
board and kind of core, as an SVG. Past a few dozen rows a bar a row reads as nothing, so the chart then
shows each kind of core's median over its runs, and says so. matplotlib is imported only when a chart is
drawn."""

import io
import statistics

from store.table import board_name
from store.views import kernels_of

# The most rows the chart draws one by one.
ROWS = 40
LEVELS = (("speedup_o0", "-O0"), ("speedup_o2", "-O2"))


def bars(found):
    """[(name, {kernel: {level: speed-up or None}})] to draw: a bar group a row, or a kind of core's medians."""
    if len(found) <= ROWS:
        return [(board_name(row) + (" (emulated)" if row["emulated"] else ""), row["kernels"]) for row in found]
    kinds = {}
    for row in found:
        kinds.setdefault((row["core"], row["isa"], bool(row["emulated"])), []).append(row)
    grouped = []
    for (core, isa, emulated), rows in kinds.items():
        medians = {}
        for kernel in kernels_of(rows):
            for level, _ in LEVELS:
                values = [row["kernels"][kernel][level] for row in rows if row["kernels"].get(kernel, {}).get(level)]
                medians.setdefault(kernel, {})[level] = statistics.median(values) if values else None
        grouped.append((f"{core}, {isa}{' (emulated)' if emulated else ''}: median of {len(rows)}", medians))
    return grouped


def chart_svg(found, title):
    """The chart of the rows found, as SVG text."""
    from report.chart import pyplot

    plt = pyplot()
    kernels = kernels_of(found)[1:]
    drawn = list(reversed(bars(found)))
    height = max(2.5, 0.25 * len(drawn) * max(len(kernels), 1) + 1.5)
    figure, panels = plt.subplots(1, 2, figsize=(14, height), sharey=True, layout="constrained")
    figure.suptitle(title if len(found) <= ROWS else f"{title}: each kind of core's median over its runs")
    colours = plt.get_cmap("tab10").colors
    width = 0.8 / max(len(kernels), 1)
    for panel, (level, label) in zip(panels, LEVELS):
        for k, kernel in enumerate(kernels):
            ys = [i + (k - (len(kernels) - 1) / 2) * width for i in range(len(drawn))]
            values = [figures.get(kernel, {}).get(level) for _, figures in drawn]
            panel.barh([y for y, v in zip(ys, values) if v is not None], [v for v in values if v is not None],
                       width, color=colours[k % len(colours)], label=kernel)
            for y, value in zip(ys, values):
                panel.text(value or 0, y, f" {value:.2f}x" if value is not None else " n/a", va="center", fontsize=8)
        panel.axvline(1, color="black", linewidth=0.8)
        panel.set_xlabel(f"speed-up over {kernels_of(found)[0]} at {label}")
        panel.set_yticks(range(len(drawn)), [name for name, _ in drawn], fontsize=9)
        panel.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=len(kernels), fontsize=9, frameon=False)
    out = io.StringIO()
    figure.savefig(out, format="svg", metadata={"Date": None})
    plt.close(figure)
    return out.getvalue()
