"""scripts/run's and scripts/bench's tables and charts, and a board's block beside them, against runs recorded
in tests/data, and bad input ending in one line."""

import contextlib
import importlib.util
import io
import json
import os
import shutil
import tempfile
import unittest

from recorded import DATA, KERNELS, NAMES, bench_mixes, google_benchmark, recorded, recorded_json, svg_texts
from report import bench_report, board_block as boards, chart, figures, profiles, sweep, tables
from shared import results
from shared.board_folder import read_board
from shared.result_files import FILES


class Report(unittest.TestCase):
    def test_medians_speedups_and_noisy_marks(self):
        timings = results.read_timings(google_benchmark((0.01, 0.02, 0.073)))
        self.assertEqual((timings["outputs"], timings["taps"], timings["repetitions"]), (100064, 64, 5))
        self.assertEqual(figures.speedup(timings, "fir_neon"), 4.0)
        table = tables.timings_table(timings)
        self.assertFalse(table[1].endswith("~"), table[1])
        self.assertFalse(table[2].endswith("~"), table[2])
        self.assertTrue(table[3].endswith("~"), table[3])
        # A noisy fir makes every speed-up over it noisy, but not the other kernels' times.
        timings = results.read_timings(google_benchmark((0.06, 0.01, 0.01)))
        table = tables.timings_table(timings)
        self.assertEqual([line.count("~") for line in table[1:4]], [1, 1, 1])
        self.assertTrue(all(line.endswith("~") for line in table[2:4]))

    def test_gprof_table_of_a_recorded_run(self):
        def profile(flat):
            return tables.profile_table(figures.profile_figures(profiles.parse_gprof_flat(flat), NAMES))

        flat = recorded("gprof-flat-profile.txt")
        self.assertEqual(profile(flat), [
            "  kernel      self s  calls   share  speed vs fir",
            "  fir           0.03      1   50.0%         1.00x",
            "  fir_opt       0.02      1   33.3%         1.50x",
            "  fir_neon      0.01      1   16.7%         3.00x",
        ])
        # A kernel that gprof caught no sample of has no speed, not a division by zero.
        unsampled = flat.replace("16.67      0.06     0.01", "16.67      0.06     0.00")
        self.assertEqual(profile(unsampled)[3],
                         "  fir_neon      0.00      1    0.0%   (no sample)")


class ThisMachine(unittest.TestCase):
    def test_as_its_build_names_it(self):
        build = os.environ.get("FIR_BUILD")
        if not build:
            self.skipTest("no build to ask (FIR_BUILD)")
        self.assertRegex(bench_report.machine(build), rf", {os.cpu_count()} cores$")


class BenchRun(unittest.TestCase):
    """scripts/bench's table and chart from the files of one recorded run, and a board's results beside them."""

    @staticmethod
    def load(name):
        return recorded_json(os.path.join("bench", name))

    def setUp(self):
        self.o0 = results.read_timings(self.load("O0.json"))
        self.o2 = results.read_timings(self.load("O2.json"))
        self.mixes = bench_mixes()
        self.run = self.load("run.json")
        self.program = figures.program_figures(recorded("bench/program.txt"), self.load("program.json"),
                                                 self.run["peak_kib"], self.run["values"], NAMES)

    def test_table_of_a_recorded_run(self):
        self.assertEqual("\n".join(tables.bench_table(self.o0, self.o2, self.mixes, self.program)) + "\n",
                         recorded("bench/table.txt"))

    def test_a_kernel_of_the_table_that_the_program_does_not_call(self):
        program = figures.program_figures(recorded("bench/program.txt"), self.load("program.json"),
                                            self.run["peak_kib"], self.run["values"], NAMES + ["fir_copy"])
        self.assertEqual(program, self.program)

    def test_table_of_the_arm_targets_alone_as_a_board_counts_them(self):
        table = tables.bench_table(self.o0, self.o2, self.mixes[1:], self.program)
        self.assertTrue(table[2].endswith("   ARMv7 AArch64"), table[2])
        self.assertTrue(table[4].endswith("   27.50   28.49"), table[4])
        self.assertEqual(table[6], "fir_neon executes 1/4.41 of fir's instructions per multiply-add on ARMv7 "
                                   "and 1/6.10 on AArch64.")

    def test_sweep_table_and_chart_of_a_recorded_sweep(self):
        o0, o2 = (results.load_json(os.path.join(DATA, "sweep", name), results.read_sweep)
                  for name in ("sweep.json", "sweep-O2.json"))
        self.assertEqual("\n".join(sweep.sweep_table(o0, o2)) + "\n", recorded("sweep/table.txt"))
        if not importlib.util.find_spec("matplotlib"):
            self.skipTest("matplotlib is not installed")
        caches = [{"level": 1, "type": "Data", "kib": 32}, {"level": 2, "type": "Unified", "kib": 512}]
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "sweep.svg")
            chart.draw_sweep(path, [{"name": "here", "o0": o0, "o2": o2, "caches": []},
                                    {"name": "a board", "o0": o0, "o2": o2, "caches": caches}], "title")
            texts = svg_texts(path)
        # A line a kernel, level and machine in the legend, and the board's data caches marked.
        legend = {f"{kernel} {level} on {machine}" for kernel in NAMES for level in ("-O0", "-O2")
                  for machine in ("here", "a board")}
        self.assertEqual(legend - set(texts), set())
        self.assertEqual([text for text in texts if "KiB" in text and text.startswith(" L")],
                         [" L1 32 KiB", " L2 512 KiB"])

    def test_chart_of_any_targets_and_boards(self):
        if not importlib.util.find_spec("matplotlib"):
            self.skipTest("matplotlib is not installed")
        board = {"name": "results-pi", "timings": self.o2, "counters": {"isa": "ARMv7"}}
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "chart.svg")
            chart.draw_chart(path, self.o0, self.o2, self.mixes[1:], [board], "title")
            texts = svg_texts(path)
        # Each counted target named once, each of its kernels' totals over its bar, the categories in the
        # legend, and the board's times in the other panel's.
        self.assertEqual([text for text in texts if text in ("x86-64", "ARMv7", "AArch64")], ["ARMv7", "AArch64"])
        totals = [f"{mix['per_mac'][kernel]['total']:.1f}" for mix in self.mixes[1:] for kernel in NAMES]
        at = texts.index(totals[0])
        self.assertEqual(texts[at:at + len(totals)], totals)
        for text in ("loads/stores", "vector moves and broadcasts", "no-ops", "-O0 on results-pi (ARMv7)"):
            self.assertIn(text, texts)


