"""Helpers shared by the benchmarks: the machine's description and best-of timing."""

import json
import os
import platform
import subprocess
import sys
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
    return best_of(fn, repeats, clock)[0]


def best_of(fn, repeats: int, clock=time.perf_counter):
    """(the fastest of `repeats` timed calls of fn, what the last call returned)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = clock()
        result = fn()
        best = min(best, clock() - start)
    return best, result


def best_cpu_seconds(draw, repeats: int):
    """(the least CPU time of `repeats` calls of draw, the UTF-8 size of what it returned, or
    None when that is not text)."""
    seconds, out = best_of(draw, repeats, time.process_time)
    return seconds, len(out.encode()) if isinstance(out, str) else None


def measure_in_subprocess(script, args, threads, timeout=900):
    """Runs `script --worker *args` in a fresh interpreter with `threads` compute threads and
    returns (seconds, note) from the last JSON line it prints: {"seconds": s} or {"skip": why}."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    cmd = [sys.executable, script, "--worker", *map(str, args)]
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if not lines:
        return None, "failed: " + (out.stderr.strip().splitlines() or ["?"])[-1][:80]
    result = json.loads(lines[-1])
    if result.get("seconds") is None:
        return None, result.get("skip")
    return result["seconds"], None


def measure_fastest_setting(script, args, threads, settings, label):
    """The fastest of measure_in_subprocess(script, (*args, setting)) over `settings`: a peer's
    tuning knob tried at each value. The note names the value ("label value")."""
    best, note = None, None
    for setting in settings:
        seconds, why = measure_in_subprocess(script, (*args, setting), threads)
        if seconds is not None and (best is None or seconds < best):
            best, note = seconds, f"{label} {setting}"
        elif best is None:
            note = why
    return best, note


def report_worker(make, repeats):
    """Worker side of measure_in_subprocess: times the callable that make() returns."""
    try:
        fn = make()
    except KeyError:
        print(json.dumps({"skip": "not applicable"}))
        return
    except ImportError as e:
        print(json.dumps({"skip": f"not installed ({e.name})"}))
        return
    fn()  # warm-up: imports, caches, page faults
    print(json.dumps({"seconds": best_seconds(fn, repeats)}))


def write_results(path, lines):
    """Writes a benchmark's result lines to `path` (creating bench/results/) and prints them."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))
