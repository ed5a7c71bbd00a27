"""scripts/compare-rates' figures: how often scripts/compare cries change on kernels that did not change,
and how often it finds a planted slowdown, each with the bound that its trials support. A comparison is
one trial: the kernels of one comparison share its rounds, so their verdicts are not independent."""

from scipy import stats

from compare import paired
from compare.record import read_record

# The confidence of the one-sided Clopper-Pearson bounds.
CONFIDENCE = 0.95


def upper_bound(hits, trials):
    """The rate that hits of trials rule out above, at CONFIDENCE."""
    return 1.0 if hits == trials else float(stats.beta.ppf(CONFIDENCE, hits + 1, trials - hits))


def lower_bound(hits, trials):
    """The rate that hits of trials rule out below, at CONFIDENCE."""
    return 0.0 if hits == 0 else float(stats.beta.ppf(1 - CONFIDENCE, hits, trials - hits + 1))


def tally(same, slowed_kernel, slowed):
    """The comparisons with a false alarm (a verdict of change on a kernel that did not change), of all of
    them; those that found slowed_kernel slower, of the slowed; and how every unchanged kernel read: the
    record that rate_lines tells."""
    alarms, found, readings = 0, 0, {}
    for path in same + slowed:
        alarmed = False
        for kernel, v in paired.verdicts(read_record(path)).items():
            if path in slowed and kernel == slowed_kernel:
                found += v["verdict"] == "slower"
                continue
            readings[v["verdict"]] = readings.get(v["verdict"], 0) + 1
            alarmed |= v["verdict"] in ("slower", "faster")
        alarms += alarmed
    return {"alarms": alarms, "comparisons": len(same) + len(slowed), "found": found, "slowed": len(slowed),
            "kernel": slowed_kernel, "readings": readings}


def rate_lines(counted):
    alarms, comparisons, found, tries = (counted[key] for key in ("alarms", "comparisons", "found", "slowed"))
    readings = ", ".join(f"{n} {verdict}" for verdict, n in sorted(counted["readings"].items()))
    confidence = f"{100 * CONFIDENCE:.0f}%"
    return [f"False alarms: {alarms} of {comparisons} comparisons cried change on a kernel that did not change; "
            f"at {confidence} confidence the rate is below {100 * upper_bound(alarms, comparisons):.1f}%. The "
            f"unchanged kernels read: {readings}.",
            f"Detections: {found} of {tries} comparisons found {counted['kernel']}, slowed by a tenth, slower; at "
            f"{confidence} confidence the rate is above {100 * lower_bound(found, tries):.1f}%."]
