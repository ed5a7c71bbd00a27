"""vm_test.py BUILD_DIR prepare|CASE, or --list ISA: the board bundle on emulated boards that boot
Debian's own Arm kernels (tools/boards/vm.py), whose perf core and PMU drivers are Linux's own. prepare fetches
the kernels and makes the bundle, once; each CASE boots one board, runs the bundle with two repetitions,
and checks what that board must show: the run ends 0 with its summary, and
- where the PMU counts (-icount: exactly), each kernel's instructions per multiply-add are within 1% of
  the build's count under its user-mode emulator (instruction_mix.py --check --save, a test of its own);
- qemu's A9, whose PMU counts nothing, is counted user + kernel, its counters n/a with the reason;
- on two clusters, each CPU is measured as a kind of core of its own, its cycles counted by its own PMU,
  no call discarded, whichever PMU the kernel registered first; FIR_CPU measures its one CPU alone;
- an ordinary user is told which setting to change.
--list prints the cases of an ISA, one a line, for CTest."""

import contextlib
import io
import json
import os
import shutil
import sys

from boards import vm
from shared.board_folder import read_board
from shared.cli import ToolError, run_tool
from shared.instruction_sets import AARCH64, ARMV7

# case: the ISA, the core, FIR_CPU, tools/boards/vm.py's options, and the check: its kind, or the PMU that
# must count each CPU measured.
TWO_CLUSTERS = {0: "armv7_cortex_a15", 1: "armv7_cortex_a7"}
CASES = {
    "cortex-a7": (ARMV7, "cortex-a7", None, {}, "exact"),
    "cortex-a15": (ARMV7, "cortex-a15", None, {}, "exact"),
    "cortex-a9": (ARMV7, "cortex-a9", None, {}, "counts-nothing"),
    # In either order of registration, one CPU of them has the PMU registered second: where a generic event
    # that is not bound to the CPU lands on the other cluster's PMU, and counts nothing.
    "big-little": (ARMV7, "big-little", None, {}, TWO_CLUSTERS),
    "big-little-reversed": (ARMV7, "big-little", None, {"reversed_pmus": True}, TWO_CLUSTERS),
    "big-little-cpu1": (ARMV7, "big-little", "1", {}, {1: TWO_CLUSTERS[1]}),
    "user-paranoid-2": (ARMV7, "cortex-a9", None, {"user": True, "paranoid": 2}, "kernel.perf_event_paranoid=1"),
    "user-paranoid-3": (ARMV7, "cortex-a7", None, {"user": True, "paranoid": 3}, "kernel.perf_event_paranoid=2"),
    "cortex-a53": (AARCH64, "cortex-a53", None, {}, "exact"),
    "cortex-a72": (AARCH64, "cortex-a72", None, {}, "exact"),
}
TOLERANCE = 0.01
# What each kind of check holds a board to, in a few words, for docs/board.md.
HOLDS = {"exact": f"cycles and instructions counted, user space alone, each kernel's instructions per multiply-add "
                  f"within {100 * TOLERANCE:g}% of the build's count",
         "counts-nothing": "user + kernel opens, but qemu's PMU counts nothing: n/a with the reason",
         "kernel.perf_event_paranoid=1": "an ordinary user at paranoid 2 told to set 1",
         "kernel.perf_event_paranoid=2": "an ordinary user at Debian's paranoid 3 told to set 2",
         "pmus": "each CPU measured as a kind of its own, cycles on its own PMU, none discarded",
         "pmu": "FIR_CPU's one CPU measured, its cycles on its own PMU, none discarded"}


def prepare(build_dir, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    vm.fetch(build_dir)
    run_tool(["cpack", "-G", "TGZ"], cwd=build_dir)


def check(case, kinds, build_dir):
    """What the case's board must show in the counters of each kind of core it measured."""
    check_kind = CASES[case][4]
    if isinstance(check_kind, dict):
        return check_pmus(check_kind, kinds)
    counters, = [kind["counters"] for kind in kinds]
    macs = counters["outputs"] * counters["taps"]
    counted = counters["counters"]
    if check_kind == "exact":
        with open(os.path.join(build_dir, "instruction-mix.json"), encoding="utf-8") as source:
            mix = {kernel: figures["total"] for kernel, figures in json.load(source)["per_mac"].items()}
        per_mac = {kernel: counted.get("instructions", {}).get(kernel, 0) / macs for kernel in counters["kernels"]}
        return [f"{kernel}: {per_mac[kernel]:.3f} instructions per multiply-add, emulated {mix[kernel]:.3f}"
                for kernel in counters["kernels"] if abs(per_mac[kernel] - mix[kernel]) > TOLERANCE * mix[kernel]]
    if check_kind == "counts-nothing":
        problems = [] if "user + kernel" in counters.get("scope", "") else ["not marked user + kernel"]
        return problems + [f"{event}: {counters['unavailable'].get(event)}" for event in ("cycles", "instructions")
                           if "counted nothing" not in counters["unavailable"].get(event, "")]
    if check_kind.startswith("kernel.perf_event_paranoid"):
        reason = counters["unavailable"].get("cycles", "")
        return [] if f"sysctl {check_kind}" in reason else [f"the reason does not name {check_kind}: {reason}"]
    raise ValueError(check_kind)


def check_pmus(pmus, kinds):
    """Each CPU of pmus measured, alone as a kind of core, its cycles counted by its own PMU, none discarded."""
    measured = {kind["counters"]["cpu"]: kind["counters"] for kind in kinds}
    if set(measured) != set(pmus):
        return [f"measured CPUs {sorted(measured)}, not {sorted(pmus)}"]
    problems = []
    for cpu, counters in measured.items():
        if counters["pmu"] != pmus[cpu]:
            problems.append(f"CPU {cpu} counted by {counters['pmu']}, not {pmus[cpu]}")
        if set(counters["counters"].get("cycles", {})) != set(counters["kernels"]):
            problems.append(f"CPU {cpu}: cycles counted for {sorted(counters['counters'].get('cycles', {}))} alone")
        problems += [f"CPU {cpu}, {kernel}: {n} calls discarded" for kernel, n in counters["discarded"].items() if n]
    return problems


def main(build_dir, case):
    work = os.path.join(build_dir, "vm-tests")
    if case == "prepare":
        prepare(build_dir, work)
        return None
    _, core, fir_cpu, options, _ = CASES[case]
    os.environ.update(FIR_REPETITIONS="2", **({"FIR_CPU": fir_cpu} if fir_cpu else {}))
    console = io.StringIO()
    try:
        with contextlib.redirect_stdout(console):
            folder, status = vm.run(build_dir, core, out=os.path.join(work, case), **options)
    finally:
        print(console.getvalue())
    if status != 0:
        return f"the bundle's run ended {status}"
    if "\nSummary: " not in console.getvalue():
        return "no summary table"
    return "\n".join(check(case, read_board(folder), build_dir)) or None


if __name__ == "__main__":
    if sys.argv[1] == "--list":
        print("\n".join(case for case, spec in CASES.items() if spec[0] == sys.argv[2]))
        sys.exit(0)
    try:
        problem = main(*sys.argv[1:])
    except ToolError as error:
        problem = str(error)
    if problem:
        print(problem)
        sys.exit(1)
