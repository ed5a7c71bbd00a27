"""Readers of the files that the measuring programs leave: Google Benchmark's timings and sweeps, the CPU's
counters, the machine's description, scripts/compare's rounds and compare.py's report. Each file is
checked as it is read; a fault is one InputError naming the file."""

import json

from shared.cli import ToolError


class InputError(ToolError):
    """A file that cannot be read, or is not what the program that writes it writes."""


def read_text(path):
    try:
        with open(path, encoding="utf-8") as source:
            content = source.read()
    except FileNotFoundError:
        raise InputError(f"{path}: missing") from None
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: cannot be read: {error}") from error
    if not content.strip():
        raise InputError(f"{path}: empty")
    return content


def load_json(path, reader=lambda report: report, writer="the program"):
    """The JSON file at path, passed through reader, which raises KeyError, TypeError or ValueError
    where the file is not what writer writes."""
    try:
        report = json.loads(read_text(path))
    except json.JSONDecodeError as error:
        raise InputError(f"{path}: not JSON, truncated? ({error})") from error
    try:
        return reader(report)
    except (KeyError, TypeError, ValueError, AttributeError) as error:
        raise InputError(f"{path}: not what {writer} writes ({error!r})") from error


def read_timings(report):
    """Google Benchmark JSON with aggregates, of one shape -> its shape, the day it was taken and, by
    kernel in the order they ran, median, stddev (ms) and cv (a fraction) of the time per call. Each
    result names its kernel in its label and its shape in the counters outputs and taps."""
    kernels, shapes, repetitions = {}, set(), set()
    for run in report["benchmarks"]:
        if run.get("run_type") != "aggregate":
            continue
        kernels.setdefault(run["label"], {})[run["aggregate_name"]] = run["real_time"]
        repetitions.add(run["repetitions"])
        if run["aggregate_name"] == "median":
            shapes.add((int(run["outputs"]), int(run["taps"])))
    if len(shapes) != 1 or not kernels:
        raise ValueError(f"expected the kernels on one shape, got {sorted(kernels)} on {sorted(shapes)}")
    for kernel, figures in kernels.items():
        missing = {"median", "stddev", "cv"} - set(figures)
        if missing:
            raise ValueError(f"{kernel} has no {', '.join(sorted(missing))}")
    (outputs, taps), = shapes
    return {"outputs": outputs, "taps": taps, "repetitions": max(repetitions), "kernels": kernels,
            "day": str(report["context"]["date"])[:10]}


def read_iterations(report):
    """kernel_timings' JSON of one repetition, no aggregates -> {kernel: ms per call}."""
    times = {run["label"]: float(run["real_time"]) for run in report["benchmarks"] if run["run_type"] == "iteration"}
    if not times or any(run["time_unit"] != "ms" for run in report["benchmarks"]):
        raise ValueError("no kernel timed in milliseconds")
    return times


def read_compare_report(report):
    """compare.py -d's JSON: each benchmark's run type, with its U test or its median's measurements."""
    for item in report:
        if item["run_type"] == "iteration" and item["utest"]:
            float(item["utest"]["time_pvalue"])
            int(item["utest"]["nr_of_repetitions"]), int(item["utest"]["nr_of_repetitions_other"])
        elif item["run_type"] == "aggregate" and item["aggregate_name"] == "median":
            measured = item["measurements"][0]
            float(measured["time"]), float(measured["real_time"]), float(measured["real_time_other"])
    return report


def read_counters(report):
    """kernel_counters' JSON, with only the figures that were counted: a counter that counted nothing is
    no figure, and an older bundle wrote it as zeros, with a null IPC."""
    missing = [key for key in ("isa", "outputs", "taps", "kernels", "counters") if key not in report]
    if missing:
        raise ValueError(f"no {', '.join(missing)}")
    if report["outputs"] * report["taps"] <= 0:
        raise ValueError("no multiply-adds")
    report["counters"] = {event: counted for event, values in report["counters"].items()
                          if (counted := counted_figures(values))}
    for derived in ("ipc", "mhz"):
        report[derived] = counted_figures(report.get(derived) or {})
    return report


def counted_figures(values):
    """{kernel: figure} of the figures that counted something."""
    return {kernel: float(value) for kernel, value in values.items() if value is not None and float(value) > 0}


def read_mix(report):
    """instruction_mix.py --json: every kernel it names with its total and categories per multiply-add."""
    for kernel in report["kernels"]:
        figures = report["per_mac"][kernel["name"]]
        float(figures["total"])
        dict(figures["categories"])
    str(report["isa"])
    return report


def read_machine(report):
    missing = [key for key in ("cpu", "core", "part", "build", "flags") if key not in report]
    if missing:
        raise ValueError(f"no {', '.join(missing)}")
    return report


def read_sweep(report):
    """kernel_timings --sweep's JSON -> [{kernel, by_taps, outputs, taps, bytes, median (ms), cv}], one a
    kernel and shape, in the order they ran."""
    rows = {}
    for run in report["benchmarks"]:
        if run.get("run_type") != "aggregate" or run["aggregate_name"] not in ("median", "cv"):
            continue
        row = rows.setdefault(run["run_name"], {"kernel": run["label"]})
        if run["aggregate_name"] == "cv":
            row["cv"] = run["real_time"]
            continue
        if ("over_taps" in run) == ("over_working_set" in run):
            raise ValueError(f"{run['run_name']} is not over taps or over working sets alone")
        row.update(median=run["real_time"], outputs=int(run["outputs"]), taps=int(run["taps"]),
                   bytes=int(run["bytes"]), by_taps="over_taps" in run)
    if not rows or any(len(row) != 7 for row in rows.values()):
        raise ValueError("not a sweep: no median and cv with outputs, taps and bytes for every shape")
    return list(rows.values())
