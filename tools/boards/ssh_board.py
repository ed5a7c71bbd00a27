#!/usr/bin/env python3
"""An emulated board that serves SSH, to try scripts/board on: Debian's own kernel for a core of the build's
target, under qemu-system as tools/boards/vm.py boots it, with busybox and Debian's dropbear in an
initramfs (board/ssh-init), on qemu's user network with a port of this machine forwarded to its SSH.
It takes root logins by one key, and runs until it is stopped.

    ssh_board.py BUILD_DIR [CORE] --port PORT --key PUBLIC_KEY [--name HOST] [--room SIZE]

--room sizes the file system of root's home (512m unless given, as tmpfs takes it: 2m, 1g).
"""

import os
import subprocess
import sys

from boards import cores, debian, guest, vm
from boards.scratch import scratch
from shared import build_description, checkout
from shared.cli import ToolError, entry
from shared.instruction_sets import INSTRUCTION_SETS

INIT = checkout.path("board", "ssh-init")
# Debian's dropbear and what it links, by package: the libraries, their loader, and the server.
DROPBEAR = ("dropbear-bin", "libc6", "libcrypt1", "libtomcrypt1", "libtommath1", "libgmp10", "zlib1g")
DROPBEAR_FILES = r"^\./usr/sbin/dropbear$|^\./(usr/)?lib/[^/]+-linux-gnu\w*/(ld-linux[\w.-]*|lib[\w+.-]+\.so[\d.]*)$"
MODULES = ("failover", "net_failover", "virtio_mmio", "virtio_net")


def board_files(core, key):
    """{path on the board: path here} of what the SSH board boots with, and its kernel's files."""
    arch = INSTRUCTION_SETS[core.isa].debian_arch
    package, kernel, _ = vm.kernel_files(core)
    files = {"bin/busybox": vm.busybox(arch), "init": INIT, "root/.ssh/authorized_keys": key}
    for name in DROPBEAR:
        for file_name, path in debian.unpacked(name, arch, DROPBEAR_FILES, vm.CACHE).items():
            files["usr/sbin/dropbear" if file_name == "dropbear" else f"lib/{file_name}"] = path
    for module in MODULES:
        if f"{module}.ko" not in kernel:
            raise ToolError(f"{package} has no {module}.ko, which puts the board on the network")
        files[f"lib/modules/{module}.ko"] = kernel[f"{module}.ko"]
    return files, kernel


def serve(build_dir, core_name, port, key, name, room):
    """Boots the board and waits for it: qemu's exit status."""
    core_name = cores.board_of(build_description.load(build_dir)["isa"], core_name)
    core = cores.CORES[core_name]
    if core.machine != "virt":
        raise ToolError(f"{core_name} boots qemu's {core.machine}, which has no virtio network for SSH")
    files, kernel = board_files(core, key)
    with scratch(vm.CACHE) as work:
        initrd = guest.initramfs(work, files)
        command = cores.board_command(work, core, kernel, initrd, guest.command_line({"VM_HOST": name, "VM_ROOM": room}), False,
                                      idle_at_once=False)
        command += ["-netdev", f"user,id=net,hostfwd=tcp:127.0.0.1:{port}-:22", "-device",
                    "virtio-net-device,netdev=net"]
        return subprocess.run(command, stdin=subprocess.DEVNULL, check=False).returncode


def main(argv):
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("core", nargs="?")
    parser.add_argument("--port", type=int, required=True, help="this machine's port forwarded to the board's 22")
    parser.add_argument("--key", required=True, help="the public key that may log in as root")
    parser.add_argument("--name", default="ssh-board", help="the board's host name")
    parser.add_argument("--room", default="512m", help="the size of root's home")
    args = parser.parse_args(argv)
    return serve(args.build_dir, args.core, args.port, os.path.abspath(args.key), args.name, args.room)


if __name__ == "__main__":
    sys.exit(entry("ssh_board", main, sys.argv[1:]))
