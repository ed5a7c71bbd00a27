"""scripts/compare's judgement and its rounds: builds timed in alternation, and two runs taken apart through
compare.py."""

import contextlib
import io
import json
import os
import tempfile
import unittest

from compare import compare_runs, paired, rounds
from recorded import DATA, NAMES, recorded
from shared import results


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




if __name__ == "__main__":
    unittest.main()
