"""Whether build B runs a kernel faster or slower than build A, from rounds taken in alternation: in each
round both sides timed each kernel once, in a random order, so that the machine's drift reaches both sides
of a round alike and falls out of their ratio. Per kernel, from the rounds' log-ratios ln(B/A), one
method gives all three figures: the median, its 95% interval between two order statistics, and the sign
test that the interval inverts, so that the interval excludes no change exactly when p < 0.05. The verdict
reads the direction from the interval, and needs the whole of it beyond the smallest effect that matters:
a burst of load that strikes one side of a few rounds can move the median past that effect, but seldom
its interval. Rounds that fall into two groups (one build's speed depending on each launch's memory
layout, say) are named as such, whatever the median says. It sorts the ratios, so its memory grows with
the rounds and no faster."""

import math

from scipy import stats

# The significance level, of this test and of compare.py's U test on two results folders.
ALPHA = 0.05
# A change smaller than this is "within" it, whatever its significance.
SMALLEST_EFFECT = 0.02
# The sign test's two-sided p cannot fall below ALPHA on fewer rounds: 2 / 2**5 = 0.0625.
MIN_ROUNDS = 6
# A round this many smallest effects from the median is far from it; rounds far on one side, in a share
# of at least SPLIT_SHARE and beyond what chance puts on the other, are a group of their own.
FAR = 5
SPLIT_SHARE = 0.1


def log_ratios(rounds, kernel):
    return [math.log(one["B"][kernel] / one["A"][kernel]) for one in rounds]


def interval_ranks(n):
    """The 0-based ranks (low, high) among n sorted values of the median's 95% interval: the widest k with
    P(Binomial(n, 1/2) < k) <= ALPHA / 2 puts it from the k-th smallest to the k-th largest."""
    k = int(stats.binom.ppf(ALPHA / 2, n, 0.5))
    if stats.binom.cdf(k, n, 0.5) <= ALPHA / 2:
        k += 1
    return k - 1, n - k


def sign_test(ratios):
    """The two-sided p of the sign test that the interval inverts: a round of no change at all counts
    against either direction, so that p < ALPHA exactly when the interval excludes 0."""
    ties = sum(1 for ratio in ratios if ratio == 0)
    above = sum(1 for ratio in ratios if ratio > 0) + ties
    below = len(ratios) - above + ties
    return min(1.0, 2 * float(stats.binom.cdf(min(above, below), len(ratios), 0.5)))


def split(ordered, middle, smallest_effect):
    """The group of rounds far from the median on one side, where there is one: (rounds, lowest and highest
    change of B/A in it), else None."""
    far = FAR * smallest_effect
    up = [ratio for ratio in ordered if ratio - middle > far]
    down = [ratio for ratio in ordered if middle - ratio > far]
    group, other = (up, down) if len(up) >= len(down) else (down, up)
    if len(group) < SPLIT_SHARE * len(ordered) or \
            stats.binomtest(len(other), len(group) + len(other), 0.5).pvalue >= ALPHA:
        return None
    return len(group), math.exp(group[0]) - 1, math.exp(group[-1]) - 1


def verdict(ratios, smallest_effect):
    """One kernel's comparison as plain data: rounds, change (B/A - 1, the median's), its interval, p, a
    group of rounds apart (split) and the verdict: slower or faster (the interval beyond
    +-smallest_effect), within (the interval inside it), unclear, split (rounds in two groups, whatever
    the rest says) or too-few."""
    found = {"rounds": len(ratios), "change": None, "low": None, "high": None, "p": None, "split": None}
    if len(ratios) < MIN_ROUNDS:
        return dict(found, verdict="too-few")
    ordered = sorted(ratios)
    n = len(ordered)
    middle = (ordered[(n - 1) // 2] + ordered[n // 2]) / 2
    low, high = interval_ranks(n)
    found.update(change=math.exp(middle) - 1, low=math.exp(ordered[low]) - 1, high=math.exp(ordered[high]) - 1,
                 p=sign_test(ordered), split=split(ordered, middle, smallest_effect))
    if found["split"]:
        return dict(found, verdict="split")
    if found["low"] > smallest_effect:
        return dict(found, verdict="slower")
    if found["high"] < -smallest_effect:
        return dict(found, verdict="faster")
    if -smallest_effect <= found["low"] and found["high"] <= smallest_effect:
        return dict(found, verdict="within")
    return dict(found, verdict="unclear")


def verdicts(record, smallest_effect=SMALLEST_EFFECT):
    """{kernel: verdict} for every kernel that both sides timed, in the record's order."""
    return {kernel: verdict(log_ratios(record["rounds"], kernel), smallest_effect) for kernel in record["kernels"]}
