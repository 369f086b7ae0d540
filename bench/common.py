"""Helpers shared by the benchmarks: the machine's description and best-of timing."""

import platform
import subprocess
import time


def machine() -> str:
    """Processor model, logical CPU count and Python version, for result files."""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        model = fields.get("Model name", "").strip() or platform.processor()
        cpus = fields.get("CPU(s)", "?").strip()
    except (OSError, subprocess.CalledProcessError):
        model, cpus = platform.processor() or platform.machine(), "?"
    return f"{model}, {cpus} CPU(s), Python {platform.python_version()}"


def best_seconds(fn, repeats: int, clock=time.perf_counter) -> float:
    """The fastest of `repeats` timed calls of fn, timed by `clock` (wall time by default;
    time.process_time counts only this process's CPU time, steadier on a shared machine)."""
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best
