"""scripts/compare's judgement and its rounds: builds timed in alternation, their record kept round by round
through interruptions, and two results folders taken apart through compare.py."""

import contextlib
import io
import json
import math
import os
import random
import shutil
import signal
import tempfile
import unittest
from unittest import mock

from compare import compare_runs, paired, rates, record, rounds
from recorded import DATA, KERNELS, NAMES
from shared import results
from shared.cli import Stopped, ToolError


def ratios(*groups, seed=1):
    """Log-ratios of rounds in groups of (count, lowest change, highest change), shuffled."""
    rng = random.Random(seed)
    found = [math.log(1 + rng.uniform(low, high)) for count, low, high in groups for _ in range(count)]
    rng.shuffle(found)
    return found


class Verdicts(unittest.TestCase):
    """paired.py on recorded rounds of a build against itself on this machine under a concurrent build, on
    the same slowed, and on rounds made to split."""

    def setUp(self):
        self.record = record.read_record(os.path.join(DATA, "compare", "rounds-same.jsonl"))

    def test_interleaved_rounds_of_one_build_slowed_and_cut_short(self):
        slowed = json.loads(json.dumps(self.record))
        for one in slowed["rounds"]:
            one["B"]["fir_opt"] *= 1.1
        few = dict(self.record, rounds=self.record["rounds"][:paired.MIN_ROUNDS - 1])
        same, verdicts, short = (paired.verdicts(one) for one in (self.record, slowed, few))
        self.assertEqual([v["verdict"] for v in same.values() if v["verdict"] in ("slower", "faster", "split")], [])
        self.assertEqual(verdicts["fir_opt"]["verdict"], "slower")
        self.assertLess(verdicts["fir_opt"]["low"], 0.1)
        self.assertGreater(verdicts["fir_opt"]["high"], 0.1)
        self.assertEqual({kernel: v["verdict"] for kernel, v in verdicts.items() if kernel != "fir_opt"},
                         {kernel: v["verdict"] for kernel, v in same.items() if kernel != "fir_opt"})
        self.assertEqual({v["verdict"] for v in short.values()}, {"too-few"})
        self.assertEqual(compare_runs.paired_line("fir", short["fir"], 0.02),
                         "fir: too few rounds (5) to tell: the sign test needs 6")

    def test_rounds_in_two_groups_are_named_whatever_the_median_says(self):
        """One build's speed depending on each launch: a median near nought with a group far from it, or a
        median beyond the smallest effect with a group far the other way, on 80 rounds and on 400."""
        cases = [((56, 0.0, 0.006), (24, 0.26, 0.35)), ((50, 0.03, 0.04), (30, -0.40, -0.30)),
                 ((250, 0.03, 0.04), (150, -0.40, -0.30))]
        for rest, (apart, low, high) in cases:
            found = ratios(rest, (apart, low, high))
            with self.subTest(rounds=len(found)):
                v = paired.verdict(found, 0.02)
                self.assertEqual((v["verdict"], v["split"][0]), ("split", apart))
                self.assertTrue(low <= v["split"][1] <= v["split"][2] <= high, v["split"])
                line = compare_runs.paired_line("fir_opt", v, 0.02)
                self.assertIn(f"split: {apart} of {len(found)} rounds ({100 * apart / len(found):.0f}%) read ", line)

    def test_the_interval_and_the_test_never_disagree(self):
        """p < 0.05 exactly where the interval leaves out no change, ties at nought included, and the
        direction of a verdict is the interval's."""
        rng = random.Random(7)
        for trial in range(2000):
            found = [rng.choice([0.0, rng.gauss(rng.choice([0.0, 0.01, -0.03]), 0.02)])
                     for _ in range(rng.randint(paired.MIN_ROUNDS, 60))]
            v = paired.verdict(found, 0.02)
            with self.subTest(trial=trial):
                self.assertEqual(v["p"] < paired.ALPHA, v["low"] > 0 or v["high"] < 0, found)
                if v["verdict"] in ("slower", "faster"):
                    self.assertEqual(v["verdict"] == "slower", v["low"] > 0)

    def test_rates_carry_the_bounds_their_trials_support(self):
        self.assertAlmostEqual(rates.upper_bound(0, 50), 0.058, places=3)
        self.assertAlmostEqual(rates.lower_bound(10, 10), 0.741, places=3)
        self.assertLess(rates.upper_bound(0, 59), 0.05)
        self.assertGreater(rates.lower_bound(29, 29), 0.9)


