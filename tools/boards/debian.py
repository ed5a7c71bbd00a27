"""Debian's own packages for another architecture, fetched with apt-get download and unpacked in part,
once: what an emulated board boots (tools/vm.py)."""

import os
import re
import shutil
import subprocess
import tarfile
import tempfile

from shared.cli import ToolError, run_tool


def kernel_package(flavour, arch):
    """The kernel package that Debian's metapackage linux-image-FLAVOUR points at, for arch."""
    said = run_tool(["apt-cache", "depends", f"linux-image-{flavour}:{arch}"]).stdout
    match = re.search(r"Depends: (linux-image-\d\S*?)(?::\w+)?$", said, re.M)
    if not match:
        raise ToolError(f"apt knows no linux-image-{flavour}:{arch}: add the architecture as root (dpkg "
                        f"--add-architecture {arch} && apt-get update), or run scripts/vm as root")
    return match.group(1)


def unpacked(package, arch, wanted, cache):
    """The files of a Debian package whose paths match the pattern wanted, downloaded and unpacked once
    into CACHE/PACKAGE-ARCH: {name: path}."""
    folder = os.path.join(cache, f"{package}-{arch}")
    if not os.path.isdir(folder):
        os.makedirs(cache, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=cache) as download:
            run_tool(["apt-get", "download", f"{package}:{arch}"], cwd=download)
            deb, = [os.path.join(download, name) for name in os.listdir(download)]
            staging = os.path.join(download, "files")
            os.mkdir(staging)
            extract(deb, wanted, staging)
            os.rename(staging, folder)
    return {name: os.path.join(folder, name) for name in os.listdir(folder)}


def extract(deb, wanted, folder):
    """The files of a .deb whose paths match wanted, into folder, streamed: a kernel's modules are hundreds
    of megabytes that no board here needs."""
    contents = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with tarfile.open(fileobj=contents.stdout, mode="r|") as archive:
        for member in archive:
            if member.isfile() and re.search(wanted, member.name):
                path = os.path.join(folder, os.path.basename(member.name))
                with open(path, "wb") as out:
                    shutil.copyfileobj(archive.extractfile(member), out)
                os.chmod(path, member.mode)
    if contents.wait() != 0:
        raise ToolError(f"dpkg-deb --fsys-tarfile {deb} failed: {contents.stderr.read().decode(errors='replace')}")
