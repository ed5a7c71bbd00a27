#!/usr/bin/env python3
"""The board bundle on an emulated board with a real kernel. Debian's own Arm kernel boots under
qemu-system with busybox and the unpacked bundle in an initramfs (board/vm-init), runs the bundle's run as
a board's user would, and the results folder comes back here, where scripts/bench --board reads it. The
perf core and the Arm PMU drivers that answer the bundle's counters are Linux's own; on one CPU,
-icount shift=0 makes qemu's PMU count instructions exactly. What carries over to silicon is the
instruction counts; times, cycles, IPC and MHz are the emulator's, and machine.json says it was emulated.

    vm.py fetch BUILD_DIR    the kernels and busybox that the cores of BUILD_DIR's target boot, into
                             build/vm (kept)
    vm.py run BUILD_DIR [CORE] [--user] [--paranoid N] [--pmus-reversed] [--out DIR]

run boots the bundle of the build in BUILD_DIR (scripts/package makes it) on CORE, one of its target's
(default the first). FIR_CPU, FIR_SWEEP and FIR_REPETITIONS (here 3 unless set: emulated times barely vary) go to the bundle's
run.
"""

import base64
import collections
import gzip
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading

from shared import build_description, checkout
from shared.board_folder import kind_folders
from shared.result_files import FILES
from report.board_block import emulation_line
from shared.cli import ToolError, entry, run_tool, with_commands
from boards.debian import kernel_package, unpacked
from shared.instruction_sets import AARCH64, ARMV7, INSTRUCTION_SETS

CACHE = checkout.path("build", "vm")
INIT = checkout.path("board", "vm-init")

# Each core: its instruction set, qemu's machine and CPU, the flavour of Debian's kernel, the CPUs, and its device
# tree: qemu's own (tree None), a tree from the kernel's package, or qemu's virt tree with a PMU node for
# each (compatible, CPU) in pmus. qemu gives a 32-bit core's PMU node no compatible, and no kernel driver
# takes it without one. The two clusters are one kind of emulated core with two kinds of PMU node, one
# each: enough for the kernel to see two PMUs, as on a big.LITTLE board.
Core = collections.namedtuple("Core", "isa machine cpu flavour cpus tree pmus")
CORES = {
    "cortex-a7": Core(ARMV7, "virt", "cortex-a7", "armmp-lpae", 1, "virt", (("arm,cortex-a7-pmu", 0),)),
    "cortex-a15": Core(ARMV7, "virt", "cortex-a15", "armmp-lpae", 1, "virt", (("arm,cortex-a15-pmu", 0),)),
    "cortex-a9": Core(ARMV7, "vexpress-a9", "cortex-a9", "armmp", 1, "vexpress-v2p-ca9.dtb", ()),
    "big-little": Core(ARMV7, "virt", "cortex-a15", "armmp-lpae", 2, "virt",
                       (("arm,cortex-a15-pmu", 0), ("arm,cortex-a7-pmu", 1))),
    "cortex-a53": Core(AARCH64, "virt", "cortex-a53", "arm64", 1, None, ()),
    "cortex-a57": Core(AARCH64, "virt", "cortex-a57", "arm64", 1, None, ()),
    "cortex-a72": Core(AARCH64, "virt", "cortex-a72", "arm64", 1, None, ()),
}
# What starts the two console lines of board/vm-init around the results folder: no other line can.
MARK = "fir-results-" + os.urandom(8).hex()


def cores_of(isa):
    return [name for name, core in CORES.items() if core.isa == isa]


# --- What the board boots: Debian's packages, kept in build/vm ---

def kernel_files(flavour, arch):
    """The kernel that Debian's linux-image-FLAVOUR points at, and its files: the kernel and the device
    trees that a core boots with."""
    package = kernel_package(flavour, arch)
    return package, unpacked(package, arch, r"^\./boot/vmlinuz-|/vexpress-v2p-ca9\.dtb$", CACHE)


def busybox(arch):
    return unpacked("busybox-static", arch, r"^\./bin/busybox$", CACHE)["busybox"]


def fetch(build_dir):
    """Everything the cores of the build's target boot, so that runs and tests need no network."""
    isa = board_of(build_description.load(build_dir), None)[0]
    for flavour in sorted({CORES[core].flavour for core in cores_of(isa)}):
        kernel_files(flavour, INSTRUCTION_SETS[isa].debian_arch)
    busybox(INSTRUCTION_SETS[isa].debian_arch)


# --- The board: its initramfs, device tree and qemu ---

