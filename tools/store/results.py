#!/usr/bin/env python3
"""scripts/results: the results database, and the cross-board table, chart and page over it.

    results.py add FOLDER... [--label NAME]   each results folder in the database, read and checked whole
                                               first; one it refuses is one line, and changes nothing
    results.py table [FILTERS]                 a row a board and kind of core
    results.py chart SVG [FILTERS]             each kernel's speed-up per board and kind of core
    results.py page HTML [FILTERS]             the table and the chart in one self-contained page
    results.py scale [--record FILE]           the database's own benchmark (scale.py)

FILTERS: --target ISA (or an Arm target: armv7, aarch64), --core CORE, --silicon (no emulated boards), --since DAY and --until DAY
(YYYY-MM-DD, the day each run was taken). --db PATH names the database (default results.sqlite in the
checkout).
"""

import argparse
import datetime
import os
import sys

from shared.cli import ToolError, entry, with_commands
from shared.instruction_sets import INSTRUCTION_SETS, TARGETS
from store import database, scale
from store.chart import chart_svg
from store.page import page_html
from store.table import table_lines
from store.views import Filters, rows


def day(text):
    return datetime.date.fromisoformat(text).isoformat()


def instruction_set(text):
    """--target: an instruction set as the table names it, or an Arm target as the scripts do."""
    isa = TARGETS.get(text, text)
    if isa not in INSTRUCTION_SETS:
        raise argparse.ArgumentTypeError(f"{text} is none of {', '.join(INSTRUCTION_SETS)}, {', '.join(TARGETS)}")
    return isa


def parser():
    top, commands = with_commands(__doc__)
    adding = commands.add_parser("add")
    adding.add_argument("folder", nargs="+")
    adding.add_argument("--label", help="the board's name in the table (default the folder's)")
    # How the folder came: scripts/board and scripts/vm say so; a user adds by hand.
    adding.add_argument("--source", default="by hand", help=argparse.SUPPRESS)
    views = [commands.add_parser("table")]
    for name in ("chart", "page"):
        views.append(commands.add_parser(name))
        views[-1].add_argument("out")
    for view in views:
        view.add_argument("--target", type=instruction_set, help="ARMv7 (or armv7), AArch64 (aarch64) or x86-64")
        view.add_argument("--core", help="a core as the table names it, such as Cortex-A72")
        view.add_argument("--silicon", action="store_true", help="real boards alone")
        view.add_argument("--since", type=day, help="runs taken on this day or later (YYYY-MM-DD)")
        view.add_argument("--until", type=day, help="runs taken on this day or earlier (YYYY-MM-DD)")
    for command in [adding] + views:
        command.add_argument("--db", default=database.DEFAULT, help="the database (default results.sqlite here)")
    return top


def add(db, folders, label, source):
    """Each folder added, or refused in one line; True where none was refused."""
    refused = False
    for folder in folders:
        try:
            run, kept = database.add(db, folder, label, source)
        except ToolError as error:
            print(f"results: {folder}: refused, the database unchanged: {error}", file=sys.stderr)
            refused = True
            continue
        print(f"{folder}: {'already in the database' if kept else 'added'} (run {run})")
    return not refused


def filters_said(args):
    said = [f"{name} {value}" for name, value in (("target", args.target), ("core", args.core),
                                                  ("since", args.since), ("until", args.until)) if value]
    return "Runs " + ("on silicon alone" if args.silicon else "on silicon and emulated boards") + \
        (f", {', '.join(said)}" if said else "") + f", from {os.path.basename(args.db)}."


def run(argv):
    if argv[:1] == ["scale"]:
        return scale.main(argv[1:])
    args = parser().parse_args(argv)
    db = database.connect(args.db)
    if args.command == "add":
        return 0 if add(db, args.folder, args.label, args.source) else 1
    found = rows(db, Filters(args.target, args.core, args.silicon, args.since, args.until))
    if args.command == "table":
        print("\n".join(table_lines(found)))
        return 0
    if args.command == "chart" and not found:
        raise ToolError("no run in the database matches: no chart to draw")
    title = "fir_benchmark's kernels across boards"
    text = chart_svg(found, title) if args.command == "chart" else page_html(found, title, filters_said(args))
    try:
        with open(args.out, "w", encoding="utf-8") as out:
            out.write(text)
    except OSError as error:
        raise ToolError(f"{args.out}: cannot be written: {error.strerror}") from error
    print(f"{args.out}: {len(found)} rows")
    return 0


def main(argv):
    return entry("results", run, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
