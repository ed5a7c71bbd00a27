"""The cross-board page: one self-contained HTML file, the table and the chart in it with nothing fetched
from elsewhere, to put on a course page or mail. Every cell says which kernel and figure it holds, and
every row which board and kind of core, so that what reads the page back need not parse the layout."""

import html

from store.chart import chart_svg
from store.table import EMULATED, board_name, cell
from store.views import columns, kernels_of

STYLE = """
body { font-family: sans-serif; margin: 2em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; white-space: nowrap; }
td.figure { text-align: right; font-variant-numeric: tabular-nums; }
td.na { color: #999; }
tr.emulated td { background: #f3f3f8; }
th.section { text-align: left; background: #e8e8f0; font-weight: normal; font-style: italic; }
"""


def header(kernels):
    shown = columns(kernels)
    top = "".join(f'<th colspan="{sum(1 for c in shown if c[0] == kernel)}">{html.escape(kernel)}</th>'
                  for kernel in kernels)
    names = "".join(f"<th>{html.escape(heading)}</th>" for _, _, heading in shown)
    return (f'<thead><tr><th rowspan="2">board, core (CPU)</th><th rowspan="2">target</th><th rowspan="2">taken'
            f'</th>{top}<th rowspan="2">flags</th></tr><tr>{names}</tr></thead>')


def body_row(row, shown):
    cells = []
    for kernel, figure, _ in shown:
        value = row["kernels"].get(kernel, {}).get(figure)
        cells.append(f'<td class="figure{" na" if value is None else ""}" data-kernel="{html.escape(kernel)}" '
                     f'data-figure="{figure}">{cell(figure, value)}</td>')
    kind = "emulated" if row["emulated"] else "silicon"
    return (f'<tr class="{kind}" data-board="{html.escape(row["label"])}" data-cpu="{row["cpu"]}">'
            f'<td>{html.escape(board_name(row))}</td><td>{html.escape(row["isa"])}</td><td>{row["taken"]}</td>'
            f'{"".join(cells)}<td>{html.escape(", ".join(row["flags"]) or "-")}</td></tr>')


def page_html(found, title, said):
    """The page of the rows found, with title, and said: a line on what it holds (its filters)."""
    kernels = kernels_of(found)
    shown = columns(kernels)
    rows, emulated_yet = [], False
    for row in found:
        if row["emulated"] and not emulated_yet:
            rows.append(f'<tr><th class="section" colspan="{len(shown) + 4}">{html.escape(EMULATED)}</th></tr>')
            emulated_yet = True
        rows.append(body_row(row, shown))
    chart = chart_svg(found, title) if found else ""
    chart = chart[chart.find("<svg"):]
    table = (f'<table id="runs">{header(kernels)}<tbody>{"".join(rows)}</tbody></table>' if found else
             "<p>No run matches.</p>")
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
            f"<style>{STYLE}</style></head><body><h1>{html.escape(title)}</h1><p>{html.escape(said)}</p>"
            f"{table}<h2>Speed-ups</h2>{chart}</body></html>\n")
