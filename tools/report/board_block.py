"""A board's results beside this machine's emulated counts: its figures as plain data, then its block
of scripts/bench's table."""

from report.figures import COUNT_TOLERANCE, names, per_mac
from report.tables import timing_cell, timing_header


def emulation_line(emulated):
    """What a board that qemu emulated (machine.json's "emulated", from tools/boards/vm.py) tells of
    silicon. Exact instruction counts need -icount, which qemu runs on one CPU alone."""
    counts = ("Its instruction counts carry over to silicon" if emulated["exact_instructions"] else
              f"On {emulated['cpus']} CPUs qemu runs without -icount, and its PMU counts no instructions")
    return (f"Emulated: {emulated['board']} on qemu's {emulated['machine']} machine ({emulated['cpus']} x "
            f"{emulated['cpu']}), under Debian's {emulated['kernel']}. {counts}; its times, cycles, IPC and MHz "
            f"are the emulator's.")


def board_figures(board, mixes, commit):
    """By kernel: the board's instructions and cycles per multiply-add, the emulated count of the same
    target's code, their difference (a fraction), IPC and effective MHz, each None where it was not
    counted; the kernels whose counts disagree with the emulation; and the notes that the block ends
    with (flags, scope, a bundle of another commit)."""
    counters, machine = board["counters"], board["machine"]
    counted_per_mac = per_mac(counters)
    mix = next((mix for mix in mixes if mix["isa"] == counters["isa"]), None)
    rows, disagree = {}, []
    for kernel in names(board["timings"]):
        counted = counted_per_mac.get("instructions", {}).get(kernel)
        cycles = counted_per_mac.get("cycles", {}).get(kernel)
        model = mix["per_mac"][kernel]["total"] if mix and kernel in mix["per_mac"] else None
        diff = (counted - model) / model if counted is not None and model is not None else None
        if diff is not None and abs(diff) > COUNT_TOLERANCE:
            disagree.append(kernel)
        rows[kernel] = {"instructions": counted, "emulated_count": model, "diff": diff, "cycles": cycles,
                        "ipc": counters["ipc"].get(kernel), "mhz": counters["mhz"].get(kernel)}
    built = machine["build"]
    return {"rows": rows, "has_emulated_counts": mix is not None, "disagree": disagree, "counted": "instructions" in counted_per_mac,
            "flags": counters.get("flags", []) + machine["flags"], "notes": counters.get("notes", []),
            "renamed": machine["core"] if machine.get("instructions_at_rename") else None,
            "other_commit": built["commit"] if commit and (built["commit"] != commit or built["modified"]) else None}


def figure(value, width, form=".2f"):
    return f"{value:{width}{form}}" if value is not None else f"{'n/a':>{width}}"


def comparison(figures, isa):
    """The line that says what the board's instruction counts mean beside the emulated ones."""
    tolerance = f"{100 * COUNT_TOLERANCE:.0f}%"
    if not figures["has_emulated_counts"]:
        return f"  no emulated count of {isa} on this machine to compare with"
    if figures["renamed"] and figures["counted"]:
        return (f"  A {figures['renamed']} counts instructions as they leave register renaming (event 0x68), not as "
                f"they retire (0x08, which it lacks), so its counts differ from the emulation's whatever the build.")
    if figures["disagree"]:
        return (f"  The board's CPU counts {', '.join(figures['disagree'])} more than {tolerance} away from the "
                f"emulated count of the same code: the board's build or its counter differs.")
    if figures["counted"]:
        return f"  The board's CPU counts the same instructions as the emulation, within {tolerance}."
    return None


def board_table(board, mixes, commit):
    """One board's block: its times, and its CPU's counts beside the emulated ones for its target."""
    timings, counters, machine = board["timings"], board["counters"], board["machine"]
    figures = board_figures(board, mixes, commit)
    # The PMU, as the board's summary names it: on a board of two kinds it may be all that tells them apart.
    pmu = f" (PMU {machine['pmu']})" if machine["pmu"] else ""
    lines = [f"On the board {board['name']} ({machine['core']}, CPU {machine['cpu']}{pmu}, {counters['isa']}), "
             f"from {board['dir']}:",
             f"{'kernel':9} {timing_header(timings)}  {'instructions/MAC':>16} {'emulated':>8} {'diff':>7}   "
             f"{'cycles/MAC':>10} {'IPC':>5} {'MHz':>5}"]
    for kernel, row in figures["rows"].items():
        # Rounded first, so that a hair below nought reads +0.0%.
        diff = f"{round(100 * row['diff'], 1) + 0:+.1f}%" if row["diff"] is not None else "n/a"
        lines.append(f"{kernel:9} {timing_cell(timings, kernel)}  {figure(row['instructions'], 16)} "
                     f"{figure(row['emulated_count'], 8)} {diff:>7}   {figure(row['cycles'], 10)} {figure(row['ipc'], 5)} "
                     f"{figure(row['mhz'], 5, '.0f')}")
    for event, reason in counters.get("unavailable", {}).items():
        lines.append(f"  {event}: not counted on this board: {reason}")
    if not machine["pmu"]:
        lines.append("  The board's kernel shows no CPU PMU (no node in its device tree?): only the task clock counts.")
    if "emulated" in machine:
        lines.append(f"  {emulation_line(machine['emulated'])}")
    lines += [f"  {note}" for note in figures["notes"]] + [f"  FLAGGED: {flag}" for flag in figures["flags"]]
    if figures["other_commit"]:
        lines.append(f"  The bundle was built from {figures['other_commit'][:12]}"
                     f"{' with changes' if machine['build']['modified'] else ''}, not this checkout's "
                     f"{commit[:12]}: its code may differ from what was emulated here.")
    return lines + [line for line in [comparison(figures, counters["isa"])] if line]
