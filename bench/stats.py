"""Order statistics and the uniformity test, shared by the benchmark driver and its report."""

import random
import statistics


def median(values):
    values = [v for v in values if v is not None and v == v]
    return statistics.median(values) if values else None


def percentile(values, q):
    """Linear interpolation between closest ranks; q in [0, 100]."""
    values = sorted(values)
    if not values:
        return None
    pos = (len(values) - 1) * q / 100
    lo = int(pos)
    hi = min(lo + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (pos - lo)


def uniformity(times, window_ms, bucket_ms=100, sims=10000):
    """Chi-square statistic of the arrival times in the window's buckets against a uniform
    spread, with a Monte Carlo p-value: the share of `sims` uniform draws of the same size whose
    statistic is at least as large. Unlike the asymptotic chi-square distribution, which wants
    five arrivals per bucket, it holds for any count."""
    k = window_ms // bucket_ms
    counts = [0] * k
    for t in times:
        if 0 <= t < window_ms:
            counts[int(t // bucket_ms)] += 1
    n = sum(counts)
    if n == 0:
        return {"n": 0, "p": None, "max_bucket": 0, "counts": counts}
    # The statistic grows with the sum of squared counts, so that sum is compared instead.
    observed = sum(c * c for c in counts)
    rng = random.Random(20240)
    at_least = 0
    for _ in range(sims):
        sim = [0] * k
        for b in rng.choices(range(k), k=n):
            sim[b] += 1
        at_least += sum(c * c for c in sim) >= observed
    return {"n": n, "chi2": round(observed * k / n - n, 2), "p": (at_least + 1) / (sims + 1),
            "max_bucket": max(counts), "counts": counts}
