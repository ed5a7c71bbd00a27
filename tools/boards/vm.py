#!/usr/bin/env python3
"""The board bundle on an emulated board with a real kernel. Debian's own Arm kernel boots under
qemu-system with busybox and the unpacked bundle in an initramfs (board/vm-init), runs the bundle's run as
a board's user would, and the results folder comes back here, where scripts/bench --board reads it. The
perf core and the Arm PMU drivers that answer the bundle's counters are Linux's own; on one CPU,
-icount shift=0 makes qemu's PMU count instructions exactly. What carries over to silicon is the
instruction counts; times, cycles, IPC and MHz are the emulator's, and machine.json says it was emulated.

    vm.py fetch BUILD_DIR    the kernels and busybox that the cores of BUILD_DIR's target boot, into
                             build/vm (kept)
    vm.py check armv7|aarch64 [CORE] [OPTIONS]    whether run would take these words, before a build
    vm.py run BUILD_DIR [CORE] [--user] [--paranoid N] [--pmus-reversed] [--out DIR] [--timeout SECONDS]
              [--db PATH]

run boots the bundle of the build in BUILD_DIR (scripts/package makes it) on CORE, one of its target's
(default the first). FIR_CPU, FIR_SWEEP and FIR_REPETITIONS (here 3 unless set: emulated times barely
vary) go to the bundle's run, and the time it is allowed follows them. A run that succeeds is added to
the results database (scripts/results).
"""

import json
import os
import shutil
import sys

from boards import console, cores, debian, guest, incoming
from boards.scratch import scratch
from report.board_block import emulation_line
from shared import build_description, checkout
from shared.board_folder import kind_folders
from shared.cli import ToolError, bounded, entry, run_tool, with_commands
from shared.instruction_sets import INSTRUCTION_SETS, TARGETS
from shared.result_files import FILES
from store import database

CACHE = checkout.path("build", "vm")
INIT = checkout.path("board", "vm-init")
# What starts the console lines of board/vm-init around the results folder: no other line can.
MARK = "fir-results-" + os.urandom(8).hex()


def kernel_files(core):
    """The kernel that boots core, its files, and a note where it is not the one apt's lists name now."""
    return debian.kernel(core.flavour, INSTRUCTION_SETS[core.isa].debian_arch, cores.KERNEL_FILES, CACHE)


def busybox(arch):
    return debian.unpacked("busybox-static", arch, r"^\./bin/busybox$", CACHE)["busybox"]


def fetch(build_dir):
    """Everything the cores of the build's target boot, so that runs and tests need no network."""
    isa = build_description.load(build_dir)["isa"]
    cores.board_of(isa, None)  # a build that no emulated board runs is refused, not fetched for
    for name in cores.cores_of(isa):
        kernel_files(cores.CORES[name])
    busybox(INSTRUCTION_SETS[isa].debian_arch)


def mark_emulated(path, emulation):
    """machine.json at path, marked as a board that qemu emulated, and how."""
    with open(path, encoding="utf-8") as source:
        machine = json.load(source)
    machine["emulated"] = emulation
    with open(path, "w", encoding="utf-8") as sink:
        json.dump(machine, sink, indent=1)
        sink.write("\n")


def run(build_dir, core_name=None, user=False, paranoid=None, reversed_pmus=False, out=CACHE, timeout=None):
    """Boots core_name (or the target's first core) with the bundle of the build in build_dir and runs it:
    the results folder it left, under out, and the run's exit status."""
    build = build_description.load(build_dir)
    if not os.path.exists(build["bundle"]):
        raise ToolError(f"{build['bundle']}: missing (scripts/package makes it)")
    isa = build["isa"]
    core_name = cores.board_of(isa, core_name)
    core, arch, qemu = cores.CORES[core_name], INSTRUCTION_SETS[isa].debian_arch, INSTRUCTION_SETS[isa].qemu_system
    if not shutil.which(qemu):
        raise ToolError(f"{qemu} is not installed (Debian's {qemu.replace('-system-aarch64', '-system-arm')}; "
                        f"scripts/vm installs it as root)")
    package, kernel, note = kernel_files(core)
    print(f"Booting {core_name} with Debian's {package}{f' ({note})' if note else ''} ...", flush=True)
    settings = guest.guest_settings(MARK, core_name, user, paranoid)
    with scratch(CACHE) as work:
        initrd = guest.initramfs(work, {"bin/busybox": busybox(arch), "init": INIT}, build["bundle"])
        command = cores.board_command(work, core, kernel, initrd, guest.command_line(settings), reversed_pmus)
        status, results = console.boot(command, timeout or guest.time_allowed(core, settings), MARK)
        if status is None:
            raise ToolError(f"the emulated {core_name} ended before its run did (its console is above)")
        if results is None:
            raise ToolError(f"the bundle's run stopped (status {status}) before it made a results folder")
        folder = incoming.kept(incoming.unpacked(results, os.path.join(work, "results")), out)
    emulated = {"board": core_name, "qemu": run_tool([qemu, "--version"]).stdout.splitlines()[0],
                "machine": core.machine, "cpu": core.cpu, "cpus": core.cpus, "kernel": package,
                "exact_instructions": core.cpus == 1}
    for kind in kind_folders(folder):
        mark_emulated(os.path.join(kind, FILES["machine"]), emulated)
    print(f"\n{emulation_line(emulated)}")
    return folder, status


def parser():
    top, commands = with_commands(__doc__)
    fetching = commands.add_parser("fetch")
    fetching.add_argument("build_dir")
    running = commands.add_parser("run")
    running.add_argument("build_dir")
    # The same words before any build, so that a bad one is refused at once.
    checking = commands.add_parser("check", prog="scripts/vm")
    checking.add_argument("target", choices=TARGETS)
    for command in (running, checking):
        command.add_argument("core", nargs="?")
        command.add_argument("--user", action="store_true", help="run as an ordinary user, not root")
        command.add_argument("--paranoid", type=int, choices=range(-1, 5),
                             help="kernel.perf_event_paranoid (default the kernel's own: Debian's is 3)")
        command.add_argument("--pmus-reversed", action="store_true",
                             help="big-little: the A7's PMU node before the A15's, so the kernel registers it first")
        command.add_argument("--out", default=CACHE, help="where the results folder goes (default build/vm)")
        command.add_argument("--timeout", type=bounded(int, 1, 86400),
                             help="seconds the board may take (default: from the work asked)")
        command.add_argument("--db", default=database.DEFAULT,
                             help="the results database (default results.sqlite here)")
    return top


def main(argv):
    args = parser().parse_args(argv)
    if args.command == "check":
        cores.board_of(TARGETS[args.target], args.core)
        return 0
    if args.command == "fetch":
        fetch(args.build_dir)
        return 0
    folder, status = run(args.build_dir, args.core, args.user, args.paranoid, args.pmus_reversed, args.out,
                         args.timeout)
    if status != 0:
        print(f"The bundle's run failed (status {status}); what it left is in {os.path.relpath(folder)}.")
        return 1
    core_name = cores.board_of(build_description.load(args.build_dir)["isa"], args.core)
    run_id, kept = database.add(database.connect(args.db), folder, f"qemu {core_name}", "scripts/vm")
    print(f"Back on this machine: {os.path.relpath(folder)}, run {run_id} of {os.path.relpath(args.db)}"
          f"{' already' if kept else ''}; scripts/bench --board {os.path.relpath(folder)} shows it beside this "
          f"machine, scripts/results table beside the other boards")
    return 0


if __name__ == "__main__":
    sys.exit(entry("vm", main, sys.argv[1:]))
