"""What an emulated board's console carries back (board/vm-init): its lines, shown as they come, and cut out
of them, between lines that start with the run's own mark, the run's exit status and its results folder as
a gzipped tar in base64, checked whole: its closing line, strict base64, and the size and SHA-256 the board
sent. A console line that the kernel prints into the block is shown, not decoded. And the board run with
its console read so: stopped when it overruns, or when it hangs once its results are in."""

import base64
import binascii
import hashlib
import re
import subprocess
import threading

from shared.cli import ToolError

BASE64_LINE = re.compile(r"[A-Za-z0-9+/]+={0,2}")
# How long a board that sent its results may take to power off before it is stopped.
GRACE = 10


class Console:
    """The board's console, a line at a time; finished once the run's results, or the word that it made
    none, are in."""

    def __init__(self, mark):
        self.mark, self.status, self.sent, self.encoded = mark, None, None, []
        self.state = "console"

    @property
    def finished(self):
        return self.state in ("none", "end")

    def feed(self, line):
        """One line of the console: what of it to show, or None."""
        line = line.rstrip("\r\n")
        at = line.find(self.mark)
        if at < 0:
            if self.state == "block" and BASE64_LINE.fullmatch(line):
                self.encoded.append(line)
                return None
            return line
        before, words = line[:at], line[at + len(self.mark):].split()
        self.marked(words)
        return before or None

    def marked(self, words):
        if words[:1] == ["status"] and len(words) == 2 and words[1].isdigit():
            self.status, self.state = int(words[1]), "status"
        elif words[:1] == ["results"] and len(words) == 3 and words[1].isdigit() and self.state == "status":
            self.sent, self.state = (int(words[1]), words[2]), "block"
        elif words in (["end"], ["none"]) and self.state == ("block" if words == ["end"] else "status"):
            self.state = words[0]
        else:
            raise ToolError(f"the board's console has a marked line out of order: {' '.join(words)!r}")

    def results(self):
        """The results folder's gzipped tar, None where the run made none; a block cut short or spoilt is
        one ToolError that says so."""
        if self.state == "none" or self.status is None:
            return None
        if self.state != "end":
            raise ToolError(f"the results from the board were cut short: {len(self.encoded)} lines of base64 and no "
                            f"closing line")
        try:
            data = base64.b64decode("".join(self.encoded), validate=True)
        except binascii.Error as error:
            raise ToolError(f"the results from the board are not base64 ({error})") from error
        size, digest = self.sent
        if len(data) != size or hashlib.sha256(data).hexdigest() != digest:
            raise ToolError(f"the results from the board are damaged: {len(data)} bytes with SHA-256 "
                            f"{hashlib.sha256(data).hexdigest()[:16]}..., where the board sent {size} with "
                            f"{digest[:16]}...")
        return data


def boot(command, timeout, mark):
    """Runs the board, its console shown as it comes, less the results block that mark frames: the run's
    exit status (None where the board did not get that far) and the results as a gzipped tar's bytes (None
    where it made none). A board that hangs once its results are in is stopped, and its results kept."""
    board = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, errors="replace")
    timer = threading.Timer(timeout, board.kill)
    timer.start()
    console = Console(mark)
    try:
        for line in board.stdout:
            shown = console.feed(line)
            if shown is not None:
                print(shown, flush=True)
            if console.finished:
                break
        try:
            board.wait(GRACE if console.finished else None)
        except subprocess.TimeoutExpired:
            board.kill()
            board.wait()
    finally:
        timer.cancel()
        if board.poll() is None:
            board.kill()
            board.wait()
    if not console.finished and board.returncode == -9:
        raise ToolError(f"the emulated board did not finish within {timeout} s (--timeout allows more)")
    return console.status, console.results()
