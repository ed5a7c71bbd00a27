"""A board's results beside this machine's emulated counts: its figures as plain data, then its block
of scripts/bench's table."""

from figures import COUNT_TOLERANCE, names
from tables import timing_cell, timing_header


def board_figures(board, mixes):
    """By kernel: the board's instructions and cycles per multiply-add, the emulated count of the same
    target's code, their difference (a fraction) and IPC, each None where it was not counted; and the
    kernels whose counts disagree with the emulation."""
    counters = board["counters"]
    macs = counters["outputs"] * counters["taps"]
    per_mac = {event: {k: v / macs for k, v in values.items()} for event, values in counters["counters"].items()}
    emulated = next((mix for mix in mixes if mix["isa"] == counters["isa"]), None)
    rows, disagree = {}, []
    for kernel in names(board["timings"]):
        counted = per_mac.get("instructions", {}).get(kernel)
        cycles = per_mac.get("cycles", {}).get(kernel)
        model = emulated["per_mac"][kernel]["total"] if emulated and kernel in emulated["per_mac"] else None
        diff = (counted - model) / model if counted is not None and model is not None else None
        if diff is not None and abs(diff) > COUNT_TOLERANCE:
            disagree.append(kernel)
        rows[kernel] = {"instructions": counted, "emulated": model, "diff": diff, "cycles": cycles,
                        "ipc": counted / cycles if counted is not None and cycles else None}
    return {"rows": rows, "emulated": emulated is not None, "disagree": disagree,
            "counted": "instructions" in per_mac}


def figure(value, width, form=".2f"):
    return f"{value:{width}{form}}" if value is not None else f"{'n/a':>{width}}"


def board_table(board, mixes):
    """One board's block: its times, and its CPU's counts beside the emulated ones for its target."""
    timings, counters = board["timings"], board["counters"]
    figures = board_figures(board, mixes)
    lines = [f"On the board {board['name']} ({board['cpu']}, {counters['isa']}), from {board['dir']}:",
             f"{'kernel':9} {timing_header(timings)}  {'instructions/MAC':>16} {'emulated':>8} {'diff':>7}   "
             f"{'cycles/MAC':>10} {'IPC':>5}"]
    for kernel, row in figures["rows"].items():
        diff = f"{100 * row['diff']:+.1f}%" if row["diff"] is not None else "n/a"
        lines.append(f"{kernel:9} {timing_cell(timings, kernel)}  {figure(row['instructions'], 16)} "
                     f"{figure(row['emulated'], 8)} {diff:>7}   {figure(row['cycles'], 10)} {figure(row['ipc'], 5)}")
    for event, reason in counters.get("unavailable", {}).items():
        lines.append(f"  {event}: not counted on this board ({reason})")
    if not figures["emulated"]:
        lines.append(f"  no emulated count of {counters['isa']} on this machine to compare with")
    elif figures["disagree"]:
        lines.append(f"  The board's CPU counts {', '.join(figures['disagree'])} more than "
                     f"{100 * COUNT_TOLERANCE:.0f}% away from the emulated count of the same code: the board's "
                     f"build or its counter differs.")
    elif figures["counted"]:
        lines.append(f"  The board's CPU counts the same instructions as the emulation, within "
                     f"{100 * COUNT_TOLERANCE:.0f}%.")
    return lines
