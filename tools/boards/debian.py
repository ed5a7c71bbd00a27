"""Debian's own packages for another architecture, fetched with apt-get download and unpacked in part, once,
into a cache: what an emulated board boots (tools/boards/vm.py). The cache takes one fetch at a time, so two
first runs at once are safe, and a fetch cut short by a kill is cleared by the next. A kernel already
cached serves when apt's lists have moved on to one that cannot be fetched, or know none."""

import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import tarfile
import tempfile

from shared.cli import ToolError, run_tool

# A fetch under way, in the cache, until it is put in its place.
FETCHING = "fetching-"


def kernel_package(flavour, arch):
    """The kernel package that Debian's metapackage linux-image-FLAVOUR points at, for arch."""
    said = run_tool(["apt-cache", "depends", f"linux-image-{flavour}:{arch}"]).stdout
    match = re.search(r"Depends: (linux-image-\d\S*?)(?::\w+)?$", said, re.M)
    if not match:
        raise ToolError(f"apt knows no linux-image-{flavour}:{arch}: add the architecture as root (dpkg "
                        f"--add-architecture {arch} && apt-get update), or run scripts/vm as root")
    return match.group(1)


def cached_kernels(flavour, arch, cache):
    """The kernel packages of this flavour already in the cache, newest first."""
    pattern = re.compile(rf"linux-image-([\d.]+)-(\d+)-{re.escape(flavour)}-{re.escape(arch)}")
    found = [(tuple(int(n) for n in match.group(1).split(".")), int(match.group(2)), name)
             for name in (os.listdir(cache) if os.path.isdir(cache) else []) if (match := pattern.fullmatch(name))]
    return [name[:-len(arch) - 1] for *_, name in sorted(found, reverse=True)]


def kernel(flavour, arch, wanted, cache):
    """The kernel package to boot and its files that match wanted, and a note of why, where it is not the
    one apt's lists name now: the one they name, fetched once, or the newest cached where that cannot be."""
    cached = cached_kernels(flavour, arch, cache)
    try:
        package = kernel_package(flavour, arch)
        return package, unpacked(package, arch, wanted, cache), None
    except ToolError as error:
        if not cached:
            raise
        return cached[0], unpacked(cached[0], arch, wanted, cache), f"the cached one, since {error}"


@contextlib.contextmanager
def locked(cache):
    """The cache to oneself, with what a fetch that was killed left in it cleared."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w", encoding="utf-8") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for name in os.listdir(cache):
            if name.startswith(FETCHING):
                shutil.rmtree(os.path.join(cache, name), ignore_errors=True)
        yield


def unpacked(package, arch, wanted, cache):
    """The files of a Debian package whose paths match the pattern wanted, downloaded and unpacked once
    into CACHE/PACKAGE-ARCH, again where they were unpacked for another pattern: {name: path}."""
    folder = os.path.join(cache, f"{package}-{arch}")
    pattern = os.path.join(folder, ".wanted")
    with locked(cache):
        if not os.path.isfile(pattern) or read(pattern) != wanted:
            with tempfile.TemporaryDirectory(dir=cache, prefix=FETCHING) as download:
                run_tool(["apt-get", "download", f"{package}:{arch}"], cwd=download)
                deb, = [os.path.join(download, name) for name in os.listdir(download)]
                staging = os.path.join(download, "files")
                os.mkdir(staging)
                extract(deb, wanted, staging)
                with open(os.path.join(staging, ".wanted"), "w", encoding="utf-8") as kept:
                    kept.write(wanted)
                shutil.rmtree(folder, ignore_errors=True)
                os.rename(staging, folder)
    return {name: os.path.join(folder, name) for name in os.listdir(folder) if not name.startswith(".")}


def read(path):
    with open(path, encoding="utf-8") as source:
        return source.read()


def extract(deb, wanted, folder):
    """The files of a .deb whose paths match wanted, into folder, streamed: a kernel's modules are hundreds
    of megabytes that no board here needs."""
    contents = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with tarfile.open(fileobj=contents.stdout, mode="r|") as archive:
        for member in archive:
            if not re.search(wanted, member.name):
                continue
            path = os.path.join(folder, os.path.basename(member.name))
            if member.issym():
                # A library's name beside the file it names, both wanted, in the one flat folder.
                os.symlink(os.path.basename(member.linkname), path)
            elif member.isfile():
                with open(path, "wb") as out:
                    shutil.copyfileobj(archive.extractfile(member), out)
                os.chmod(path, member.mode)
    if contents.wait() != 0:
        raise ToolError(f"dpkg-deb --fsys-tarfile {deb} failed: {contents.stderr.read().decode(errors='replace')}")
