"""The emulated boards: for each core, the qemu machine and CPU that stand for it, the flavour of Debian's
kernel it boots, and the device tree that shows the kernel its PMU; and the qemu command that boots it."""

import collections
import os

from shared.cli import ToolError, run_tool
from shared.instruction_sets import AARCH64, ARMV7, INSTRUCTION_SETS

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
# What every core boots, taken from its kernel's package: the kernel, the A9's device tree, and the modules
# that put an SSH board on the network (virtio's transport and network device).
KERNEL_FILES = r"^\./boot/vmlinuz-|/vexpress-v2p-ca9\.dtb$|/(virtio_mmio|virtio_net|net_failover|failover)\.ko$"


def cores_of(isa):
    return [name for name, core in CORES.items() if core.isa == isa]



def board_of(isa, core_name):
    """The core that boots a bundle of isa: core_name, or the first core."""
    if not cores_of(isa):
        raise ToolError(f"a build for {isa}, which no emulated board runs")
    core_name = core_name or cores_of(isa)[0]
    if core_name not in cores_of(isa):
        raise ToolError(f"{core_name}: not an emulated core of {isa}: {', '.join(cores_of(isa))}")
    return core_name


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


def machine_command(qemu, core, idle_at_once=True):
    """qemu's words for the core's machine. idle_at_once lets the board's idle time pass at once, which
    speeds a run; a board that waits for its network keeps its clock with this machine's instead."""
    command = [qemu, "-M", core.machine, "-cpu", core.cpu, "-smp", str(core.cpus), "-m", "1024",
               "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot"]
    # On one CPU qemu counts one instruction a nanosecond, and its PMU counts instructions; on two,
    # icount stalls the kernel, and the PMU counts cycles alone.
    if core.cpus == 1:
        command += ["-icount", f"shift=0,sleep={'off' if idle_at_once else 'on'}"]
    if core.machine.startswith("vexpress"):
        command += ["-audiodev", "none,id=none"]
    return command


def board_command(work, core, kernel, initrd, settings, reversed_pmus, idle_at_once=True):
    """The qemu command that boots the core's kernel, with initrd and the guest's settings."""
    qemu = INSTRUCTION_SETS[core.isa].qemu_system
    vmlinuz, = [path for name, path in kernel.items() if name.startswith("vmlinuz-")]
    # Every machine here has a PL011 UART for its console.
    command = machine_command(qemu, core, idle_at_once) + ["-kernel", vmlinuz, "-initrd", initrd, "-append",
                                             f"console=ttyAMA0 loglevel=3 panic=-1 {settings}"]
    tree = device_tree(work, core, qemu, kernel, reversed_pmus)
    return command + (["-dtb", tree] if tree else [])
