"""What the docs' regions are written from, shared by their kinds (figures.py, samples.py, and quote.py's
table of them): the records in tests/data, the bench's instruction mixes, the code's plain constants, and
a record quoted whole or in part. A region's name is its kind and its arguments, split by colons:
`mix:ARMv7:fir:total` is the recorded mix's total of fir on ARMv7, `quote:tests/data/x.txt:1-9` the first
nine lines of a record."""

import json
import re

from shared import checkout
from shared.cli import ToolError

DATA = checkout.path("tests", "data")
ISAS = {"x86-64": "host", "ARMv7": "armv7", "AArch64": "aarch64"}


def fenced(lines):
    return "```\n" + "\n".join(lines).rstrip("\n") + "\n```"


def record(path):
    with open(checkout.path(path), encoding="utf-8") as source:
        return source.read()


def mixes():
    return [json.loads(record(f"tests/data/bench/mix-{preset}.json")) for preset in ISAS.values()]


def mix(isa):
    return next(one for one in mixes() if one["isa"] == isa)["per_mac"]


def figure(kernel_figures, field):
    return kernel_figures["total"] if field == "total" else kernel_figures["categories"][field]


def ratio_text(value):
    return f"{value:.2f}" if value < 10 else f"{value:.0f}"


def cxx_constant(path, name):
    """A constant of a header of ours whose value is a plain number: `inline constexpr T name = 16;`."""
    match = re.search(rf"\b{name} = ([\d.]+);", record(path))
    if not match:
        raise ToolError(f"{path} has no constant {name} of a plain number")
    return float(match.group(1))


def percent(fraction):
    return f"{100 * fraction:g}%"


def quote(path, ranges=None):
    """A record's lines, all or the ranges given (1-11,40-52), with … where lines are left out."""
    lines = record(path).rstrip("\n").splitlines()
    if not ranges:
        return fenced(lines)
    shown, last = [], 0
    for piece in ranges.split(","):
        first, _, end = piece.partition("-")
        first, end = int(first), int(end or first)
        if first > last + 1:
            shown.append("…")
        shown += lines[first - 1:end]
        last = end
    if last < len(lines):
        shown.append("…")
    return fenced(shown)
