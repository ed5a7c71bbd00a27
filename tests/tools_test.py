"""The measuring tools' logic: classifying instructions, reading callgrind's and
qemu's counts, matching them to the disassembly, and the tables, against runs
recorded in data/. Run as a script: under CI a test skipped for a missing tool
fails the run."""

import contextlib
import gzip
import importlib.util
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import bench_report
import boards
import chart
import classify
import cli
import compare_runs
import figures
import instruction_sets
import measure
import mix_report
import parsers
import paired
import results
import rounds
import sweep
import tables
import variants

KERNELS = [{"name": "fir", "lanes": 1}, {"name": "fir_opt", "lanes": 1}, {"name": "fir_neon", "lanes": 4}]
NAMES = [kernel["name"] for kernel in KERNELS]
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def svg_texts(path):
    """The texts of an SVG that matplotlib drew with its fonts as text, in order."""
    with open(path, encoding="utf-8") as drawn:
        return re.findall(r">([^<>]*)</text>", drawn.read())


def recorded(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as source:
        return source.read()


# The names of a board's files, as the build reports them.
FILES = json.loads(recorded("kernel_instructions.json"))["files"]


class Classify(unittest.TestCase):
    def test_each_instruction_set(self):
        cases = {
            "x86-64": [
                ("mulss", "%xmm2,%xmm0", "scalar", "mul"),
                ("addss", "%xmm1,%xmm0", "scalar", "add"),
                ("mulps", "-0x4c0(%rbp),%xmm0", "vector", "mul"),
                ("addps", "-0x4e0(%rbp),%xmm0", "vector", "add"),
                ("movss", "(%rax),%xmm1", "memory", None),
                ("movaps", "%xmm0,-0x20(%rbp)", "memory", None),
                ("mov", "-0x28(%rbp),%rax", "memory", None),
                ("push", "%rbp", "memory", None),
                ("movaps", "%xmm0,%xmm1", "moves", None),
                ("shufps", "$0x0,%xmm0,%xmm0", "moves", None),
                ("lea", "0x0(,%rax,4),%rdx", "integer", None),
                ("addl", "$0x1,-0x8(%rbp)", "integer", None),
                ("cltq", "", "integer", None),
                ("cmp", "-0x30(%rbp),%eax", "branch", None),
                ("jl", "1e89", "branch", None),
                ("call", "1030", "call", None),
                ("ret", "", "call", None),
                ("nop", "", "nop", None),
            ],
            "ARMv7": [
                ("vmla.f32", "q8, q9, q10", "vector", "mla"),
                ("vmul.f32", "s15, s14, s15", "scalar", "mul"),
                ("vadd.f32", "s15, s15, s14", "scalar", "add"),
                ("vld1.32", "{d16-d17}, [r3]", "memory", None),
                ("vstr", "d16, [fp, #-28]", "memory", None),
                ("ldr", "r3, [fp, #-8]", "memory", None),
                ("push", "{fp, lr}", "memory", None),
                ("vdup.32", "q8, r3", "moves", None),
                ("vorr", "q8, q9, q9", "moves", None),
                ("lsl", "r3, r3, #2", "integer", None),
                ("bic", "r3, r3, #1", "integer", None),
                ("blt", "1b64", "branch", None),
                ("b", "20cc", "branch", None),
                ("cmp", "r2, r3", "branch", None),
                ("bl", "1234", "call", None),
                ("bx", "lr", "call", None),
                ("nop", "{0}", "nop", None),
            ],
            "AArch64": [
                ("fmul", "v0.4s, v1.4s, v2.4s", "vector", "mul"),
                ("fadd", "v0.4s, v1.4s, v0.4s", "vector", "add"),
                ("fmul", "s0, s1, s0", "scalar", "mul"),
                ("fadd", "s0, s1, s0", "scalar", "add"),
                ("ldr", "q0, [sp, #32]", "memory", None),
                ("ldrsw", "x0, [sp, #12]", "memory", None),
                ("stp", "x29, x30, [sp, #-16]!", "memory", None),
                ("dup", "v0.4s, v0.s[0]", "moves", None),
                ("mov", "v0.16b, v1.16b", "moves", None),
                ("mov", "w0, #0x0", "integer", None),
                ("sxtw", "x0, w0", "integer", None),
                ("b.lt", "1898", "branch", None),
                ("cmp", "w1, w0", "branch", None),
                ("bl", "1234", "call", None),
                ("ret", "", "call", None),
                ("nop", "", "nop", None),
            ],
        }
        for isa, rows in cases.items():
            for mnemonic, operands, category, op in rows:
                with self.subTest(isa=isa, instruction=f"{mnemonic} {operands}"):
                    self.assertEqual(instruction_sets.INSTRUCTION_SETS[isa].classify(mnemonic, operands), (category, op))

    def test_kernel_names_mangled_or_not(self):
        self.assertEqual(parsers.kernel_of("_Z8fir_neonPKfS0_Pfii", NAMES), "fir_neon")
        self.assertEqual(parsers.kernel_of("fir_opt(float const*, float const*, float*, int, int)", NAMES), "fir_opt")
        self.assertEqual(parsers.kernel_of("_Z8fir_copyPKfS0_Pfii", NAMES + ["fir_copy"]), "fir_copy")
        self.assertIsNone(parsers.kernel_of("_Z9designLPFPfiff", NAMES))
        self.assertIsNone(parsers.kernel_of("first(int)", NAMES))


class Counts(unittest.TestCase):
    def test_callgrind_positions_names_and_call_costs(self):
        profile = """positions: instr line
events: Ir
fn=(1) fir(float const*, float const*, float*, int, int)
0x1e2f 0 1
+3 0 256
+4 0 16384
calls=1 0x9000 0
* 0 999999
-4 0 5
fn=(2) main
0x2000 0 7
fn=(1)
+0x10 0 3
0x1e2f 0 2
"""
        counts = parsers.parse_callgrind(profile.splitlines(keepends=True), NAMES)
        self.assertEqual(dict(counts["fir"]), {0x1e2f: 3, 0x1e32: 256 + 5, 0x1e36: 16384, 0x2010: 3})
        self.assertNotIn("main", counts)

    def test_qemu_trace_on_both_arm_targets(self):
        trace = [
            "Trace 0: 0x7f4c442a7480 [00000480/40001768/00000000/00000201] _Z3firPKfS0_Pfii\n",
            "Trace 0: 0x7f4c442a7580 [00000480/40001768/00000000/00000201] _Z3firPKfS0_Pfii\n",
            "Trace 0: 0x7f4c442a7640 [00000480/3f7f0760/00000000/00000201] \n",
            "Trace 0: 0x7fbe34311640 [0000000001009b31/0000005500001828/00000001/00000201] _Z8fir_neonPKfS0_Pfii\n",
        ]
        counts = parsers.parse_qemu_trace(trace, NAMES)
        self.assertEqual(dict(counts), {"fir": {0x40001768: 2}, "fir_neon": {0x5500001828: 1}})

    def test_counts_meet_the_disassembly_wherever_the_binary_was_loaded(self):
        objdump = """
kernel_instructions:     file format elf32-littlearm


Disassembly of section .text:

00001768 <_Z3firPKfS0_Pfii>:
    1768:\tpush\t{fp}\t\t@ (str fp, [sp, #-4]!)
    176c:\tvmul.f32\ts15, s14, s15
    1770:\tvadd.f32\ts15, s15, s14
    1774:\tldr\tr3, [fp, #-148]\t@ 0xffffff6c
    1778:\tbgt\t1768 <_Z3firPKfS0_Pfii>

0000177c <_Z9designLPFPfiff>:
    177c:\tvmla.f32\tq8, q9, q10
"""
        disassembly = parsers.parse_objdump(objdump, "ARMv7", NAMES)
        self.assertEqual(list(disassembly), ["fir"])
        self.assertEqual(disassembly["fir"][0], (0x1768, "push", "{fp}"))
        self.assertEqual(disassembly["fir"][3:], [(0x1774, "ldr", "r3, [fp, #-148]"), (0x1778, "bgt", "1768")])
        base = 0x5500000000
        rows = figures.annotate(disassembly["fir"], {base + 0x1768: 1, base + 0x176c: 8, base + 0x1770: 8,
                                                     base + 0x2000: 1}, classify.classify_arm, base)
        summary = figures.summarise(rows, 8)
        self.assertEqual(summary["ops"], {"scalar mul": 1.0, "scalar add": 1.0})
        self.assertEqual(summary["total"], 17 / 8)
        self.assertEqual(summary["categories"]["memory"], 1 / 8)
        self.assertEqual([row[0] for row in figures.hot_loop(rows)], [0x176c, 0x1770])
        with self.assertRaises(cli.ToolError):
            figures.annotate(disassembly["fir"], {base + 0x1768: 1, base + 0x176e: 8}, classify.classify_arm, base)


class Variants(unittest.TestCase):
    def test_odd_words_from_kernel_variants_are_one_error(self):
        for said in ("", "Segmentation fault", '{"ulps": {"fir_declared": 0}}'):
            with self.subTest(said=said), self.assertRaises(cli.ToolError):
                variants.differences_of(said)

    def test_gccs_account_of_the_tap_loop_alone(self):
        source = "void f()\n{\n    for (int i = 0; i < n; i++)\n        for (int j = 0; j < t; j++)  // the tap loop\n" \
                 "            out[i] += in[i + j] * c[j];\n}\n"
        report = """f.cpp:3:23: missed: couldn't vectorize loop
f.cpp:3:23: missed: not vectorized: control flow in loop.
f.cpp:4:27: missed: couldn't vectorize loop
f.cpp:5:33: missed: not vectorized: relevant stmt not supported: _14 = _9 * _13;
f.cpp:5:33: missed: not vectorized: relevant stmt not supported: _14 = _9 * _13;
f.cpp:1:6: note: vectorized 0 loops in function.
"""
        self.assertEqual(variants.gcc_account(report, source),
                         ["not vectorized: relevant stmt not supported: _14 = _9 * _13;"])
        self.assertEqual(variants.gcc_account("f.cpp:4:27: optimized: loop vectorized using 16 byte vectors\n", source),
                         ["loop vectorized using 16 byte vectors"])


class Check(unittest.TestCase):
    @staticmethod
    def summaries(neon_ops):
        scalar = {"scalar mul": 1.0, "scalar add": 1.0}
        return {"fir": {"ops": scalar}, "fir_opt": {"ops": scalar}, "fir_neon": {"ops": neon_ops}}

    def test_vector_arithmetic_by_target(self):
        mla = {"vector mla": 0.25}
        mul_add = {"vector mul": 0.25, "vector add": 0.25}
        problems = figures.arithmetic_problems
        self.assertEqual(problems("ARMv7", KERNELS, self.summaries(mla)), [])
        self.assertEqual(problems("AArch64", KERNELS, self.summaries(mul_add)), [])
        self.assertEqual(len(problems("ARMv7", KERNELS, self.summaries(mul_add))), 3)
        self.assertEqual(len(problems("x86-64", KERNELS, self.summaries({"vector mul": 0.25, "vector add": 0.5}))), 1)

    def test_scalar_arithmetic_of_every_kernel_the_build_reports(self):
        summaries = self.summaries({"vector mla": 0.25})
        summaries["fir_copy"] = {"ops": {"scalar mul": 1.0, "scalar add": 1.25}}
        kernels = KERNELS + [{"name": "fir_copy", "lanes": 1}]
        self.assertEqual(figures.arithmetic_problems("ARMv7", kernels, summaries),
                         ["fir_copy: 1.25 scalar add per multiply-add, expected 1"])


def google_benchmark(cvs, medians=(20.0, 18.0, 5.0)):
    runs = []
    for kernel, cv, median in zip(NAMES, cvs, medians):
        for name, value in (("median", median), ("stddev", median * cv), ("cv", cv), ("mean", median)):
            shape = 0 if name in ("stddev", "cv") else 1  # as Google Benchmark aggregates a constant counter
            runs.append({"name": "any name at all", "label": kernel, "run_type": "aggregate", "repetitions": 5,
                         "aggregate_name": name, "real_time": value, "outputs": 100064 * shape, "taps": 64 * shape})
    return {"context": {"date": "2026-12-09T10:00:00"}, "benchmarks": runs}


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
            return tables.profile_table(figures.profile_figures(parsers.parse_gprof_flat(flat), NAMES))

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


class BenchRun(unittest.TestCase):
    """scripts/bench's table and chart from the files of one recorded run, and a board's results beside them."""

    @staticmethod
    def load(name):
        return json.loads(recorded(os.path.join("bench", name)))

    def setUp(self):
        self.o0 = results.read_timings(self.load("O0.json"))
        self.o2 = results.read_timings(self.load("O2.json"))
        self.mixes = [self.load(f"mix-{preset}.json") for preset in ("host", "armv7", "aarch64")]
        self.program = figures.program_figures(recorded("bench/program.txt"), self.load("program.json"), 5824,
                                                 200064, NAMES)

    def test_table_of_a_recorded_run(self):
        self.assertEqual("\n".join(tables.bench_table(self.o0, self.o2, self.mixes, self.program)) + "\n",
                         recorded("bench/table.txt"))

    def test_a_kernel_of_the_table_that_the_program_does_not_call(self):
        program = figures.program_figures(recorded("bench/program.txt"), self.load("program.json"), 5824, 200064,
                                            NAMES + ["fir_copy"])
        self.assertEqual(program, self.program)

    def test_table_of_the_arm_targets_alone_as_a_board_counts_them(self):
        table = tables.bench_table(self.o0, self.o2, self.mixes[1:], self.program)
        self.assertTrue(table[2].endswith("   ARMv7 AArch64"), table[2])
        self.assertTrue(table[4].endswith("   27.50   28.49"), table[4])
        self.assertEqual(table[6], "fir_neon executes 1/4.41 of fir's instructions per multiply-add on ARMv7 "
                                   "and 1/6.10 on AArch64.")

    def test_the_json_that_bench_reads_from_a_recorded_count(self):
        with gzip.open(os.path.join(DATA, "kernel_instructions.callgrind.gz"), "rt", encoding="utf-8") as profile:
            counts = parsers.parse_callgrind(profile, NAMES)
        measured = measure.measured_from("x86-64", "callgrind", json.loads(recorded("kernel_instructions.json")),
                                         recorded("kernel_instructions.objdump"), counts)
        self.assertEqual(json.loads(json.dumps(mix_report.as_json(measured, figures.summarise_all(measured)))),
                         self.mixes[0])

    def test_callgrind_on_an_arm64_host_counts_what_qemu_counts(self):
        """callgrind on AArch64 charges each kernel with main's instructions after its call, at main's own
        addresses: they are not the kernel's, and the counts are qemu's to the instruction."""
        folder = os.path.join(DATA, "aarch64-callgrind")
        with gzip.open(os.path.join(folder, "kernel_instructions.callgrind.gz"), "rt", encoding="utf-8") as profile:
            counts = parsers.parse_callgrind(profile, NAMES)
        with gzip.open(os.path.join(folder, "kernel_instructions.objdump.gz"), "rt", encoding="utf-8") as objdump:
            measured = measure.measured_from("AArch64", "callgrind", json.loads(recorded(
                "aarch64-callgrind/kernel_instructions.json")), objdump.read(), counts)
        self.assertIn(0x64dc, counts["fir_neon"])
        self.assertEqual(json.loads(json.dumps(figures.summarise_all(measured))), self.mixes[2]["per_mac"])

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
        self.mixes = [BenchRun.load(f"mix-{preset}.json") for preset in ("host", "armv7", "aarch64")]
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.folder = os.path.join(scratch.name, "results-pi-2026-12-09")
        shutil.copytree(os.path.join(DATA, "board"), self.folder)

    def test_counts_beside_the_emulated_ones_and_what_they_mean(self):
        commit = "cbde06b60d24933e80eaa5585254d79929bdbad6"
        board = results.read_board(self.folder, FILES)
        table = boards.board_table(board, self.mixes, commit)
        self.assertEqual(table[0], f"On the board results-pi-2026-12-09 (AMD EPYC, CPU 1, x86-64), from {self.folder}:")
        self.assertTrue(table[2].startswith("fir          24.42   0.5%     262   1.00x"), table[2])
        self.assertIn("  cycles: not counted on this board (perf_event_open: No such file", table[5])
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
        """What the bundle of an earlier commit wrote on qemu's A9 under Debian's own kernel (tools/vm.py):
        zero counts and a null IPC are no figures, and the block says the board was emulated."""
        board = results.read_board(os.path.join(DATA, "board-a9"), FILES)
        table = boards.board_table(board, self.mixes, None)
        self.assertRegex(table[2], r"^fir .* n/a +31\.25 +n/a +n/a +n/a +n/a$")
        self.assertIn("  Emulated: cortex-a9 on qemu's vexpress-a9 machine (1 x cortex-a9), under Debian's "
                      "linux-image-6.1.0-50-armmp. "
                      "Its instruction counts carry over to silicon", "\n".join(table))

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
            json.dump({"files": FILES, "kernels": KERNELS}, description)
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


class Compare(unittest.TestCase):
    """scripts/compare: two builds timed in alternation, judged on recorded rounds of a build against itself
    on this machine under a concurrent build; and two runs taken apart, through Debian's compare.py, on
    fir_opt slowed by a quarter on purpose and on the same build run again."""

    def setUp(self):
        self.record = json.loads(recorded("compare/rounds-same.json"))

    def test_interleaved_rounds_of_one_build_slowed_and_cut_short(self):
        slowed = json.loads(json.dumps(self.record))
        for one in slowed["rounds"]:
            one["B"]["fir_opt"] *= 1.1
        few = dict(self.record, rounds=self.record["rounds"][:paired.MIN_ROUNDS - 1])
        same, verdicts, short = (paired.verdicts(record) for record in (self.record, slowed, few))
        self.assertEqual([v["verdict"] for v in same.values() if v["verdict"] in ("slower", "faster")], [])
        self.assertEqual(verdicts["fir_opt"]["verdict"], "slower")
        self.assertLess(verdicts["fir_opt"]["low"], 0.1)
        self.assertGreater(verdicts["fir_opt"]["high"], 0.1)
        self.assertEqual({kernel: v["verdict"] for kernel, v in verdicts.items() if kernel != "fir_opt"},
                         {kernel: v["verdict"] for kernel, v in same.items() if kernel != "fir_opt"})
        self.assertEqual({v["verdict"] for v in short.values()}, {"too-few"})
        self.assertEqual(compare_runs.paired_line("fir", short["fir"], 0.02),
                         "fir: too few rounds (5) to tell: Wilcoxon's test needs 6")

    def test_rounds_of_a_build_against_itself_alternate_and_are_kept(self):
        build = os.environ.get("FIR_BUILD")
        if not build:
            self.skipTest("no build to time (FIR_BUILD)")
        with contextlib.redirect_stderr(io.StringIO()):
            record = rounds.take_rounds(build, build, 16)
        self.assertEqual(record["kernels"], NAMES)
        self.assertTrue(all(set(one) == {"A", "B", "order"} and set(one["A"]) == set(one["B"]) == set(NAMES)
                            for one in record["rounds"]), record["rounds"])
        self.assertEqual({tuple(one["order"]) for one in record["rounds"]}, {("A", "B"), ("B", "A")})
        self.assertEqual(results.read_rounds(json.loads(json.dumps(record))), record)

    def test_two_runs_apart_a_slowed_kernel_and_a_run_again(self):
        cases = [("fir_opt-slowed.json", "fir_opt: slower by 24.8%, p = 0.0002"),
                 ("again.json", "fir_opt: no significant difference, p = 0.0640")]
        before = os.path.join(DATA, "compare", "before.json")
        for after, verdict in cases:
            with self.subTest(after=after), tempfile.TemporaryDirectory() as work:
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    self.assertEqual(compare_runs.run(["apart", before, os.path.join(DATA, "compare", after),
                                                       "--report", os.path.join(work, "report.json")]), 0)
                lines = out.getvalue().splitlines()
                at = next(i for i, line in enumerate(lines) if line.startswith("Two runs taken apart"))
                self.assertEqual([line.split(":")[0] for line in lines[at + 1:]], ["  fir", "  fir_opt", "  fir_neon"])
                self.assertTrue(lines[at + 2].startswith(f"  {verdict} (U test, 10 and 10 repetitions; median "),
                                lines[at + 2])
        with tempfile.TemporaryDirectory() as work:
            report = os.path.join(work, "report.json")
            with open(report, "w", encoding="utf-8") as spoiled:
                spoiled.write('[{"run_type": "aggregate", "aggregate_name": "median"}]')
            with self.assertRaisesRegex(results.InputError, "report.json: not what compare.py writes"):
                results.load_json(report, results.read_compare_report, "compare.py")


class Setup(unittest.TestCase):
    """scripts/common.sh: install_packages against a stub apt-get on PATH, as a mirror in mid-sync fails it;
    what an amd64, an arm64 and an armhf host choose to build and test, and install; and a stopped fuzzer."""

    COMMON = os.path.join(os.path.dirname(DATA), "..", "scripts", "common.sh")

    def test_each_host_architecture_chooses_its_presets_and_their_packages(self):
        """The host is its own Arm target; the other is cross-built where Debian has the compiler; every
        package installs the file it is checked by, as tests/data/packages/record found in Debian's own."""
        cases = {"amd64": ("host asan host-clang armv7 aarch64", "armv7 aarch64"),
                 "arm64": ("host asan host-clang armv7", "armv7 host"),
                 "armhf": ("host asan host-clang", "host ")}
        for arch, (tested, presets) in cases.items():
            with self.subTest(arch=arch):
                said = subprocess.run(["bash", "-c", f'. {self.COMMON}; echo "${{tested[*]}}"; '
                                       'echo "$(preset_for armv7) $(preset_for aarch64)"; '
                                       'for group in $(package_groups); do packages_for $group; done'],
                                      env=dict(os.environ, FIR_HOST_ARCH=arch), capture_output=True, text=True,
                                      check=True).stdout.splitlines()
                self.assertEqual(said[:2], [tested, presets])
                with open(os.path.join(DATA, "packages", f"{arch}.txt"), encoding="utf-8") as recorded_pairs:
                    checked = set(recorded_pairs.read().split())
                self.assertEqual(set(" ".join(said[2:]).split()) - checked, set())

    STUB = """#!/bin/sh
echo "$*" >>"$STUB_CALLS"
[ "$1" = update ] && { echo "E: Failed to fetch ...armhf/Packages.xz  File has unexpected size"; exit "$STUB_UPDATE"; }
for package; do
  [ "$package" = "$STUB_MISSING" ] && { echo "E: Unable to locate package $package"; exit 100; }
done
exit 0
"""

    def install(self, update_status, missing):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        for tool, text in (("apt-get", self.STUB), ("dpkg", "#!/bin/sh\n"), ("id", "#!/bin/sh\necho 0\n")):
            with open(os.path.join(scratch.name, tool), "w", encoding="utf-8") as stub:
                stub.write(text)
            os.chmod(os.path.join(scratch.name, tool), 0o755)
        calls = os.path.join(scratch.name, "calls")
        environment = dict(os.environ, PATH=f"{scratch.name}:{os.environ['PATH']}", STUB_CALLS=calls,
                           STUB_UPDATE=str(update_status), STUB_MISSING=missing)
        run = subprocess.run(["bash", "-c", f". {self.COMMON} && install_packages cmake hyperfine libbenchmark-dev:armhf"],
                             env=environment, capture_output=True, text=True, check=False)
        with open(calls, encoding="utf-8") as asked:
            return run, asked.read().splitlines()

    def test_a_failed_update_warns_and_a_missing_package_keeps_out_no_other(self):
        run, calls = self.install(100, "")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("warning: apt-get update failed", run.stderr)
        self.assertEqual(calls, ["update -qq", "install -y -qq cmake hyperfine libbenchmark-dev:armhf"])
        run, calls = self.install(0, "hyperfine")
        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(calls[-3:], ["install -y -qq cmake", "install -y -qq hyperfine",
                                      "install -y -qq libbenchmark-dev:armhf"])
        self.assertIn("apt-get could not install: hyperfine\nE: Unable to locate package hyperfine", run.stderr)

    def test_a_stopped_fuzzer_says_why_under_errexit(self):
        """scripts/fuzz runs under set -e: a fault that names no difference (LeakSanitizer under ptrace or
        qemu) must still print its lines and a reason, not end the script in silence."""
        cases = {"value 3 of the text: reader 1 extraction 2": "the reader and extraction differ",
                 "==1==LeakSanitizer has encountered a fatal error.": "libFuzzer stopped without finding a difference"}
        for printed, reason in cases.items():
            with self.subTest(reason=reason), tempfile.TemporaryDirectory() as scratch:
                run = subprocess.run(["bash", "-c", f'set -e; . {self.COMMON}; cd {scratch}; '
                                      f'program_command() {{ command=(sh -c "echo \'{printed}\'; exit 1"); }}; '
                                      'fuzz_reader 1; echo unreachable'], capture_output=True, text=True, check=False)
                self.assertEqual(run.returncode, 1)
                self.assertIn(printed, run.stderr)
                self.assertIn(f"fuzz: {reason}", run.stderr)


def main():
    """unittest's own runner; under CI a skip, which means a missing tool, fails the run."""
    result = unittest.main(exit=False).result
    if os.environ.get("CI") and result.skipped:
        print(f"FAILED under CI: {len(result.skipped)} test(s) skipped for a missing tool", file=sys.stderr)
        return 1
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
