"""A results folder as the database's rows: the run (the board, its kernel, whether it was emulated, the
bundle's commit, the day), each kind of core it measured (its part, clock, governor and flags), and each
kernel's figures on that kind: time per call and spread at -O0 and -O2 with the speed-up over the first
kernel, instructions and cycles per multiply-add, IPC and MHz, each None where it was not measured."""

import os

from report.figures import per_mac, speedup
from shared.board_folder import read_board


def timing_figures(timings, kernel, level):
    """ms per call, spread and speed-up over the first kernel at one optimisation level, or Nones."""
    if timings is None or kernel not in timings["kernels"]:
        return {f"ms_{level}": None, f"spread_{level}": None, f"speedup_{level}": None}
    figures = timings["kernels"][kernel]
    return {f"ms_{level}": figures["median"], f"spread_{level}": figures["cv"],
            f"speedup_{level}": speedup(timings, kernel)}


def counted_figures(counters, counted, kernel):
    """counted: per_mac(counters), taken once for every kernel."""
    return {"instructions_per_mac": counted.get("instructions", {}).get(kernel),
            "cycles_per_mac": counted.get("cycles", {}).get(kernel),
            "ipc": counters["ipc"].get(kernel), "mhz": counters["mhz"].get(kernel)}


def joined(lines):
    return "\n".join(lines) or None


def kind_rows(kind):
    """One kind of core's row, and its kernels' rows."""
    machine, counters = kind["machine"], kind["counters"]
    before = machine.get("before", {})
    row = {"cpu": machine["cpu"], "core": machine["core"], "part": machine["part"], "pmu": machine.get("pmu", ""),
           "governor": before.get("governor"), "mhz_max": before.get("mhz", {}).get("max"),
           "throttled": joined(machine["flags"]), "clock_spread": joined(counters.get("flags", [])),
           "scope": counters.get("scope")}
    counted = per_mac(counters)
    figures = [dict(kernel=kernel, position=position, **timing_figures(kind["timings"], kernel, "o0"),
                    **timing_figures(kind["timings_o2"], kernel, "o2"), **counted_figures(counters, counted, kernel))
               for position, kernel in enumerate(counters["kernels"])]
    return row, figures


def emulation(machine):
    """How the board was emulated, or None for silicon: as scripts/vm marked it, or as qemu's virt machine
    names itself in its device tree (an emulated board reached over SSH)."""
    emulated = machine.get("emulated")
    if emulated:
        return f"{emulated['board']} ({emulated['machine']}, {emulated['kernel']})"
    if "linux,dummy-virt" in machine.get("compatible", []):
        return "qemu's virt machine, as its device tree says"
    return None


def run_rows(folder):
    """The run's row (less what the database adds: digest, label, source, the time added) and, for each kind
    of core, its row and its kernels' rows."""
    kinds = read_board(folder)
    machine = kinds[0]["machine"]
    run = {"folder": os.path.basename(os.path.normpath(folder)), "host": machine.get("host") or None,
           "kernel": machine.get("kernel", ""), "isa": kinds[0]["counters"]["isa"],
           "emulated": emulation(machine),
           "commit_id": machine["build"]["commit"], "modified": int(bool(machine["build"]["modified"])),
           "taken": kinds[0]["timings"]["day"]}
    return run, [kind_rows(kind) for kind in kinds]