class Board(unittest.TestCase):
    """scripts/bench --board on a recorded results folder, and on spoiled copies of it."""

    def setUp(self):
        self.mixes = bench_mixes()
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.folder = os.path.join(scratch.name, "results-pi-2026-12-09")
        shutil.copytree(os.path.join(DATA, "board"), self.folder)

    def test_counts_beside_the_emulated_ones_and_what_they_mean(self):
        commit = "cbde06b60d24933e80eaa5585254d79929bdbad6"
        board, = read_board(self.folder)
        table = boards.board_table(board, self.mixes, commit)
        self.assertEqual(table[0], f"On the board results-pi-2026-12-09 (AMD EPYC, CPU 1, x86-64), from {self.folder}:")
        self.assertTrue(table[2].startswith("fir          24.42   0.5%     262   1.00x"), table[2])
        self.assertIn("  cycles: not counted on this board: perf_event_open: No such file", table[5])
        self.assertIn("shows no CPU PMU", table[7])
        # The same code counted by a CPU: 32.16 emulated; fir_neon 10% off.
        macs = 100064 * 64
        counters = board["counters"]
        counters["counters"]["instructions"] = {"fir": 32.16 * macs, "fir_opt": 30.66 * macs,
                                                "fir_neon": 7.25 * 1.1 * macs}
        counters["counters"]["cycles"] = {"fir": 16.08 * macs, "fir_opt": 15.33 * macs, "fir_neon": 7.25 * macs}
        counters["mhz"] = {"fir": 1200, "fir_opt": 1199.6, "fir_neon": 600}
        counters["ipc"] = {"fir": 2.0, "fir_opt": 2.0, "fir_neon": 1.1}
        counters["unavailable"] = {}
        board["machine"]["pmu"] = "armv8_pmuv3"
        cases = [
            ({}, ["   32.16    32.16   +0.0%        16.08  2.00  1200",
                  "    7.98     7.25  +10.0%         7.25  1.10   600",
                  "counts fir_neon more than 2% away from the emulated count"]),
            ({"fir_neon": 7.25 * macs}, ["same instructions as the emulation, within 2%."]),
            ({"renamed": True}, ["A Cortex-A9 counts instructions as they leave register renaming"]),
            ({"commit": "0123456789abcdef"}, ["built from 0123456789ab, not this checkout's cbde06b60d24"]),
            ({"flags": ["the firmware's throttle flags are 0x4: throttled now"]},
             ["  FLAGGED: the firmware's throttle flags are 0x4: throttled now"]),
        ]
        for change, expected in cases:
            with self.subTest(change=change):
                case = json.loads(json.dumps(board))
                if "fir_neon" in change:
                    case["counters"]["counters"]["instructions"].update(change)
                if "renamed" in change:
                    case["machine"].update(core="Cortex-A9", instructions_at_rename=True)
                case["machine"]["build"]["commit"] = change.get("commit", commit)
                case["machine"]["flags"] = change.get("flags", [])
                printed = "\n".join(boards.board_table(case, self.mixes, commit))
                for text in expected:
                    self.assertIn(text, printed)
                self.assertEqual("built from" in printed, "commit" in change)

    def test_an_older_bundles_a9_whose_pmu_counted_nothing(self):
        """What the bundle of an earlier commit wrote on qemu's A9 under Debian's own kernel (tools/boards/vm.py):
        zero counts and a null IPC are no figures, and the block says the board was emulated."""
        board, = read_board(os.path.join(DATA, "board-a9"))
        table = boards.board_table(board, self.mixes, None)
        self.assertRegex(table[2], r"^fir .* n/a +31\.25 +n/a +n/a +n/a +n/a$")
        self.assertIn("  Emulated: cortex-a9 on qemu's vexpress-a9 machine (1 x cortex-a9), under Debian's "
                      "linux-image-6.1.0-50-armmp. "
                      "Its instruction counts carry over to silicon", "\n".join(table))
        # Two CPUs run without -icount: the block must not vouch for instructions that were never counted.
        for kind, pmu in zip(read_board(os.path.join(DATA, "board-big-little")), ("a15", "a7")):
            printed = "\n".join(boards.board_table(kind, self.mixes, None))
            self.assertIn(f", CPU {kind['machine']['cpu']} (PMU armv7_cortex_{pmu}), ARMv7), from ", printed)
            self.assertIn("(2 x cortex-a15), under Debian's linux-image-6.1.0-57-armmp-lpae. On 2 CPUs qemu runs "
                          "without -icount, and its PMU counts no instructions; its times", printed)
            self.assertNotIn("carry over", printed)

    def test_bad_input_stops_bench_with_one_line_before_anything_is_printed(self):
        def spoil(file, text):
            with open(os.path.join(self.folder, file), "w", encoding="utf-8") as target:
                target.write(text)

        timings = recorded("board/timings.json")
        work = os.path.join(os.path.dirname(self.folder), "bench")
        cases = [
            (lambda: os.remove(os.path.join(self.folder, "counters.json")), "counters.json: missing"),
            (lambda: spoil("timings.json", timings[:len(timings) // 2]), "timings.json: not JSON, truncated?"),
            (lambda: spoil("counters.json", '{"isa": "ARMv7"}'), "counters.json: not what the board's run writes"),
            (lambda: spoil("timings.json", '{"benchmarks": []}'), "timings.json: not what the board's run writes"),
            (lambda: spoil(FILES["machine"], ""), f"{FILES['machine']}: empty"),
            (lambda: os.rename(os.path.join(self.folder, FILES["machine"]), os.path.join(self.folder, "machine.txt")),
             "made by an older bundle (machine.txt, no machine.json)"),
            (lambda: shutil.rmtree(self.folder), "not a folder"),
            (lambda: spoil(os.path.join(work, "O0.json"), timings[:100]), "O0.json: not JSON, truncated?"),
            (lambda: spoil(os.path.join(work, "mix-armv7.json"), '{"isa": "ARMv7", "kernels": [{"name": "fir"}]}'),
             "mix-armv7.json: not what instruction_mix.py --json writes (KeyError('per_mac'))"),
        ]
        build = os.path.join(os.path.dirname(self.folder), "build")
        os.mkdir(build)
        with open(os.path.join(build, "build.json"), "w", encoding="utf-8") as description:
            json.dump({"kernels": KERNELS}, description)
        bench = ["bench", build, "--peak-kib", "5824", "--values", "200064", "--chart", os.path.join(work, "c.svg"),
                 "--mix"] + [os.path.join(work, f"mix-{p}.json") for p in ("host", "armv7", "aarch64")]
        bench += [f"--{name}={os.path.join(work, file)}" for name, file in (
            ("o0", "O0.json"), ("o2", "O2.json"), ("program-profile", "program.txt"), ("program-runs", "program.json"))]
        for damage, message in cases:
            with self.subTest(message=message):
                for copy, source in ((self.folder, "board"), (work, "bench")):
                    shutil.rmtree(copy, ignore_errors=True)
                    shutil.copytree(os.path.join(DATA, source), copy)
                damage()
                out, err = io.StringIO(), io.StringIO()
                with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                    status = bench_report.main(bench + ["--board", os.path.join(DATA, "board"), self.folder])
                self.assertEqual(status, 1)
                self.assertEqual(out.getvalue(), "")
                self.assertEqual(err.getvalue().count("\n"), 1, err.getvalue())
                self.assertTrue(err.getvalue().startswith("bench_report: "), err.getvalue())
                self.assertIn(message, err.getvalue())
        with tempfile.TemporaryDirectory() as empty:
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                self.assertEqual(bench_report.main(["profile", build, empty]), 1)
            self.assertEqual(err.getvalue(), f"bench_report: {empty}/gmon.out: missing (the program did not run to "
                                             f"its end there?)\n")




if __name__ == "__main__":
    unittest.main()
