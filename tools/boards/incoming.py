"""A results folder that came back from a board as a tar (gzipped or not): unpacked, and kept under a name
of its own. The tar is another machine's, so it is unpacked only when it holds plain files and folders,
all under one top folder and none reaching out of it: this Python's tarfile has no extraction filter."""

import io
import os
import shutil
import tarfile

from shared.cli import ToolError


def unpacked(data, staging):
    """The one folder the tar in data holds, unpacked under staging: its path."""
    try:
        with tarfile.open(fileobj=io.BytesIO(data)) as archive:
            members = archive.getmembers()
            tops = {member.name.split("/")[0] for member in members}
            for member in members:
                if not (member.isfile() or member.isdir()) or member.name.startswith("/") or \
                        ".." in member.name.split("/"):
                    raise ToolError(f"the results from the board hold {member.name}, which is not a plain file "
                                    f"or folder inside theirs")
            if len(tops) != 1 or tops & {"", "."}:
                raise ToolError(f"the results from the board are not one folder: {', '.join(sorted(tops))}")
            archive.extractall(staging, members=members)
    except (OSError, EOFError, tarfile.TarError) as error:
        raise ToolError(f"the results from the board do not unpack: {error}") from error
    return os.path.join(staging, tops.pop())


def kept(folder, under):
    """folder moved into under, with -2, -3... after its name where that name is taken: its new path."""
    name = os.path.basename(folder)
    target, n = os.path.join(under, name), 1
    while os.path.exists(target):
        n += 1
        target = os.path.join(under, f"{name}-{n}")
    os.makedirs(under, exist_ok=True)
    shutil.move(folder, target)
    return target
