"""A board reached over SSH, through the user's own OpenSSH client with its config and keys: never a
password prompt (BatchMode), a dead connection noticed within a minute (ServerAlive), and each way it can
fail said in one line."""

import shlex
import subprocess

from shared.cli import ToolError

OPTIONS = ["-o", "BatchMode=yes", "-o", "ConnectTimeout=20", "-o", "ServerAliveInterval=15", "-o",
           "ServerAliveCountMax=4"]
# ssh's own exit status when it, not the remote command, failed.
SSH_FAILED = 255

# What ssh's last words mean, by a phrase in them, in order.
MEANINGS = (
    ("Permission denied", "refused the login"),
    ("Host key verification failed", "its host key is not the one known here (or none is: ssh to it once by hand "
                                     "to accept it)"),
    ("Could not resolve hostname", "cannot be reached"),
    ("Connection refused", "cannot be reached"),
    ("No route to host", "cannot be reached"),
    ("Network is unreachable", "cannot be reached"),
    ("Connection timed out", "cannot be reached"),
    ("Operation timed out", "cannot be reached"),
)


class BoardError(ToolError):
    """What went wrong with one board, in one line; the other boards go on."""


def why(stderr):
    """ssh's failure in one line: what it means, and ssh's own words."""
    said = [line.strip() for line in stderr.splitlines() if line.strip()]
    last = said[-1].rstrip(".") if said else "ssh said nothing"
    for phrase, meaning in MEANINGS:
        if any(phrase in line for line in said):
            return f"{meaning}: {next(line for line in said if phrase in line).rstrip('.')}"
    return f"the connection dropped: {last}"


class Ssh:
    """ssh to one destination, as the user's ssh config (or the one given) says to reach it."""

    def __init__(self, destination, config=None):
        self.destination = destination
        self.base = ["ssh"] + (["-F", config] if config else []) + OPTIONS + [destination]

    def command(self, words):
        """ssh's words that run words, one remote command, quoted for the board's shell."""
        return self.base + ["--", " ".join(shlex.quote(word) for word in words)]

    def run(self, words, stdin=None, doing="reach it"):
        """words run on the board, their output as bytes; a failure is a BoardError that says what it was
        doing."""
        try:
            done = subprocess.run(self.command(words), input=stdin, capture_output=True, check=False, timeout=900)
        except FileNotFoundError as error:
            raise BoardError("ssh is not installed (Debian's openssh-client)") from error
        except subprocess.TimeoutExpired as error:
            raise BoardError(f"no answer in 15 minutes while trying to {doing}") from error
        if done.returncode == SSH_FAILED:
            raise BoardError(why(done.stderr.decode(errors="replace")))
        if done.returncode != 0:
            said = " ".join(done.stderr.decode(errors="replace").split())[-300:]
            raise BoardError(f"could not {doing}: {said or f'status {done.returncode}'}")
        return done.stdout

    def stream(self, words):
        """words started on the board with their output to read as it comes: the process."""
        return subprocess.Popen(self.command(words), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, errors="replace")
