"""The results database and its views: folders added once, a damaged or partial one refused with the
database as it was, the schema's versions, folders of older bundles and of two kinds of core, the filters,
n/a where nothing was measured, and the page as a real headless browser shows it."""

import contextlib
import importlib.util
import io
import os
import shutil
import sqlite3
import tempfile
import unittest

from recorded import DATA
from shared.cli import ToolError
from store import database, results, views
from store.table import table_lines

A9, PC, TWO_KINDS = (os.path.join(DATA, name) for name in ("board-a9", "board", "board-big-little"))


def dump(path):
    """Everything a database holds, schema and rows, as text."""
    with contextlib.closing(sqlite3.connect(path)) as db:
        return "\n".join(db.iterdump()) + f"\nversion {db.execute('PRAGMA user_version').fetchone()[0]}"


class Store(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.work = scratch.name
        self.path = os.path.join(self.work, "results.sqlite")

    def results(self, *argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = results.main(list(argv) + ["--db", self.path])
        return status, out.getvalue(), err.getvalue()

    def copy(self, folder, name):
        target = os.path.join(self.work, name)
        shutil.copytree(folder, target)
        return target

    def test_folders_old_and_new_added_once_with_n_a_where_nothing_counted(self):
        status, said, _ = self.results("add", A9, PC, TWO_KINDS, self.copy(A9, "the-same-a9-elsewhere"))
        self.assertEqual(status, 0)
        self.assertEqual(said.count("added"), 3)
        self.assertIn("the-same-a9-elsewhere: already in the database (run 1)", said)
        found = views.rows(database.connect(self.path))
        self.assertEqual([(row["label"], row["cpu"]) for row in found],
                         [("board", 1), ("board-a9", 0), ("board-big-little", 0),
                          ("board-big-little", 1)])
        a9 = found[1]["kernels"]
        self.assertEqual((round(a9["fir"]["ms_o0"], 2), a9["fir_neon"]["cycles_per_mac"], a9["fir_neon"]["ipc"]),
                         (200.34, None, None))
        self.assertAlmostEqual(a9["fir_opt"]["speedup_o2"], 39.47 / 33.26, places=2)
        self.assertIsNone(found[0]["kernels"]["fir_opt"]["ms_o2"])
        self.assertEqual(found[1]["flags"], ["user + kernel"])
        lines = table_lines(found)
        a9_line = next(line for line in lines if line.startswith("board-a9"))
        self.assertRegex(a9_line, r" 200\.34 +39\.47 +n/a +n/a +n/a +n/a +1\.14x +1\.19x ")
        self.assertNotRegex(" ".join(lines), r" 0\.00 | 0 ")

    def test_a_damaged_or_partial_folder_is_refused_and_the_database_kept_as_it_was(self):
        self.results("add", A9)
        before = dump(self.path)

        def spoil(folder, name, text):
            with open(os.path.join(folder, name), "w", encoding="utf-8") as spoilt:
                spoilt.write(text)

        cases = [
            (PC, lambda f: spoil(f, "counters.json", '{"isa": "x86-64"'), "counters.json: not JSON"),
            (PC, lambda f: os.remove(os.path.join(f, "machine.json")), "machine.json: missing"),
            (TWO_KINDS, lambda f: os.remove(os.path.join(f, "summary.txt")), "unfinished, no summary.txt"),
            (TWO_KINDS, lambda f: os.remove(os.path.join(f, "cpu1", "counters.json")), "cpu1/counters.json: missing"),
            (TWO_KINDS, lambda f: spoil(f, os.path.join("cpu1", "timings.json"), '{"benchmarks": []}'),
             "cpu1/timings.json: not what the board's run writes"),
        ]
        for n, (source, damage, problem) in enumerate(cases):
            with self.subTest(problem=problem):
                folder = self.copy(source, f"spoilt-{n}")
                damage(folder)
                status, said, err = self.results("add", folder)
                self.assertEqual((status, said), (1, ""))
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn("refused, the database unchanged", err)
                self.assertIn(problem, err)
                self.assertEqual(dump(self.path), before)

    def test_a_newer_schema_is_refused_and_an_older_one_upgraded_in_place(self):
        with contextlib.closing(sqlite3.connect(self.path)) as old:
            for statement in database.MIGRATIONS[0].split(";"):
                old.execute(statement)
            old.execute("INSERT INTO runs (digest, label, folder, kernel, isa, commit_id, modified, taken, added) "
                        "VALUES ('d', 'a board', 'results-x', '6.1', 'ARMv7', 'c0ffee', 0, '2026-01-02', 'then')")
            old.execute("PRAGMA user_version = 1")
            old.commit()
        upgraded = database.connect(self.path)
        self.assertEqual(upgraded.execute("PRAGMA user_version").fetchone()[0], database.VERSION)
        self.assertEqual(upgraded.execute("SELECT label, source FROM runs").fetchall(), [("a board", "by hand")])
        upgraded.execute(f"PRAGMA user_version = {database.VERSION + 1}")
        upgraded.close()
        status, _, err = self.results("table")
        self.assertEqual(status, 1)
        self.assertEqual(err, f"results: {self.path}: a results database of version {database.VERSION + 1}, newer "
                              f"than this checkout's {database.VERSION}: read it with a newer checkout, or give "
                              f"another --db\n")
        spoilt = os.path.join(self.work, "not-a-database")
        with open(spoilt, "w", encoding="utf-8") as text:
            text.write("x" * 200)
        with self.assertRaisesRegex(ToolError, "not-a-database: not a results database"):
            database.connect(spoilt)

    def test_filters_by_target_core_silicon_and_days(self):
        self.results("add", A9, PC, TWO_KINDS)
        db = database.connect(self.path)

        def labels(**given):
            return [(row["label"], row["cpu"]) for row in views.rows(db, views.Filters(**given))]

        self.assertEqual(labels(target="x86-64"), [("board", 1)])
        self.assertEqual(labels(core="Cortex-A9"), [("board-a9", 0)])
        self.assertEqual(labels(silicon=True), [("board", 1)])
        self.assertEqual(labels(since="2026-12-10"), [("board-big-little", 0),
                                                      ("board-big-little", 1)])
        self.assertEqual(labels(until="2026-12-09", target="ARMv7"), [("board-a9", 0)])
        self.assertEqual(table_lines(views.rows(db, views.Filters(core="Cortex-A53"))),
                         ["No run in the database matches."])
        # As the scripts name the target, too; a target that matches no instruction set is a mistake, not
        # an empty table.
        status, said, _ = self.results("table", "--target", "armv7")
        self.assertEqual((status, said.count(" ARMv7 "), said.count(" x86-64 ")), (0, 3, 0))
        with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
            self.results("table", "--target", "mips")
        status, _, err = self.results("page", os.path.join(self.work, "no-such-folder", "page.html"))
        self.assertEqual((status, err.count("\n")), (1, 1))
        self.assertIn("page.html: cannot be written: No such file or directory", err)

    @unittest.skipUnless(importlib.util.find_spec("selenium") and shutil.which("chromedriver"),
                         "selenium and chromium-driver are not installed")
    def test_the_page_in_a_headless_browser(self):
        """The page as Chromium shows it: every cell of the table read back is the database's figure, n/a
        where there is none, the emulated rows marked, the chart drawn, and nothing fetched from elsewhere."""
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By

        self.results("add", A9, PC, TWO_KINDS)
        page = os.path.join(self.work, "page.html")
        status, said, _ = self.results("page", page)
        self.assertEqual((status, said), (0, f"{page}: 4 rows\n"))
        with open(page, encoding="utf-8") as written:
            self.assertNotRegex(written.read(), r"\b(src|href)=\"(?!#)|url\((?!#)|@import")
        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     f"--user-data-dir={os.path.join(self.work, 'chromium')}"):
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.get(f"file://{page}")
        shown = {}
        for row in browser.find_elements(By.CSS_SELECTOR, "#runs tbody tr[data-board]"):
            for cell in row.find_elements(By.CSS_SELECTOR, "td.figure"):
                shown[(row.get_attribute("data-board"), int(row.get_attribute("data-cpu")), row.get_attribute("class"),
                       cell.get_attribute("data-kernel"), cell.get_attribute("data-figure"))] = cell.text
        expected = {}
        for row in views.rows(database.connect(self.path)):
            for kernel, figure, _ in views.columns(views.kernels_of([row])):
                value = row["kernels"][kernel][figure]
                text = "n/a" if value is None else ("{:.0f}" if figure == "mhz" else "{:.2f}").format(value) + \
                    ("x" if figure.startswith("speedup") else "")
                expected[(row["label"], row["cpu"], "emulated" if row["emulated"] else "silicon", kernel, figure)] = text
        self.assertEqual(shown, expected)
        self.assertEqual(shown[("board-a9", 0, "emulated", "fir_neon", "cycles_per_mac")], "n/a")
        self.assertGreater(len(browser.find_elements(By.CSS_SELECTOR, "svg path, svg rect")), 10)


if __name__ == "__main__":
    unittest.main()
