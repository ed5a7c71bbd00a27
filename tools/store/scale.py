"""The results database at the size of a lab or a course: results folders made from the recorded ones
(tests/data) with varied boards, added to a fresh database one by one, then the cross-board table and page
built from all of them; at 100 folders and at 1,000, to show how each time grows. A benchmark, not a test:
its seconds are this machine's, under whatever else it runs.

    scale.py [--record FILE]    the table of times; FILE keeps them as JSON, for docs/performance.md
"""

import argparse
import datetime
import json
import os
import shutil
import sys
import tempfile
import time

from shared import checkout
from shared.cli import ToolError
from shared.result_files import FILES
from store import database
from report.chart import pyplot
from store.page import page_html
from store.table import table_lines
from store.views import rows

RECORDED = [checkout.path("tests", "data", name) for name in ("board", "board-a9", "board-big-little")]
# The cores the made boards name, with their part numbers.
CORES = (("Cortex-A7", "0xc07"), ("Cortex-A53", "0xd03"), ("Cortex-A72", "0xd08"), ("Cortex-A15", "0xc0f"),
         ("Cortex-A9", "0xc09"), ("Cortex-A76", "0xd0b"))
COUNTS = (100, 1000)


def rewrite(path, change):
    with open(path, encoding="utf-8") as source:
        report = json.load(source)
    change(report)
    with open(path, "w", encoding="utf-8") as sink:
        json.dump(report, sink)


def made_folder(work, n):
    """The n-th made results folder: a recorded one, on a board of its own, with its own core, day and
    times, so that every folder is a run of its own."""
    folder = os.path.join(work, f"results-board{n:04}-2026-11-{1 + n % 28:02}")
    shutil.copytree(RECORDED[n % len(RECORDED)], folder)
    core, part = CORES[n // len(RECORDED) % len(CORES)]
    day = (datetime.date(2026, 11, 1) + datetime.timedelta(days=n % 28)).isoformat()
    factor = 1 + (n % 97) / 100

    def timings(report):
        report["context"]["date"] = f"{day}T12:00:00+00:00"
        for result in report["benchmarks"]:
            result["real_time"] *= factor

    for root, _, names in os.walk(folder):
        if FILES["machine"] in names:
            rewrite(os.path.join(root, FILES["machine"]), lambda machine: machine.update(core=core, part=part,
                                                                                          host=f"board{n:04}"))
        for role in ("timings", "timings_o2"):
            if FILES[role] in names:
                rewrite(os.path.join(root, FILES[role]), timings)
    return folder


def measured(work, folders):
    """Seconds to add the folders to a fresh database, and to build the table and the page from it."""
    path = os.path.join(work, f"results-{len(folders)}.sqlite")
    db = database.connect(path)
    start = time.perf_counter()
    for folder in folders:
        database.add(db, folder)
    added = time.perf_counter()
    found = rows(db)
    table_lines(found)
    tabled = time.perf_counter()
    page = page_html(rows(db), "scale", "made folders")
    paged = time.perf_counter()
    return {"folders": len(folders), "rows": len(found), "add_s": added - start, "table_s": tabled - added,
            "page_s": paged - tabled, "page_bytes": len(page.encode())}


def scale_lines(record):
    first, last = record["sizes"][0], record["sizes"][-1]
    grown = last["folders"] / first["folders"]
    lines = [f"{'folders':>8} {'rows':>6} {'add s':>8} {'table s':>8} {'page s':>8} {'page KiB':>9}"]
    lines += [f"{size['folders']:8} {size['rows']:6} {size['add_s']:8.2f} {size['table_s']:8.2f} {size['page_s']:8.2f} "
              f"{size['page_bytes'] // 1024:9}" for size in record["sizes"]]
    lines.append(f"From {first['folders']} to {last['folders']} folders ({grown:.0f} times as many): adding takes "
                 f"{last['add_s'] / first['add_s']:.1f} times as long, the table {last['table_s'] / first['table_s']:.1f}, "
                 f"the page {last['page_s'] / first['page_s']:.1f}.")
    return lines


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--record", help="where the times go, as JSON")
    args = parser.parse_args(argv)
    try:
        # Opened first, so that a record that cannot be written costs no measuring.
        out = open(args.record, "w", encoding="utf-8") if args.record else None
    except OSError as error:
        raise ToolError(f"{args.record}: cannot be written: {error.strerror}") from error
    # matplotlib's first import, a second or so, is no part of what a page costs.
    pyplot()
    with tempfile.TemporaryDirectory() as work:
        folders = [made_folder(work, n) for n in range(max(COUNTS))]
        record = {"machine": f"{os.cpu_count()} cores", "day": datetime.date.today().isoformat(),
                  "sizes": [measured(work, folders[:count]) for count in COUNTS]}
    print("\n".join(scale_lines(record)))
    if out:
        with out:
            json.dump(record, out, indent=1)
            out.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
