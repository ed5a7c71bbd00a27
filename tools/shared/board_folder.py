"""A board's results folder, as the bundle's run leaves it: the program's report at its top, and the
figures of each kind of core it measured. On a board of one kind, or with FIR_CPU, those are at the top
too; on a board of two or more kinds, each kind's are in a folder of their own (cpu0, cpu4...), with a
machine file that names its core. Every file is checked as it is read; a fault is one InputError."""

import os
import re

from shared.result_files import FILES
from shared.results import InputError, load_json, read_counters, read_machine, read_timings

# What a board's run left before it described the board in JSON.
OLD_MACHINE = "machine.txt"


def kind_folders(folder):
    """The folders of a results folder that hold one kind of core's figures, in the order of their CPUs:
    the folder itself where it holds them."""
    if not os.path.isdir(folder):
        raise InputError(f"{folder}: not a folder")
    if os.path.exists(os.path.join(folder, FILES["machine"])):
        return [folder]
    pattern = re.compile(rf"{re.escape(FILES['kind'])}(\d+)")
    kinds = sorted((int(match.group(1)), name) for name in os.listdir(folder)
                   if (match := pattern.fullmatch(name)) and os.path.isdir(os.path.join(folder, name)))
    if kinds and not os.path.exists(os.path.join(folder, FILES["summary"])):
        raise InputError(f"{folder}: unfinished, no {FILES['summary']}: the run was cut short on the board")
    if kinds:
        return [os.path.join(folder, name) for _, name in kinds]
    if os.path.exists(os.path.join(folder, OLD_MACHINE)):
        raise InputError(f"{folder}: made by an older bundle ({OLD_MACHINE}, no {FILES['machine']}): run "
                         f"today's bundle on the board (scripts/package)")
    raise InputError(f"{os.path.join(folder, FILES['machine'])}: missing (not a results folder of the board's "
                     f"run?)")


def read_kind(folder, name):
    """One kind of core's figures: its machine, timings (and at -O2, None where an older bundle took none)
    and counters, all checked, under the name its tables show."""
    def path(role):
        where = os.path.join(folder, FILES[role])
        if not os.path.exists(where):
            raise InputError(f"{where}: missing (not a results folder of the board's run?)")
        return where

    machine = load_json(path("machine"), read_machine, "the board's run")
    timings = load_json(path("timings"), read_timings, "the board's run")
    o2 = os.path.join(folder, FILES["timings_o2"])
    timings_o2 = load_json(o2, read_timings, "the board's run") if os.path.exists(o2) else None
    counters = load_json(path("counters"), read_counters, "the board's run")
    if set(counters["kernels"]) != set(timings["kernels"]):
        raise InputError(f"{path('counters')}: kernels {counters['kernels']} are not the timings' "
                         f"{list(timings['kernels'])}")
    return {"dir": folder, "name": name, "machine": machine, "timings": timings, "timings_o2": timings_o2,
            "counters": counters}


def kind_name(machine):
    """A kind of core as the board's summary names it: its core, and its PMU where it has one, for two
    kinds may share a core's name (qemu's two clusters are both A15s)."""
    return machine["core"] + (f" (PMU {machine['pmu']})" if machine["pmu"] else "")


def read_board(folder):
    """Every kind of core that a results folder measured, each read in full: [kind], named by the folder,
    and by its kind's folder too where there are several."""
    top = os.path.basename(os.path.normpath(folder))
    kinds = kind_folders(folder)
    if kinds == [folder]:
        return [read_kind(folder, top)]
    return [read_kind(kind, f"{top}/{os.path.basename(kind)}") for kind in kinds]
