"""ssh_test.py BUILD...: scripts/board against emulated boards that serve SSH (tools/boards/ssh_board.py),
one for the first core of each build's target (an ARMv7 and an AArch64 build, where this machine makes
both): Debian's own kernels under qemu-system, each with a port of this machine forwarded to its SSH,
reached through an ssh config of the test's own. It checks, each in turn:
- every board at once, beside a login the board refuses, a host nothing answers on and a board with no
  room for the bundle: each run comes back and fills a row of the database and of the table, and each bad
  case is one line;
- the connection cut mid-run: one line, the database unchanged, and the run that went on on the board
  fetched by the next call;
- the board killed mid-run: one line, and the database unchanged.
Each board's console is kept in the scratch folder, and shown when a check fails."""

import contextlib
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from boards import cores  # noqa: E402
from shared import build_description  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Fleet:
    def __init__(self, work, builds):
        self.work, self.boards, self.ports = work, {}, {}
        # Each board: (name, build, room); the last has no room for the bundle.
        isas = [build_description.load(build)["isa"] for build in builds]
        self.all = [(cores.cores_of(isa)[0], build, "512m") for isa, build in zip(isas, builds)]
        self.all.append(("tiny", builds[0], "4m"))
        self.isas = {name: isa for (name, _, _), isa in zip(self.all, isas)}
        self.key = os.path.join(work, "key")
        for key in (self.key, os.path.join(work, "stranger")):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        self.config = os.path.join(work, "config")
        self.db = os.path.join(work, "results.sqlite")
        for name, _, _ in self.all:
            self.ports[name] = free_port()
        hosts = [(name, self.ports[name], self.key) for name, _, _ in self.all]
        hosts += [("stranger", self.ports[self.all[0][0]], os.path.join(work, "stranger")),
                  ("nowhere", free_port(), self.key)]
        with open(self.config, "w", encoding="utf-8") as config:
            for name, port, key in hosts:
                config.write(f"Host {name}\n  HostName 127.0.0.1\n  Port {port}\n  User root\n  IdentityFile {key}\n"
                             "  IdentitiesOnly yes\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n"
                             "  LogLevel ERROR\n")

    def boot(self, name):
        _, build, room = next(board for board in self.all if board[0] == name)
        console = open(os.path.join(self.work, f"{name}.console"), "a", encoding="utf-8")
        self.boards[name] = subprocess.Popen(
            [sys.executable, "-m", "boards.ssh_board", build, "--port", str(self.ports[name]), "--key",
             self.key + ".pub", "--name", name, "--room", room], stdout=console, stderr=subprocess.STDOUT,
            start_new_session=True)

    def kill(self, name):
        os.killpg(self.boards.pop(name).pid, signal.SIGKILL)

    def ssh(self, name, command):
        return subprocess.run(["ssh", "-F", self.config, "-o", "BatchMode=yes", "-o", "ConnectTimeout=5", name,
                               command], capture_output=True, text=True, check=False)

    def wait_for(self, name, seconds=180):
        for _ in range(seconds):
            if self.ssh(name, "true").returncode == 0:
                return
            time.sleep(1)
        raise AssertionError(f"the board {name} did not serve SSH within {seconds} s")

    def board(self, *arguments, **environment):
        return subprocess.Popen([os.path.join(ROOT, "scripts", "board"), "--ssh-config", self.config, "--db", self.db,
                                 *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                env=dict(os.environ, FIR_REPETITIONS="2", **environment), start_new_session=True)

    def runs(self):
        with contextlib.closing(sqlite3.connect(self.db)) as db:
            return db.execute("SELECT label, isa FROM runs ORDER BY id").fetchall()


def kill_matching(pattern):
    """Every process of this machine whose command line matches pattern, killed: a connection cut."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                words = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if re.search(pattern, words):
            os.kill(int(pid), signal.SIGTERM)


def finished(process):
    out, _ = process.communicate(timeout=900)
    print(out)
    return process.returncode, out


def cut_when_running(process, cut):
    """The output of scripts/board, cut() called once its run is timing the kernels."""
    lines = []
    for line in process.stdout:
        lines.append(line)
        if "Timing the kernels" in line:
            cut()
            break
    rest, _ = process.communicate(timeout=300)
    print("".join(lines) + rest)
    return process.returncode, "".join(lines) + rest


def check(fleet):
    problems = []

    def expect(condition, problem):
        if not condition:
            problems.append(problem)

    names = [name for name, _, _ in fleet.all[:-1]]
    first, last = names[0], names[-1]
    status, out = finished(fleet.board(*names, "stranger", "nowhere", "tiny"))
    expect(status == 1, f"scripts/board ended {status} with three bad boards, not 1")
    for line in [f"{name}: 1 results folder brought back" for name in names] + [
            "stranger: refused the login: root@127.0.0.1: Permission denied (publickey)",
            "nowhere: cannot be reached: ssh: connect to host 127.0.0.1 port ", "tiny: no room for the bundle: "]:
        expect(f"\n{line}" in out, f"no line {line!r}")
    expected = sorted((name, fleet.isas[name]) for name in names)
    expect(sorted(fleet.runs()) == expected, f"the database holds {fleet.runs()}, not {expected}")
    table = [line for line in out.splitlines() if line.startswith(tuple(f"{name}, " for name in names))]
    expect(len(table) == len(names), f"the table's rows: {table}")
    page = os.path.join(fleet.work, "page.html")
    subprocess.run([os.path.join(ROOT, "scripts", "results"), "page", page, "--db", fleet.db], check=True,
                   capture_output=True)
    with open(page, encoding="utf-8") as shown:
        text = shown.read()
    expect(all(f'data-board="{name}"' in text for name in names), "the page lacks a board's row")

    # The connection cut, the board left running: the next call fetches what its run finished.
    kept = len(fleet.runs())
    status, out = cut_when_running(fleet.board(first), lambda: kill_matching(
        f"ssh -F {fleet.config} .* {first} -- sh fir_benchmark/over-ssh run"))
    expect(status == 1 and f"\n{first}: the connection dropped" in out, f"the cut connection: {status}")
    expect(len(fleet.runs()) == kept, f"a cut connection changed the database: {fleet.runs()}")
    for _ in range(300):
        said = fleet.ssh(first, "sh fir_benchmark/over-ssh probe summary.txt").stdout
        if any(line.startswith("finished ") for line in said.splitlines()):
            break
        time.sleep(1)
    status, out = finished(fleet.board("--fetch", first))
    expect(status == 0 and f"\n{first}: 1 results folder brought back" in out, "the next call did not fetch the run")
    expect(len(fleet.runs()) == kept + 1, f"after the fetch the database holds {fleet.runs()}")

    # The board killed mid-run.
    status, out = cut_when_running(fleet.board(last), lambda: fleet.kill(last))
    expect(status == 1 and f"\n{last}: the connection dropped" in out, f"the killed board: {status}")
    expect(len(fleet.runs()) == kept + 1, f"a killed board changed the database: {fleet.runs()}")
    return problems


def main(*builds):
    os.environ["PYTHONPATH"] = os.path.join(ROOT, "tools")
    with tempfile.TemporaryDirectory() as work:
        fleet = Fleet(work, [os.path.abspath(build) for build in builds])
        try:
            for name, _, _ in fleet.all:
                fleet.boot(name)
            for name, _, _ in fleet.all:
                fleet.wait_for(name)
            problems = check(fleet)
        finally:
            for name in list(fleet.boards):
                fleet.kill(name)
        if problems:
            for name, _, _ in fleet.all:
                with open(os.path.join(work, f"{name}.console"), encoding="utf-8", errors="replace") as console:
                    print(f"--- {name}'s console\n{console.read()[-3000:]}")
    return "\n".join(problems) or None


if __name__ == "__main__":
    problem = main(*sys.argv[1:])
    if problem:
        print(problem)
        sys.exit(1)
    print("ssh_test: every check held")