def initramfs(work, archive, busybox_binary):
    """An initramfs of busybox, board/vm-init as /init, and the bundle unpacked in /bundle."""
    root = os.path.join(work, "root")
    for folder in ("bin", "dev", "proc", "sys"):
        os.makedirs(os.path.join(root, folder))
    shutil.copy(busybox_binary, os.path.join(root, "bin", "busybox"))
    shutil.copy(INIT, os.path.join(root, "init"))
    with tarfile.open(archive) as bundle:
        top, = {member.name.split("/")[0] for member in bundle}
        bundle.extractall(root)
    os.rename(os.path.join(root, top), os.path.join(root, "bundle"))
    names = run_tool(["find", "."], text=False, cwd=root).stdout
    image = run_tool(["cpio", "-o", "-H", "newc", "--quiet"], text=False, input=names, cwd=root).stdout
    path = os.path.join(work, "initramfs.gz")
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(image)
    return path


def device_tree(work, core, qemu, kernel, reversed_pmus):
    """The device tree the kernel boots with, or None for qemu's own."""
    if core.tree is None:
        return None
    if core.tree != "virt":
        return kernel[core.tree]
    tree = os.path.join(work, "virt.dtb")
    run_tool(machine_command(qemu, core) + ["-machine", f"dumpdtb={tree}"])
    if len(core.pmus) == 1:
        (compatible, _), = core.pmus
        run_tool(["fdtput", "-t", "s", tree, "/pmu", "compatible", compatible])
        # The PMU's own interrupt: PPI 7, level high, on the one CPU.
        run_tool(["fdtput", "-t", "i", tree, "/pmu", "interrupts", "1", "7", "0x104"])
        return tree
    # One node a cluster, each with an SPI of its own and the CPU it serves. fdtput adds a node before its
    # siblings, so the last is added first; the kernel registers the PMUs in the tree's order.
    run_tool(["fdtput", "-r", tree, "/pmu"])
    pmus = list(enumerate(core.pmus))
    for index, (compatible, cpu) in (pmus if reversed_pmus else list(reversed(pmus))):
        node = f"/pmu-{index}"
        phandle = run_tool(["fdtget", tree, f"/cpus/cpu@{cpu}", "phandle"]).stdout.strip()
        run_tool(["fdtput", "-c", tree, node])
        run_tool(["fdtput", "-t", "s", tree, node, "compatible", compatible])
        run_tool(["fdtput", "-t", "i", tree, node, "interrupts", "0", str(100 + index), "4"])
        run_tool(["fdtput", "-t", "i", tree, node, "interrupt-affinity", phandle])
    return tree


def machine_command(qemu, core):
    command = [qemu, "-M", core.machine, "-cpu", core.cpu, "-smp", str(core.cpus), "-m", "1024",
               "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot"]
    # On one CPU qemu counts one instruction a nanosecond, and its PMU counts instructions; on two,
    # icount stalls the kernel, and the PMU counts cycles alone.
    if core.cpus == 1:
        command += ["-icount", "shift=0,sleep=off"]
    if core.machine.startswith("vexpress"):
        command += ["-audiodev", "none,id=none"]
    return command


def guest_settings(core_name, user, paranoid):
    """The kernel command line's NAME=VALUE settings, which reach board/vm-init as its environment."""
    settings = {"VM_MARK": MARK, "VM_HOST": f"qemu-{core_name}", "FIR_REPETITIONS": os.environ.get("FIR_REPETITIONS", "3")}
    for name in ("FIR_CPU", "FIR_SWEEP"):
        if os.environ.get(name):
            settings[name] = os.environ[name]
    if user:
        settings["VM_USER"] = "1"
    if paranoid is not None:
        settings["VM_PARANOID"] = str(paranoid)
    for name, value in settings.items():
        if not re.fullmatch(r"[\w.-]+", value):
            raise ToolError(f"{name}={value!r}: not a value the kernel's command line can carry")
    return " ".join(f"{name}={value}" for name, value in settings.items())


def boot(command, timeout):
    """Runs the board, its console shown as it comes, less the results' lines: the run's exit status (None
    where the board did not get that far) and the results as a tar archive's bytes."""
    board = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, errors="replace")
    timer = threading.Timer(timeout, board.kill)
    timer.start()
    status, encoded, inside = None, [], False
    try:
        for line in board.stdout:
            line = line.rstrip("\r\n")
            if line.startswith(MARK + " "):
                status, inside = int(line[len(MARK) + 1:]), True
            elif line == MARK:
                inside = False
            elif inside:
                encoded.append(line)
            else:
                print(line, flush=True)
        board.wait()
    finally:
        timer.cancel()
    if board.returncode == -9:
        raise ToolError(f"the emulated board did not finish within {timeout} s")
    return status, gzip.decompress(base64.b64decode("".join(encoded))) if encoded else b""


