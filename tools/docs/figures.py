"""The figures the docs' sentences quote, each from a record or from the code's own constant: the run's
shape, the instruction mixes and their ratios, the bench table's speed-ups, the sweep's ranges, the
tools' thresholds and the scripts' times."""

import json
import re
import statistics

from compare import compare_runs, paired, rates
from docs.sources import DATA, cxx_constant, figure, mix, percent, ratio_text, record
from report import figures as report_figures
from report.sweep import ns_by_shape
from shared.cli import ToolError
from shared.results import load_json, read_sweep, read_timings


def run_shape(what):
    """taps, or samples: the program's run, as the bench record timed it."""
    timings = load_json(f"{DATA}/bench/O0.json", read_timings)
    return str(timings["taps"] if what == "taps" else timings["outputs"] - timings["taps"])


def shape(what):
    if what == "counted-outputs":
        return str(json.loads(record("tests/data/bench/mix-armv7.json"))["outputs"])
    return f"{cxx_constant('bench/sweep_shapes.h', 'counted_outputs'):.0f}"


def constant(name):
    values = {"noisy": lambda: percent(report_figures.NOISY_CV),
              "count-tolerance": lambda: percent(report_figures.COUNT_TOLERANCE),
              "clock-spread": lambda: percent(cxx_constant("bench/counter_report.h", "clock_spread_limit")),
              "rounds": lambda: str(compare_runs.ROUNDS),
              "smallest-effect": lambda: percent(paired.SMALLEST_EFFECT),
              "alpha": lambda: f"{paired.ALPHA:g}", "alpha-percent": lambda: percent(paired.ALPHA),
              "confidence": lambda: percent(1 - paired.ALPHA), "rates-confidence": lambda: percent(rates.CONFIDENCE),
              "apt-wait": lambda: f"{shell_constant('scripts/common.sh', 'apt_lock_wait') // 60} minutes"}
    return values[name]()


def shell_constant(path, name):
    """A shell script's number, set as name=NUMBER."""
    match = re.search(rf"\b{name}=(\d+)", record(path))
    if not match:
        raise ToolError(f"{path} sets no {name} to a number")
    return int(match.group(1))


def mix_figure(isa, kernel, field):
    return f"{figure(mix(isa)[kernel], field):.2f}"


def ratio(isa, over, under, field="total"):
    """How many times over's figure is under's."""
    per_mac = mix(isa)
    return ratio_text(figure(per_mac[over], field) / figure(per_mac[under], field))


def bench(level, kernel):
    timings = load_json(f"{DATA}/bench/{level}.json", read_timings)
    return f"{report_figures.speedup(timings, kernel):.2f}"


def sweep_speedups(level, kernel):
    """{taps: kernel's speed-up over fir} of the recorded sweep at one level."""
    rows = load_json(f"{DATA}/sweep/{'sweep' if level == 'O0' else 'sweep-O2'}.json", read_sweep)
    return {taps: ns["fir"] / ns[kernel] for taps, ns in ns_by_shape(rows, True).items()}


def sweep_flat():
    """How far from their median each kernel's -O0 times per multiply-add go over the working sets, at most."""
    rows = load_json(f"{DATA}/sweep/sweep.json", read_sweep)
    spread = 0.0
    for kernel_ns in zip(*[list(ns.values()) for ns in ns_by_shape(rows, False).values()]):
        middle = statistics.median(kernel_ns)
        spread = max(spread, max(abs(ns - middle) / middle for ns in kernel_ns))
    return f"{100 * spread:.0f}%"


def sweep(level, kernel, part):
    """first: a kernel's speed-up over fir at the fewest taps; rest: its range from 32 taps on; all: its
    whole range."""
    speedups = sweep_speedups(level, kernel)
    if part == "first":
        return f"{speedups[min(speedups)]:.2f}"
    chosen = [value for taps, value in speedups.items() if part == "all" or taps >= 32]
    return f"{min(chosen):.2f} to {max(chosen):.2f}"


def script_time(script):
    """The wall time a script took here, as tests/data/scripts/times.json records it."""
    measured = json.loads(record("tests/data/scripts/times.json"))[script]
    seconds = measured["seconds"]
    took = f"{seconds} s" if seconds < 120 else f"{round(seconds / 60)} min"
    return took + (f" (K = {measured['k']})" if "k" in measured else "")
