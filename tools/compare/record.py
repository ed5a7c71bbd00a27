"""The record of a comparison, kept as it is taken: a JSON Lines file whose first line holds both sides'
builds, the machine, the CPU and the kernels, and each further line one round, with each side's time per
call of every kernel. Each round is flushed to the disk as soon as it is measured, so that a comparison cut
short keeps every round it took, and the next call with the same two sides goes on from there."""

import json
import os

from shared.cli import ToolError
from shared.results import InputError, read_text

# What a record's first line says it is.
KIND = "fir_benchmark comparison"


def check_round(one, kernels):
    for name in ("A", "B"):
        if any(float(one[name][kernel]) <= 0 for kernel in kernels):
            raise ValueError(f"a time of {name} that is not positive")
    return one


def check_header(header):
    if header.get("record") != KIND:
        raise ValueError(f"not a record of {KIND}s")
    for name in ("A", "B"):
        build = header["sides"][name]["build"]
        str(build["commit"]), str(build["flags"]), bool(build["modified"])
    int(header["cpu"])
    list(header["kernels"])
    return header


def read_record(path):
    """The record at path: its first line's fields, with "rounds" the rounds, each checked. A last line cut
    short, as a kill while it was written leaves it, is not a round."""
    lines = read_text(path).splitlines()
    try:
        record = check_header(json.loads(lines[0]))
        rounds = []
        for number, line in enumerate(lines[1:], 2):
            try:
                rounds.append(check_round(json.loads(line), record["kernels"]))
            except json.JSONDecodeError:
                if number < len(lines):
                    raise
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise InputError(f"{path}: not a record of scripts/compare's rounds ({error!r})") from error
    return dict(record, rounds=rounds)


def same_sides(header, kept):
    """Whether a kept record's sides are these: the same builds, on the same CPU, of the same kernels."""
    def identity(record):
        return ({name: (side["path"], side["build"]["commit"], side["build"]["modified"], side["build"]["flags"])
                 for name, side in record["sides"].items()}, record["cpu"], record["kernels"])
    return identity(header) == identity(kept)


class Journal:
    """A record open for its next rounds: the rounds kept at path by an earlier call with the same sides,
    if any, and each new one written through at once."""

    def __init__(self, path, header):
        self.path, self.header, self.rounds = path, dict(header, record=KIND), []
        if os.path.exists(path):
            kept = read_record(path)
            if not same_sides(self.header, kept):
                raise ToolError(f"{path} holds rounds of other builds or another CPU: remove it, or give another "
                                f"--out")
            self.rounds = kept["rounds"]
        try:
            # Written anew beside it, then put in its place, so that a torn last line goes and a full disk
            # loses nothing kept.
            with open(path + ".new", "w", encoding="utf-8") as out:
                for line in [self.header] + self.rounds:
                    out.write(json.dumps(line) + "\n")
            os.replace(path + ".new", path)
            self.file = open(path, "a", encoding="utf-8")
        except OSError as error:
            raise ToolError(f"{path}: cannot be written: {error.strerror}") from error

    def add(self, one):
        self.file.write(json.dumps(one) + "\n")
        self.file.flush()
        os.fsync(self.file.fileno())
        self.rounds.append(one)

    def close(self):
        self.file.close()

    def record(self):
        return dict(self.header, rounds=self.rounds)