def unpack_results(results, out):
    """The results folder from the board, under out, with -2, -3... after its name where one is there; None
    where the run made none."""
    with tempfile.TemporaryDirectory() as work:
        if results:
            with tarfile.open(fileobj=io.BytesIO(results)) as archive:
                archive.extractall(work)
        if not os.listdir(work):
            return None
        name, = os.listdir(work)
        target, n = os.path.join(out, name), 1
        while os.path.exists(target):
            n += 1
            target = os.path.join(out, f"{name}-{n}")
        os.makedirs(out, exist_ok=True)
        shutil.move(os.path.join(work, name), target)
    return target


def mark_emulated(path, emulation):
    """machine.json at path, marked as a board that qemu emulated, and how."""
    with open(path, encoding="utf-8") as source:
        machine = json.load(source)
    machine["emulated"] = emulation
    with open(path, "w", encoding="utf-8") as sink:
        json.dump(machine, sink, indent=1)
        sink.write("\n")


def board_of(build, core_name):
    """The instruction set and the core that boot the build's bundle: core_name, or the first core."""
    isa = build["isa"]
    if not cores_of(isa):
        raise ToolError(f"a build for {isa}, which no emulated board runs")
    core_name = core_name or cores_of(isa)[0]
    if core_name not in cores_of(isa):
        raise ToolError(f"{core_name}: not an emulated core of {isa}: {', '.join(cores_of(isa))}")
    return isa, core_name


def board_command(work, core, kernel, initrd, settings, reversed_pmus):
    """The qemu command that boots the core's kernel, with initrd and the guest's settings."""
    qemu = INSTRUCTION_SETS[core.isa].qemu_system
    vmlinuz, = [path for name, path in kernel.items() if name.startswith("vmlinuz-")]
    # Every machine here has a PL011 UART for its console.
    command = machine_command(qemu, core) + ["-kernel", vmlinuz, "-initrd", initrd, "-append",
                                             f"console=ttyAMA0 loglevel=3 panic=-1 {settings}"]
    tree = device_tree(work, core, qemu, kernel, reversed_pmus)
    return command + (["-dtb", tree] if tree else [])


def run(build_dir, core_name=None, user=False, paranoid=None, reversed_pmus=False, out=CACHE, timeout=600):
    """Boots core_name (or the target's first core) with the bundle of the build in build_dir and runs it:
    the results folder it left, under out, and the run's exit status."""
    build = build_description.load(build_dir)
    if not os.path.exists(build["bundle"]):
        raise ToolError(f"{build['bundle']}: missing (scripts/package makes it)")
    isa, core_name = board_of(build, core_name)
    core, arch = CORES[core_name], INSTRUCTION_SETS[isa].debian_arch
    package, kernel = kernel_files(core.flavour, arch)
    settings = guest_settings(core_name, user, paranoid)
    with tempfile.TemporaryDirectory() as work:
        initrd = initramfs(work, build["bundle"], busybox(arch))
        status, results = boot(board_command(work, core, kernel, initrd, settings, reversed_pmus), timeout)
    if status is None:
        raise ToolError(f"the emulated {core_name} ended before its run did (its console is above)")
    folder = unpack_results(results, out)
    if folder is None:
        raise ToolError(f"the bundle's run stopped (status {status}) before it made a results folder")
    emulated = {"board": core_name, "qemu": run_tool([INSTRUCTION_SETS[isa].qemu_system, "--version"]).stdout
                .splitlines()[0],
                "machine": core.machine, "cpu": core.cpu, "cpus": core.cpus, "kernel": package,
                "exact_instructions": core.cpus == 1}
    for kind in kind_folders(folder):
        mark_emulated(os.path.join(kind, FILES["machine"]), emulated)
    print(f"\n{emulation_line(emulated)}")
    return folder, status


def main(argv):
    parser, commands = with_commands(__doc__)
    fetching = commands.add_parser("fetch")
    fetching.add_argument("build_dir")
    running = commands.add_parser("run")
    running.add_argument("build_dir")
    running.add_argument("core", nargs="?")
    running.add_argument("--user", action="store_true", help="run as an ordinary user, not root")
    running.add_argument("--paranoid", type=int, choices=range(-1, 5),
                         help="kernel.perf_event_paranoid (default the kernel's own: Debian's is 3)")
    running.add_argument("--pmus-reversed", action="store_true",
                         help="big-little: the A7's PMU node before the A15's, so the kernel registers it first")
    running.add_argument("--out", default=CACHE, help="where the results folder goes (default build/vm)")
    args = parser.parse_args(argv)
    if args.command == "fetch":
        fetch(args.build_dir)
        return 0
    folder, status = run(args.build_dir, args.core, args.user, args.paranoid, args.pmus_reversed,
                         args.out)
    print(f"Back on this machine: {os.path.relpath(folder)}; scripts/bench --board {os.path.relpath(folder)}")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(entry("vm", main, sys.argv[1:]))
