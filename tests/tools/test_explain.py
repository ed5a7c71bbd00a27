"""scripts/explain's logic: classifying instructions, reading callgrind's and qemu's counts, matching them to
the disassembly, the arithmetic check, and GCC's account of fir's loop, against runs recorded in tests/data."""

import gzip
import json
import os
import unittest

from explain import counts as figures
from explain import measure, mix_report, parsers, variants
from recorded import DATA, KERNELS, NAMES, bench_mixes, recorded
from shared import classify, cli, instruction_sets


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


class InShort(unittest.TestCase):
    def test_every_kind_of_arithmetic_is_named(self):
        """At -O3 GCC gives ARMv7's scalar loop VMLA.F32 on s registers: a scalar multiply-accumulate."""
        categories = {"memory": 3.02}
        cases = [({"scalar mla": 1.0}, "fir: 1.00 scalar multiply-accumulates and 3.02 loads/stores"),
                 ({"vector mul": 0.25, "vector add": 0.25}, "fir: 0.25 vector multiplies, 0.25 vector adds and"),
                 ({}, "fir: no float arithmetic and 3.02 loads/stores")]
        for ops, said in cases:
            with self.subTest(ops=ops):
                self.assertTrue(mix_report.in_short("fir", {"ops": ops, "categories": categories, "total": 6.09})
                                .startswith(said))


class RecordedCounts(unittest.TestCase):
    """The counts scripts/bench keeps, made again from recorded callgrind runs of x86-64 and of an arm64 host."""

    def setUp(self):
        self.mixes = bench_mixes()

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


if __name__ == "__main__":
    unittest.main()
