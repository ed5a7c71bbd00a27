#!/usr/bin/env python3
"""scripts/board: the bundle on boards reached over SSH, several at once. For each board it finds the
architecture, makes the matching bundle where needed, fetches the finished results folders that earlier
runs left there, copies the bundle over with nothing but the board's sh and tar, runs it with this
shell's FIR_CPU, FIR_REPETITIONS and FIR_SWEEP, shows its progress under the board's name, and brings its
results folder back into the results database. It ends with the cross-board table of the runs it
brought back. Whatever fails on one board is one line, and the others go on.

    board.py [--ssh-config FILE] [--target armv7|aarch64] [--fetch] [--db PATH] DESTINATION...

DESTINATION is what ssh takes: user@host, or a Host of the ssh config. --target chooses the bundle for
every board (armv7 for a 64-bit kernel under a 32-bit userland, say); --fetch fetches, and runs nothing.
"""

import argparse
import concurrent.futures
import os
import platform
import re
import subprocess
import sys

from boards.remote import Board, say
from boards.ssh import BoardError
from shared import checkout
from shared.cli import Stopped, ToolError, entry
from store import database
from store.table import table_lines
from store.views import Filters, rows

# uname -m's words for the machines a bundle is made for, by the target that makes it; x86-64 is a target
# only here on x86-64 (the host preset).
MACHINES = {"armv7l": "armv7", "armv8l": "armv7", "aarch64": "aarch64", "arm64": "aarch64"}
SETTINGS = ("FIR_CPU", "FIR_REPETITIONS", "FIR_SWEEP")


def target_of(machine, forced):
    if forced:
        return forced
    if machine in MACHINES:
        return MACHINES[machine]
    if machine == "x86_64" and platform.machine() == "x86_64":
        return "host"
    raise BoardError(f"no bundle for its machine, {machine} (uname -m): the bundle needs ARMv7-A with NEON or "
                     f"AArch64" + (", or x86-64 here" if platform.machine() == "x86_64" else ""))


def settings():
    """This shell's FIR_ settings for the bundle's run, as NAME=VALUE; an empty one is unset."""
    found = []
    for name in SETTINGS:
        value = os.environ.get(name, "")
        if value and not re.fullmatch(r"[\w.-]+", value):
            raise ToolError(f"{name}={value!r}: not a setting the bundle's run takes")
        if value:
            found.append(f"{name}={value}")
    return found


def make_bundle(target):
    """The bundle for target, made with the scripts' own steps where needed: its path."""
    made = subprocess.run(["bash", "-c", '. scripts/common.sh && preset=$(preset_for "$1") && [ -n "$preset" ] && '
                           'ensure_packages "$preset" && build_preset "$preset" && make_bundle "$preset"', "_", target],
                          cwd=checkout.ROOT, capture_output=True, text=True, check=False)
    if made.returncode != 0:
        raise BoardError(f"no {target} bundle can be made here: {' '.join(made.stderr.split())[-300:]}")
    return made.stdout.split()[-1]


def probed(board, target, fetch_only):
    """What the board is, and the target of its bundle (None to fetch alone); or the line that says why it
    cannot be had."""
    try:
        found = board.probe()
        return found, None if fetch_only else target_of(found["machine"], target), None
    except BoardError as error:
        return None, None, str(error)


def on_board(board, found, bundle, settings_given):
    """One board's part once it is known: what its earlier runs finished fetched, then, given a bundle,
    the bundle run and its results fetched; None, or the line that says what went wrong."""
    try:
        board.fetch_finished(found)
        if bundle is None:
            return None
        if found["running"]:
            raise BoardError("a run started earlier is still going on the board: the next call fetches it")
        name = board.copy(bundle, found["free"])
        say(board.label, f"running {name} ...")
        board.run(name, settings_given)
        board.fetch_finished(board.probe())
    except BoardError as error:
        return str(error)
    return None


def bundles_for(targets):
    """The bundle of each target, each made once: {target: path, or the BoardError of why not}."""
    made = {}
    for target in sorted(targets):
        print(f"making the {target} bundle where needed ...", flush=True)
        try:
            made[target] = make_bundle(target)
        except BoardError as error:
            made[target] = error
    return made


def in_parallel(boards, work):
    with concurrent.futures.ThreadPoolExecutor(len(boards)) as pool:
        return list(pool.map(work, boards))


def run(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("destination", nargs="+")
    parser.add_argument("--ssh-config", help="ssh's config file (default the user's own)")
    parser.add_argument("--target", choices=sorted(set(MACHINES.values())), help="the bundle for every board")
    parser.add_argument("--fetch", action="store_true", help="fetch finished results folders, run nothing")
    parser.add_argument("--db", default=database.DEFAULT, help="the results database (default results.sqlite here)")
    args = parser.parse_args(argv)
    if args.ssh_config and not os.path.isfile(args.ssh_config):
        raise ToolError(f"--ssh-config {args.ssh_config}: no such file")
    settings_given = settings()
    database.connect(args.db).close()
    boards = [Board(destination, args.ssh_config, args.db) for destination in dict.fromkeys(args.destination)]
    known = in_parallel(boards, lambda board: probed(board, args.target, args.fetch))
    bundles = bundles_for({target for _, target, _ in known if target})

    def part(board):
        found, target, problem = known[boards.index(board)]
        if problem:
            return problem
        bundle = bundles.get(target)
        if isinstance(bundle, BoardError):
            return str(bundle)
        return on_board(board, found, bundle, settings_given)

    try:
        problems = in_parallel(boards, part)
    except KeyboardInterrupt as error:
        raise Stopped("interrupted: each board's run goes on where it was started, and scripts/board --fetch "
                      "brings back what it finishes", 130) from error
    print()
    for board, problem in zip(boards, problems):
        count = len(board.added)
        brought = f"{count} results folder{'' if count == 1 else 's'} brought back"
        print(f"{board.label}: {problem or brought}")
    added = [run_id for board in boards for run_id in board.added]
    if added:
        print()
        print("\n".join(table_lines(rows(database.connect(args.db), Filters(runs=added)))))
        print(f"\nEvery run in {os.path.relpath(args.db)}: scripts/results table")
    return 1 if any(problems) else 0


if __name__ == "__main__":
    sys.exit(entry("board", run, sys.argv[1:]))
