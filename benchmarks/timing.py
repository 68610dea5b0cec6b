"""Timing and memory readings shared by the benchmark scripts."""
import time


def best_time(fn, repeat, setup=None):
    """Best wall time of `repeat` runs of fn() (or fn(setup()), setup untimed)."""
    best = float("inf")
    for _ in range(repeat):
        argument = setup() if setup else None
        start = time.perf_counter()
        fn(argument) if setup else fn()
        best = min(best, time.perf_counter() - start)
    return best


def best_times_interleaved(fns, repeat):
    """Best wall time of each of fns over `repeat` rounds, one run of each per
    round, so that a slow spell of the machine falls on all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def status_kib(field):
    """A field of /proc/self/status (VmRSS, VmHWM, ...) in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0
