"""One board's part of scripts/board, through board/over-ssh on the board: what it is, the results folders
its runs left, the bundle copied over with nothing but its sh and tar, the run followed as it goes, and each
finished folder brought back and put in the results database before it is removed from the board."""

import gzip
import os
import shutil
import tarfile
import threading

from boards import incoming
from boards.ssh import SSH_FAILED, BoardError, Ssh, why
from shared import checkout
from shared.cli import ToolError
from shared.result_files import FILES
from store import database

OVER_SSH = checkout.path("board", "over-ssh")
WORK = "fir_benchmark"
# What the bundle's run writes beside the bundle, in KiB, with room to spare.
RUN_KIB = 4096
# over-ssh run's status where a run started earlier is still going.
BUSY = 3
PRINTING = threading.Lock()


def say(label, line):
    with PRINTING:
        print(f"[{label}] {line}", flush=True)


def unpacked_kib(bundle):
    with tarfile.open(bundle) as archive:
        return sum(member.size for member in archive) // 1024 + 1


class Board:
    """A board, its connection, and where its folders go here."""

    def __init__(self, destination, config, db_path):
        self.label, self.ssh, self.db_path = destination, Ssh(destination, config), db_path
        self.here = checkout.path("build", "boards", "".join(c if c.isalnum() or c in "._-" else "_"
                                                             for c in destination))
        self.added = []

    def over_ssh(self, *words, stdin=None, doing="reach it"):
        return self.ssh.run(["sh", f"{WORK}/over-ssh", *words], stdin=stdin, doing=doing).decode(errors="replace")

    def probe(self):
        """{machine, free (KiB or None), finished, unfinished, running} of the board, with over-ssh put there."""
        with open(OVER_SSH, "rb") as script:
            self.ssh.run(["sh", "-c", f"mkdir -p {WORK} && cat >{WORK}/over-ssh"], stdin=script.read(),
                         doing=f"write ~/{WORK}/over-ssh")
        found = {"machine": None, "free": None, "finished": [], "unfinished": [], "running": False}
        for line in self.over_ssh("probe", FILES["summary"], doing="look at it").splitlines():
            word, _, rest = line.partition(" ")
            if word in ("finished", "unfinished"):
                found[word].append(rest)
            elif word == "free":
                found["free"] = int(rest) if rest.isdigit() else None
            elif word == "machine":
                found["machine"] = rest
            elif word == "running":
                found["running"] = True
        return found

    def fetch(self, name):
        """A finished results folder brought here and added to the database, then removed from the board; it
        stays on the board where it does not come back whole."""
        data = self.ssh.run(["sh", f"{WORK}/over-ssh", "send", name], doing=f"send {name}")
        staging = os.path.join(self.here, f".incoming-{name}")
        shutil.rmtree(staging, ignore_errors=True)
        os.makedirs(staging)
        try:
            staged = incoming.unpacked(data, staging)
            if os.path.basename(staged) != name:
                raise ToolError(f"they hold {os.path.basename(staged)}, not {name}")
            run, kept = database.add(database.connect(self.db_path), staged, self.label, "scripts/board")
            folder = incoming.kept(staged, self.here)
        except (ToolError, OSError) as error:
            raise BoardError(f"{name} did not come back whole, and stays on the board: {error}") from error
        finally:
            shutil.rmtree(staging, ignore_errors=True)
        self.added.append(run)
        self.over_ssh("remove", name, doing=f"remove {name}, which is safely here")
        say(self.label, f"{name}: here in {os.path.relpath(folder)}, run {run}"
                        f"{' (in the database already)' if kept else ''}; removed from the board")

    def fetch_finished(self, found):
        for name in found["finished"]:
            self.fetch(name)
        for name in found["unfinished"] if not found["running"] else []:
            say(self.label, f"{name} on the board is unfinished (its run was cut short): left there")

    def copy(self, bundle, free):
        """The bundle unpacked on the board, room for it first checked where the board says how much it has."""
        need = unpacked_kib(bundle) + RUN_KIB
        if free is not None and free < need:
            raise BoardError(f"no room for the bundle: {need // 1024 + 1} MiB needed, {free // 1024} MiB free in "
                             f"~/{WORK}")
        with gzip.open(bundle) as archive:
            data = archive.read()
        name = os.path.basename(bundle)[:-len(".tar.gz")]
        try:
            self.over_ssh("receive", name, stdin=data, doing="unpack the bundle")
        except BoardError as error:
            if "No space left" in str(error):
                raise BoardError(f"no room for the bundle: {error}") from error
            raise
        return name

    def run(self, bundle, settings):
        """The bundle's run, its output shown as it comes; a run that fails or is cut off is one BoardError."""
        process = self.ssh.stream(["sh", f"{WORK}/over-ssh", "run", bundle, *settings])
        for line in process.stdout:
            say(self.label, line.rstrip("\n"))
        stderr = process.stderr.read()
        status = process.wait()
        if status == SSH_FAILED:
            raise BoardError(f"{why(stderr)}; the run goes on if the board does, and the next call fetches what it "
                             f"finishes")
        if status == BUSY:
            raise BoardError("a run started earlier is still going on the board: the next call fetches it")
        if status != 0:
            raise BoardError(f"the run failed on the board (status {status}); its output is in "
                             f"~/{WORK}/runs/run.log, and what it wrote stays there")