FAKE_TIMINGS = """#!/bin/sh
# Google Benchmark's one repetition of each kernel; fails at call $FAIL_AT.
calls=$(($(cat "$CALLS" 2>/dev/null || echo 0) + 1))
echo $calls >"$CALLS"
[ "$calls" != "${FAIL_AT:-}" ] || { echo "kernel_timings: boom" >&2; exit 1; }
for word; do case $word in --benchmark_out=*) out=${word#*=} ;; esac; done
printf '{"benchmarks": [%s]}' "$(for k in fir fir_opt fir_neon; do
  printf '{"label": "%s", "run_type": "iteration", "real_time": 1.%s, "time_unit": "ms"},' $k $calls; done |
  sed 's/,$//')" >"$out"
"""
FAKE_MACHINE = """#!/bin/sh
case $1 in
  cpu) echo "${FAKE_CPU:-0}" ;;
  begin) echo '{"cpu": 0, "core": "fake", "build": {"commit": "c0ffee", "modified": false, "flags": "-O0"}}' \
>machine.json ;;
esac
"""


class Rounds(unittest.TestCase):
    """The rounds' record: every round written as it is taken, and a comparison stopped by a failing program,
    an interrupt or a record it cannot write says what it kept; the next call goes on from there."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.work = scratch.name
        self.build = os.path.join(self.work, "build")
        os.mkdir(self.build)
        programs = {}
        for name, text in (("kernel_timings", FAKE_TIMINGS), ("machine_info", FAKE_MACHINE)):
            programs[name] = os.path.join(self.build, name)
            with open(programs[name], "w", encoding="utf-8") as program:
                program.write(text)
            os.chmod(programs[name], 0o755)
        with open(os.path.join(self.build, "build.json"), "w", encoding="utf-8") as description:
            json.dump({"emulator": [], "programs": programs, "kernels": KERNELS}, description)
        self.out = os.path.join(self.work, "rounds.jsonl")
        self.calls = os.path.join(self.work, "calls")
        os.environ["CALLS"] = self.calls
        self.addCleanup(os.environ.pop, "CALLS")

    def take(self, count, fail_at=None, cpu=0):
        with mock.patch.dict(os.environ, {"FAIL_AT": str(fail_at or ""), "FAKE_CPU": str(cpu)}):
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                try:
                    return rounds.take_rounds(self.build, self.build, count, self.out), err.getvalue()
                except Stopped as stopped:
                    return stopped, err.getvalue()

    def test_a_failing_program_keeps_the_rounds_taken_and_the_next_call_goes_on(self):
        stopped, said = self.take(12, fail_at=9, cpu=1)
        self.assertIsInstance(stopped, Stopped)
        self.assertEqual(stopped.status, 1)
        self.assertIn("stopped at round 5 of 12 (", str(stopped))
        self.assertIn(f"the 4 rounds taken are kept in {self.out}, and the same command goes on", str(stopped))
        self.assertEqual(said, "round 1 of 12\n")
        kept = record.read_record(self.out)["rounds"]
        self.assertEqual(len(kept), 4)
        again, said = self.take(12, cpu=0)
        self.assertEqual(again["cpu"], 1)
        self.assertEqual(again["rounds"][:4], kept)
        self.assertEqual(len(again["rounds"]), 12)
        self.assertIn("4 rounds of these two sides are kept", said)
        self.assertEqual(record.read_record(self.out), again)

    def test_an_interrupt_a_torn_line_and_other_builds(self):
        with mock.patch.object(rounds, "time_once", side_effect=[{k: 1.0 for k in NAMES}] * 4 + [KeyboardInterrupt]):
            stopped, _ = self.take(8)
        self.assertEqual((stopped.status, len(record.read_record(self.out)["rounds"])), (130, 2))
        calls = iter([{k: 1.0 for k in NAMES}] * 2)
        with mock.patch.object(rounds, "time_once", side_effect=lambda *_: next(calls, None) or
                               os.kill(os.getpid(), signal.SIGTERM)):
            stopped, _ = self.take(8)
        self.assertEqual((stopped.status, len(record.read_record(self.out)["rounds"])), (143, 3))
        with open(self.out, "a", encoding="utf-8") as torn:
            torn.write('{"A": {"fir": 1.')
        self.assertEqual(len(self.take(4)[0]["rounds"]), 4)
        with open(self.out, encoding="utf-8") as kept:
            lines = kept.read().splitlines()
        lines[0] = lines[0].replace('"c0ffee"', '"decaf"')
        with open(self.out, "w", encoding="utf-8") as other:
            other.write("\n".join(lines) + "\n")
        with self.assertRaisesRegex(ToolError, "holds rounds of other builds"):
            self.take(4)

    def test_a_record_that_cannot_be_written_stops_it_before_any_timing(self):
        self.out = os.path.join(self.work, "no-such-folder", "rounds.jsonl")
        with self.assertRaisesRegex(ToolError, "rounds.jsonl: cannot be written"):
            self.take(4)
        self.assertFalse(os.path.exists(self.calls))

    def test_rounds_of_a_build_against_itself_alternate_and_are_kept(self):
        build = os.environ.get("FIR_BUILD")
        if not build:
            self.skipTest("no build to time (FIR_BUILD)")
        self.build = build
        taken, _ = self.take(16)
        self.assertEqual(taken["kernels"], NAMES)
        self.assertTrue(all(set(one) == {"A", "B", "order"} and set(one["A"]) == set(one["B"]) == set(NAMES)
                            for one in taken["rounds"]), taken["rounds"])
        self.assertEqual({tuple(one["order"]) for one in taken["rounds"]}, {("A", "B"), ("B", "A")})
        self.assertEqual(record.read_record(self.out), taken)


class Apart(unittest.TestCase):
    """Two results folders taken apart, through Debian's compare.py, on fir_opt slowed by a quarter on purpose
    and on the same build run again."""

    def test_two_runs_apart_a_slowed_kernel_and_a_run_again(self):
        cases = [("fir_opt-slowed.json", "fir_opt: slower by 24.8%, p = 0.0002"),
                 ("again.json", "fir_opt: no significant difference, p = 0.0640")]
        for after, verdict in cases:
            with self.subTest(after=after), tempfile.TemporaryDirectory() as work:
                folders = []
                for name, timings in (("before", "before.json"), ("after", after)):
                    folders.append(os.path.join(work, name))
                    shutil.copytree(os.path.join(DATA, "board"), folders[-1])
                    shutil.copy(os.path.join(DATA, "compare", timings), os.path.join(folders[-1], "timings.json"))
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    self.assertEqual(compare_runs.run(["apart", *folders, "--report",
                                                       os.path.join(work, "report.json")]), 0)
                lines = [line for line in out.getvalue().splitlines() if line.startswith("  fir")]
                self.assertEqual([line.split(":")[0] for line in lines], ["  fir", "  fir_opt", "  fir_neon"])
                self.assertTrue(lines[1].startswith(f"  {verdict} (U test, 10 and 10 repetitions; median "), lines[1])
        # Two clusters whose PMUs came in the other order: CPU 0 is another kind, though both are A15s.
        with tempfile.TemporaryDirectory() as work:
            reversed_pmus = os.path.join(work, "reversed")
            shutil.copytree(os.path.join(DATA, "board-big-little"), reversed_pmus)
            for cpu, pmu in (("cpu0", "armv7_cortex_a7"), ("cpu1", "armv7_cortex_a15")):
                path = os.path.join(reversed_pmus, cpu, "machine.json")
                with open(path, encoding="utf-8") as source:
                    machine = json.load(source)
                with open(path, "w", encoding="utf-8") as sink:
                    json.dump(dict(machine, pmu=pmu), sink)
            with self.assertRaisesRegex(ToolError, r"measured Cortex-A15 \(PMU armv7_cortex_a15\), Cortex-A15 \(PMU "
                                                   r"armv7_cortex_a7\) and .* no kind of core to pair"):
                compare_runs.run(["apart", os.path.join(DATA, "board-big-little"), reversed_pmus, "--report",
                                  os.path.join(work, "report.json")])
        with tempfile.TemporaryDirectory() as work:
            report = os.path.join(work, "report.json")
            with open(report, "w", encoding="utf-8") as spoiled:
                spoiled.write('[{"run_type": "aggregate", "aggregate_name": "median"}]')
            with self.assertRaisesRegex(results.InputError, "report.json: not what compare.py writes"):
                results.load_json(report, results.read_compare_report, "compare.py")


if __name__ == "__main__":
    unittest.main()
