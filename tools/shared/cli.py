"""The tools' edges: how an entry ends on bad input (one line that names the file and what is wrong,
exit status 1, no traceback), and how a tool runs another program, whose own error is shown when it fails."""

import argparse
import subprocess
import sys


class ToolError(Exception):
    """A fault in what a tool was given or ran, in one line: the file or command, then what is wrong."""


class Stopped(ToolError):
    """Work cut short (interrupted, or a program or the disk failed), in one line that says what was kept
    and how to go on; status is the exit status: 130 for an interrupt, as a shell gives it."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def entry(name, main, argv):
    """main(argv)'s exit status; a ToolError becomes one line on standard error and status 1."""
    try:
        return main(argv)
    except ToolError as error:
        print(f"{name}: {error}", file=sys.stderr)
        return getattr(error, "status", 1)


def with_commands(doc):
    """An entry's parser, described by its docstring's first line, and the holder of its subcommands."""
    top = argparse.ArgumentParser(description=doc.splitlines()[0])
    return top, top.add_subparsers(dest="command", required=True)


def bounded(kind, low, high):
    """An argparse type: a number of kind from low to high."""
    def parse(text):
        value = kind(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is not from {low} to {high}")
        return value
    # argparse names a value it cannot read by its type's name: "invalid float value".
    parse.__name__ = kind.__name__
    return parse


def run_tool(command, text=True, **kwargs):
    """Runs command, capturing its output (text, or bytes); a missing program or a failure is a ToolError
    with its own words."""
    try:
        return subprocess.run(command, check=True, capture_output=True, text=text, **kwargs)
    except FileNotFoundError as error:
        raise ToolError(f"{command[0]} is not installed") from error
    except subprocess.CalledProcessError as error:
        stderr = error.stderr if text else error.stderr.decode(errors="replace")
        said = " ".join(stderr.strip().splitlines()[-3:])[-300:]
        raise ToolError(f"{' '.join(command)} failed: {said}") from error
