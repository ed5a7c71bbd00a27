"""What the tools' tests share: the runs recorded in tests/data, the kernels they name, Google Benchmark's
JSON made to order, and the texts of a drawn chart."""

import json
import os
import re

KERNELS = [{"name": "fir", "lanes": 1}, {"name": "fir_opt", "lanes": 1}, {"name": "fir_neon", "lanes": 4}]
NAMES = [kernel["name"] for kernel in KERNELS]
DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data")


def recorded(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as source:
        return source.read()


def recorded_json(name):
    return json.loads(recorded(name))


def bench_mixes():
    """scripts/bench's recorded instruction counts of x86-64, ARMv7 and AArch64, in that order."""
    return [recorded_json(os.path.join("bench", f"mix-{preset}.json")) for preset in ("host", "armv7", "aarch64")]


def svg_texts(path):
    """The texts of an SVG that matplotlib drew with its fonts as text, in order."""
    with open(path, encoding="utf-8") as drawn:
        return re.findall(r">([^<>]*)</text>", drawn.read())


def google_benchmark(cvs, medians=(20.0, 18.0, 5.0)):
    runs = []
    for kernel, cv, median in zip(NAMES, cvs, medians):
        for name, value in (("median", median), ("stddev", median * cv), ("cv", cv), ("mean", median)):
            shape = 0 if name in ("stddev", "cv") else 1  # as Google Benchmark aggregates a constant counter
            runs.append({"name": "any name at all", "label": kernel, "run_type": "aggregate", "repetitions": 5,
                         "aggregate_name": name, "real_time": value, "outputs": 100064 * shape, "taps": 64 * shape})
    return {"context": {"date": "2026-12-09T10:00:00"}, "benchmarks": runs}
