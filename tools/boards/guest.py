"""What an emulated board boots with: an initramfs of the files it is given, the NAME=VALUE settings that its
kernel's command line hands to its init, and the time its work is allowed."""

import gzip
import os
import re
import shutil
import tarfile

from shared.cli import ToolError, run_tool

# The time a run is allowed: booting, then each CPU it measures, each repetition and the sweep; about
# three times what they took here: an A7 boots and runs three repetitions in 30 s, and sweeps in 300 s more.
BOOT_SECONDS, REPETITION_SECONDS, SWEEP_SECONDS = 120, 40, 900
REPETITIONS = "3"


def initramfs(work, files, bundle=None):
    """A gzipped newc initramfs in work of files ({path in the image: path here}), and the board bundle
    archive unpacked in /bundle where one is given: its path."""
    root = os.path.join(work, "root")
    for folder in ("bin", "dev", "proc", "sys"):
        os.makedirs(os.path.join(root, folder))
    for inside, source in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, inside)), exist_ok=True)
        shutil.copy(source, os.path.join(root, inside), follow_symlinks=True)
    if bundle:
        with tarfile.open(bundle) as archive:
            top, = {member.name.split("/")[0] for member in archive}
            archive.extractall(root)
        os.rename(os.path.join(root, top), os.path.join(root, "bundle"))
    names = run_tool(["find", "."], text=False, cwd=root).stdout
    image = run_tool(["cpio", "-o", "-H", "newc", "--quiet"], text=False, input=names, cwd=root).stdout
    path = os.path.join(work, "initramfs.gz")
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(image)
    return path


def guest_settings(mark, core_name, user, paranoid):
    """The kernel command line's NAME=VALUE settings, which reach board/vm-init as its environment. An
    empty FIR_ setting is unset, as the bundle's run takes it."""
    settings = {"VM_MARK": mark, "VM_HOST": f"qemu-{core_name}",
                "FIR_REPETITIONS": os.environ.get("FIR_REPETITIONS") or REPETITIONS}
    for name in ("FIR_CPU", "FIR_SWEEP"):
        if os.environ.get(name):
            settings[name] = os.environ[name]
    if user:
        settings["VM_USER"] = "1"
    if paranoid is not None:
        settings["VM_PARANOID"] = str(paranoid)
    return settings


def time_allowed(core, settings):
    """Seconds for booting core and running the bundle as settings ask: each CPU it may measure, each
    repetition, and the sweep."""
    repetitions = int(settings["FIR_REPETITIONS"]) if settings["FIR_REPETITIONS"].isdigit() else 10
    cpus = 1 if "FIR_CPU" in settings else core.cpus
    sweep = SWEEP_SECONDS if settings.get("FIR_SWEEP") == "1" else 0
    return BOOT_SECONDS + cpus * (repetitions * REPETITION_SECONDS + sweep)


def command_line(settings):
    for name, value in settings.items():
        if not re.fullmatch(r"[\w.-]+", value):
            raise ToolError(f"{name}={value!r}: not a value the kernel's command line can carry")
    return " ".join(f"{name}={value}" for name, value in settings.items())
