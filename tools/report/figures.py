"""The figures every table and chart of scripts/run and scripts/bench shows, as plain data: speed-ups and
their noise, counts per multiply-add, multiply-adds per second, the whole program's split and gprof's shares."""

from report.profiles import parse_inclusive

# A figure whose repetitions spread wider than this is marked noisy.
NOISY_CV = 0.05
# Board counts that differ from the emulated ones by more than this are called out.
COUNT_TOLERANCE = 0.02


def names(timings):
    return list(timings["kernels"])


def speedup(timings, kernel):
    """The ratio of the reference kernel's median time to this one's."""
    reference = names(timings)[0]
    return timings["kernels"][reference]["median"] / timings["kernels"][kernel]["median"]


def noisy(timings, kernel):
    """A time that its repetitions do not pin down."""
    return timings["kernels"][kernel]["cv"] > NOISY_CV


def noisy_speedup(timings, kernel):
    """A ratio is as loose as the looser of its two times; the reference's own is 1 by definition."""
    reference = names(timings)[0]
    return kernel != reference and (noisy(timings, kernel) or noisy(timings, reference))


def per_mac(counters):
    """Each event's counts divided by the multiply-adds they were counted over: {event: {kernel: figure}}."""
    macs = counters["outputs"] * counters["taps"]
    return {event: {kernel: value / macs for kernel, value in values.items()}
            for event, values in counters["counters"].items()}


def mmacs(timings, kernel):
    """Millions of multiply-adds a second at the median time."""
    return timings["outputs"] * timings["taps"] / (timings["kernels"][kernel]["median"] / 1000) / 1e6


def program_figures(annotated, hyperfine, peak_kib, values, kernels):
    """The whole run's figures from callgrind_annotate --inclusive=yes text and hyperfine's JSON."""
    def required(marker):
        count = parse_inclusive(annotated, marker)
        if count is None:
            raise ValueError(f"callgrind_annotate shows no {marker!r}")
        return count

    # The driver calls the kernels it reports on; a kernel of the table that it
    # does not call is in the timings and counts, not in the program's run.
    run_kernels = [count for count in (parse_inclusive(annotated, f":{kernel}(") for kernel in kernels)
                   if count is not None]
    if not run_kernels:
        raise ValueError("callgrind_annotate shows none of the kernels")
    run = hyperfine["results"][0]
    return {"instructions": required(":main "), "reading": required(":ValueReader::next("),
            "kernels": sum(run_kernels), "values": values, "wall_median": run["median"],
            "wall_cv": run["stddev"] / run["mean"], "runs": len(run["times"]), "peak_kib": peak_kib}


def profile_figures(flat, kernels):
    """{kernel: (self seconds, calls, share of the kernels' time or None, speed-up over the reference or
    None)} from gprof's parsed flat profile; a kernel with no sample has no speed-up."""
    self_s = {kernel: flat.get(kernel, (0.0, 0))[0] for kernel in kernels}
    total, reference = sum(self_s.values()), self_s[kernels[0]]
    return {kernel: (seconds, flat.get(kernel, (0.0, 0))[1], seconds / total if total > 0 else None,
                     reference / seconds if seconds > 0 and reference > 0 else None)
            for kernel, seconds in self_s.items()}
