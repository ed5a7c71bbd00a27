"""The cross-board view as plain data: a row for each board and kind of core that the filters keep, silicon
first and the emulated boards after them, each with its kernels' figures and its run's flags. The table,
the chart and the page all show these rows."""

import collections

# What a kernel's cells show, in order: the first kernel's times per call (its speed-up over itself is 1),
# the others' speed-ups over it, then what every kernel's counters say.
REFERENCE_FIGURES = (("ms_o0", "ms -O0"), ("ms_o2", "ms -O2"))
SPEEDUP_FIGURES = (("speedup_o0", "x -O0"), ("speedup_o2", "x -O2"))
COUNTED_FIGURES = (("instructions_per_mac", "ins/MAC"), ("cycles_per_mac", "cyc/MAC"), ("ipc", "IPC"),
                   ("mhz", "MHz"))
# The flags a run can carry, by the column of kinds that holds each, and the word a row shows for it.
FLAGS = (("throttled", "throttled"), ("clock_spread", "clock moved"), ("scope", "user + kernel"))

Filters = collections.namedtuple("Filters", "target core silicon since until runs", defaults=(None,) * 6)


def where(filters):
    """The SQL conditions and their values for the filters given."""
    conditions, values = [], []
    for condition, value in (("runs.isa = ?", filters.target), ("kinds.core = ?", filters.core),
                             ("runs.taken >= ?", filters.since), ("runs.taken <= ?", filters.until)):
        if value is not None:
            conditions.append(condition)
            values.append(value)
    if filters.silicon:
        conditions.append("runs.emulated IS NULL")
    if filters.runs is not None:
        conditions.append(f"runs.id IN ({', '.join('?' * len(filters.runs))})")
        values += list(filters.runs)
    return (" WHERE " + " AND ".join(conditions)) if conditions else "", values


def rows(db, filters=Filters()):
    """[{label, core, cpu, isa, taken, emulated, flags, kernels: {kernel: {figure: value or None}}}], kernels in
    their run's order."""
    condition, values = where(filters)
    kinds = db.execute(
        "SELECT kinds.id, runs.label, kinds.core, kinds.cpu, runs.isa, runs.taken, runs.emulated, kinds.throttled, "
        "kinds.clock_spread, kinds.scope FROM kinds JOIN runs ON kinds.run = runs.id" + condition +
        " ORDER BY runs.emulated IS NOT NULL, runs.label, runs.taken, runs.id, kinds.cpu", values).fetchall()
    found = []
    names = [name for name, _ in REFERENCE_FIGURES + SPEEDUP_FIGURES + COUNTED_FIGURES]
    for kind, label, core, cpu, isa, taken, emulated, *flagged in kinds:
        figures = db.execute(f"SELECT kernel, {', '.join(names)} FROM figures WHERE kind = ? ORDER BY position",
                             (kind,)).fetchall()
        found.append({"label": label, "core": core, "cpu": cpu, "isa": isa, "taken": taken, "emulated": emulated,
                      "flags": [word for (_, word), value in zip(FLAGS, flagged) if value],
                      "kernels": {kernel: dict(zip(names, values)) for kernel, *values in figures}})
    return found


def columns(kernels):
    """[(kernel, figure, heading)] of the table, kernels in the rows' order: the first kernel's times, the
    others' speed-ups, and every kernel's counts."""
    found = []
    for position, kernel in enumerate(kernels):
        timing = REFERENCE_FIGURES if position == 0 else SPEEDUP_FIGURES
        found += [(kernel, figure, heading) for figure, heading in timing + COUNTED_FIGURES]
    return found


def kernels_of(found):
    """Every kernel the rows name, in the order their runs give them."""
    return list(dict.fromkeys(kernel for row in found for kernel in row["kernels"]))
