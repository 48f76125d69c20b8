"""Timing shared by the benchmarks: interleaved best-of runs, and how much CPU time the
machine's hypervisor gave to other guests meanwhile.

On a shared virtual machine a slow spell can last seconds. Timing one contender's repeats
and then the other's lets such a spell fall on one side of a ratio only; taking turns in
every repeat spreads it over both, and the best of each is then comparable.
"""
import time


def interleaved_best(repeats, runs):
    """Best wall time and last result of each named run of `runs` (name -> callable), the runs
    taking turns in every repeat."""
    best = {name: float("inf") for name in runs}
    results = {}
    for _ in range(repeats):
        for name, run in runs.items():
            # Dropped first, so that unmapping a large earlier result is not timed.
            results[name] = None
            start = time.perf_counter()
            result = run()
            best[name] = min(best[name], time.perf_counter() - start)
            results[name] = result
    return best, results


def _cpu_jiffies():
    """(stolen, total) jiffies over all CPUs since boot; zeros where /proc/stat is missing."""
    try:
        with open("/proc/stat") as stat:
            fields = [int(v) for v in stat.readline().split()[1:9]]
    except (OSError, ValueError):
        return 0, 0
    # user nice system idle iowait irq softirq steal; guest time is already in user.
    return (fields[7] if len(fields) == 8 else 0), sum(fields)


class StolenTime:
    """Share of the CPU time since construction that the hypervisor gave to other guests."""

    def __init__(self):
        self._start = _cpu_jiffies()

    def share(self):
        stolen, total = _cpu_jiffies()
        elapsed = total - self._start[1]
        return (stolen - self._start[0]) / elapsed if elapsed > 0 else 0.0
