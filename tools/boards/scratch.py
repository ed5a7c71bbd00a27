"""A work folder for one emulated board, in the cache beside what it boots, removed when the board is done;
one that a killed run left is removed by the next run, which knows it by its dead process."""

import contextlib
import os
import shutil
import tempfile

PREFIX = "run-"


def stale(name):
    """Whether a work folder's process is gone: its name is run-PID-..."""
    pid = name[len(PREFIX):].split("-")[0]
    return pid.isdigit() and not os.path.exists(f"/proc/{pid}")


@contextlib.contextmanager
def scratch(cache):
    os.makedirs(cache, exist_ok=True)
    for name in os.listdir(cache):
        if name.startswith(PREFIX) and stale(name):
            shutil.rmtree(os.path.join(cache, name), ignore_errors=True)
    with tempfile.TemporaryDirectory(dir=cache, prefix=f"{PREFIX}{os.getpid()}-") as work:
        yield work
