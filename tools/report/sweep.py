"""The sweep's figures and tables: each kernel's nanoseconds per multiply-add and MMAC/s against taps and
against working set, at -O0 and -O2, timed; or its instructions per multiply-add against taps, counted
under emulation."""

from explain.counts import summarise_all


def ns_per_mac(row):
    return row["median"] * 1e6 / (row["outputs"] * row["taps"])


def ns_by_shape(rows, by_taps):
    """{shape: {kernel: ns per multiply-add}} of one sweep, shapes in order: taps, or the working set in KiB."""
    found = {}
    for row in rows:
        if row["by_taps"] == by_taps:
            shape = row["taps"] if by_taps else row["bytes"] // 1024
            found.setdefault(shape, {})[row["kernel"]] = ns_per_mac(row)
    return dict(sorted(found.items()))


def kernels(rows):
    return list(dict.fromkeys(row["kernel"] for row in rows))


def sweep_table(o0, o2):
    """Both sweeps at both levels: a block over taps, a block over working sets."""
    names = kernels(o0)
    width = 15 * len(names)
    lines = []
    for by_taps, title, shape_name in ((True, f"Over taps, at {o0[0]['outputs']} outputs", "taps"),
                                       (False, f"Over working sets (input and output), at "
                                               f"{next(r['taps'] for r in o0 if not r['by_taps'])} taps", "KiB")):
        lines += [f"{title}: ns per multiply-add (MMAC/s)",
                  f"{'':>7} {' -O0 ':-^{width}}   {' -O2 ':-^{width}}",
                  f"{shape_name:>7} " + "".join(f"{name:>15}" for name in names) + "   " +
                  "".join(f"{name:>15}" for name in names)]
        slow, fast = ns_by_shape(o0, by_taps), ns_by_shape(o2, by_taps)
        for shape in slow:
            cells = [slow[shape], fast.get(shape, {})]
            lines.append(f"{shape:>7} " + "   ".join("".join(
                f"{ns:7.2f} ({1000 / ns:5.0f})" if (ns := figures.get(name)) else f"{'n/a':>15}" for name in names)
                for figures in cells))
        lines.append("")
    return lines[:-1]


def counted_table(isa, method, counted):
    """Instructions per multiply-add against taps: counted is [(taps, measured)] of kernel_instructions."""
    names = [kernel["name"] for kernel in counted[0][1]["kernels"]]
    outputs = counted[0][1]["outputs"]
    lines = [f"Instructions per multiply-add on {isa} against taps ({outputs} outputs, counted by {method}):",
             f"{'taps':>7} " + "".join(f"{name:>10}" for name in names)]
    for taps, measured in counted:
        summaries = summarise_all(measured)
        lines.append(f"{taps:>7} " + "".join(f"{summaries[name]['total']:10.2f}" for name in names))
    return lines
