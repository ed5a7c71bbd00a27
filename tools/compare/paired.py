"""Whether build B runs a kernel faster or slower than build A, from rounds taken in alternation: in each
round both sides timed each kernel once, in a random order, so that the machine's drift reaches both sides
of a round alike and falls out of their ratio. Per kernel, from the rounds' log-ratios ln(B/A): the ratio
(their median), its 95% interval (SciPy's bootstrap, seeded, so that the same rounds give the same
interval), and the p-value of Wilcoxon's signed-rank test; then a verdict that needs both significance and
a change beyond the smallest effect that matters, over the whole interval: a burst of load that strikes one
side of a few rounds can move the median past that effect, but seldom its interval."""

import math

import numpy
from scipy import stats

# The significance level, of this test and of compare.py's U test on two results folders.
ALPHA = 0.05
# A change smaller than this is "within" it, whatever its significance.
SMALLEST_EFFECT = 0.02
# Wilcoxon's two-sided p cannot fall below ALPHA on fewer pairs: 2 / 2**5 = 0.0625.
MIN_ROUNDS = 6


def log_ratios(rounds, kernel):
    return [math.log(one["B"][kernel] / one["A"][kernel]) for one in rounds]


def interval(ratios):
    """The 95% interval of the median log-ratio."""
    if len(set(ratios)) == 1:
        return ratios[0], ratios[0]
    found = stats.bootstrap((numpy.array(ratios),), numpy.median, confidence_level=1 - ALPHA, method="percentile",
                            random_state=numpy.random.default_rng(0)).confidence_interval
    return found.low, found.high


def verdict(ratios, smallest_effect):
    """One kernel's comparison as plain data: rounds, change (B/A - 1), its interval, p and the verdict:
    slower or faster (significant, and the interval beyond +-smallest_effect), within (the interval inside
    it), unclear, or too-few."""
    found = {"rounds": len(ratios), "change": None, "low": None, "high": None, "p": None}
    if len(ratios) < MIN_ROUNDS:
        return dict(found, verdict="too-few")
    middle = float(numpy.median(ratios))
    low, high = interval(ratios)
    p = 1.0 if not any(ratios) else float(stats.wilcoxon(ratios).pvalue)
    found.update(change=math.exp(middle) - 1, low=math.exp(low) - 1, high=math.exp(high) - 1, p=p)
    if p < ALPHA and found["low"] > smallest_effect:
        return dict(found, verdict="slower")
    if p < ALPHA and found["high"] < -smallest_effect:
        return dict(found, verdict="faster")
    if -smallest_effect <= found["low"] and found["high"] <= smallest_effect:
        return dict(found, verdict="within")
    return dict(found, verdict="unclear")


def verdicts(record, smallest_effect=SMALLEST_EFFECT):
    """{kernel: verdict} for every kernel that both sides timed, in the record's order."""
    return {kernel: verdict(log_ratios(record["rounds"], kernel), smallest_effect) for kernel in record["kernels"]}
