"""The results database: every results folder that reaches this machine, in SQLite, through Python's own
sqlite3. A run is a results folder, known by the SHA-256 of its files, so that adding one twice changes
nothing; each kind of core it measured is a row of kinds, and each kernel's figures there a row of
figures. A folder goes in whole in one transaction, or not at all. The schema carries its version
(SQLite's user_version): a database of a newer version is refused, an older one upgraded in place."""

import datetime
import hashlib
import os
import sqlite3

from shared import checkout
from shared.cli import ToolError
from store.rows import run_rows

# Kept in the checkout, beside build/ rather than in it, so that a clean build keeps the results.
DEFAULT = checkout.path("results.sqlite")

# MIGRATIONS[n] takes a database from version n to n + 1: a new file is version 0.
MIGRATIONS = [
    """CREATE TABLE runs (
        id INTEGER PRIMARY KEY,
        digest TEXT NOT NULL UNIQUE,
        label TEXT NOT NULL,
        folder TEXT NOT NULL,
        host TEXT,
        kernel TEXT NOT NULL,
        isa TEXT NOT NULL,
        emulated TEXT,
        commit_id TEXT NOT NULL,
        modified INTEGER NOT NULL,
        taken TEXT NOT NULL,
        added TEXT NOT NULL);
    CREATE TABLE kinds (
        id INTEGER PRIMARY KEY,
        run INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
        cpu INTEGER NOT NULL,
        core TEXT NOT NULL,
        part TEXT NOT NULL,
        pmu TEXT NOT NULL,
        governor TEXT,
        mhz_max REAL,
        throttled TEXT,
        clock_spread TEXT,
        scope TEXT);
    CREATE TABLE figures (
        kind INTEGER NOT NULL REFERENCES kinds (id) ON DELETE CASCADE,
        kernel TEXT NOT NULL,
        position INTEGER NOT NULL,
        ms_o0 REAL, spread_o0 REAL, speedup_o0 REAL,
        ms_o2 REAL, spread_o2 REAL, speedup_o2 REAL,
        instructions_per_mac REAL, cycles_per_mac REAL, ipc REAL, mhz REAL,
        PRIMARY KEY (kind, kernel))""",
    # How each run arrived (scripts/board, scripts/vm, or added by hand), and the date filter's index.
    """ALTER TABLE runs ADD COLUMN source TEXT NOT NULL DEFAULT 'by hand';
    CREATE INDEX runs_taken ON runs (taken)""",
]
VERSION = len(MIGRATIONS)


def connect(path=DEFAULT):
    """The database at path, made or upgraded to this version; one of a newer version is refused."""
    try:
        db = sqlite3.connect(path, isolation_level=None, timeout=60)
        db.execute("PRAGMA foreign_keys = ON")
        version = db.execute("PRAGMA user_version").fetchone()[0]
    except sqlite3.Error as error:
        raise ToolError(f"{path}: not a results database ({error})") from error
    if version > VERSION:
        db.close()
        raise ToolError(f"{path}: a results database of version {version}, newer than this checkout's {VERSION}: "
                        f"read it with a newer checkout, or give another --db")
    if version < VERSION:
        in_transaction(db, lambda: upgrade(db, version))
    return db


def upgrade(db, version):
    for step in MIGRATIONS[version:]:
        for statement in step.split(";"):
            db.execute(statement)
    db.execute(f"PRAGMA user_version = {VERSION}")


def in_transaction(db, work):
    """work() whole, or not at all."""
    db.execute("BEGIN IMMEDIATE")
    try:
        found = work()
    except BaseException:
        db.execute("ROLLBACK")
        raise
    db.execute("COMMIT")
    return found


def digest(folder):
    """The SHA-256 of every file in a results folder, by its path in the folder: the run's identity."""
    hashed = hashlib.sha256()
    for root, folders, names in os.walk(folder):
        folders.sort()
        for name in sorted(names):
            path = os.path.join(root, name)
            hashed.update(os.path.relpath(path, folder).encode() + b"\0")
            with open(path, "rb") as content:
                hashed.update(hashlib.sha256(content.read()).digest())
    return hashed.hexdigest()


def add(db, folder, label=None, source="by hand"):
    """A results folder in the database, read and checked in full first: its run's id, and whether it was
    there already."""
    run, kinds = run_rows(folder)
    run.update(digest=digest(folder), label=label or run["folder"], source=source,
               added=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M"))

    # Looked up inside the transaction: scripts/board adds several boards' folders at once.
    def once():
        kept = db.execute("SELECT id FROM runs WHERE digest = ?", (run["digest"],)).fetchone()
        return (kept[0], True) if kept else (insert(db, run, kinds), False)

    return in_transaction(db, once)


def insert(db, run, kinds):
    run_id = insert_row(db, "runs", run)
    for kind, figures in kinds:
        kind_id = insert_row(db, "kinds", dict(kind, run=run_id))
        for figure in figures:
            insert_row(db, "figures", dict(figure, kind=kind_id))
    return run_id


def insert_row(db, table, row):
    columns = ", ".join(row)
    return db.execute(f"INSERT INTO {table} ({columns}) VALUES ({', '.join('?' * len(row))})",
                      tuple(row.values())).lastrowid
