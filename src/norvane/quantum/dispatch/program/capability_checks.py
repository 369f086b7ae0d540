"""Checks of a job against a device's capabilities: every problem found, in one list."""

from __future__ import annotations

import math
from typing import Any

# Problems listed one by one, in a message and in an answer, before the rest are only counted.
MAX_LISTED_PROBLEMS = 100

# Relative slack for comparisons of floats that went through JSON and unit conversions.
_SLACK = 1e-9


def capability_problems(job: Any, caps: Any) -> list[str]:
    """The ways in which job specification `job` exceeds capabilities `caps` (records of
    norvane.quantum.dispatch.program); empty when the job fits."""
    problems: list[str] = []
    task = caps.task
    if not task.nshots_min <= job.nshots <= task.nshots_max:
        problems.append(f"nshots {job.nshots} is outside the allowed range [{task.nshots_min}, {task.nshots_max}]")
    problems += _lattice_problems(job.lattice, caps.lattice)
    hamiltonian = job.effective_hamiltonian
    if hamiltonian is not None:
        problems += _drive_problems(hamiltonian.drive, caps.drive)
        problems += _local_detuning_problems(hamiltonian.local_detuning, caps.local_detuning)
    return problems


def summary(problems: list[str]) -> str:
    """One message numbering the problems from 1 (at most MAX_LISTED_PROBLEMS listed)."""
    listed = [f"{i}) {problem}" for i, problem in enumerate(problems[:MAX_LISTED_PROBLEMS], start=1)]
    if len(problems) > MAX_LISTED_PROBLEMS:
        listed.append(f"and {len(problems) - MAX_LISTED_PROBLEMS} more")
    return f"the job does not fit the device: {'; '.join(listed)}"


def _exceeds(value: float, limit: float) -> bool:
    return value > limit + _SLACK * abs(limit)


def _lattice_problems(lattice: Any, caps: Any) -> list[str]:
    problems = []
    sites = lattice.sites
    filled = sum(1 for entry in lattice.filling if entry == 1)
    if len(sites) > caps.max_sites:
        problems.append(f"the register has {len(sites)} sites, more than the {caps.max_sites} allowed")
    if filled > caps.max_filled_sites:
        problems.append(f"the register has {filled} filled sites, more than the {caps.max_filled_sites} allowed")
    if filled == 0:
        problems.append("the register has no filled site")
    for i, (x, y) in enumerate(sites):
        if x < 0 or y < 0 or _exceeds(x, caps.width) or _exceeds(y, caps.height):
            problems.append(f"site {i} at ({x}, {y}) lies outside the area [0, {caps.width}] x [0, {caps.height}] m")
    # The pairwise check grows with the square of the sites: only for registers the device takes.
    if len(sites) <= caps.max_sites:
        problems += _spacing_problems(sites, caps.min_spacing)
    return problems


def _spacing_problems(sites: Any, min_spacing: float) -> list[str]:
    problems = []
    spacing = min_spacing * (1 - _SLACK)
    for i in range(len(sites)):
        xi, yi = sites[i]
        for j in range(i + 1, len(sites)):
            distance = math.hypot(sites[j][0] - xi, sites[j][1] - yi)
            if distance < spacing:
                problems.append(f"sites {i} and {j} are {distance:.4g} m apart, closer than the minimum "
                                f"spacing {min_spacing} m")
    return problems


def _waveform_problems(name: str, waveform: Any, low: float, high: float, slew_max: float, unit: str) -> list[str]:
    problems = []
    for t, value in zip(waveform.times, waveform.values):
        if value < low - _SLACK * abs(low) or _exceeds(value, high):
            problems.append(f"{name} {value} {unit} at t = {t} s is outside [{low}, {high}] {unit}")
    points = list(zip(waveform.times, waveform.values))
    for (t0, v0), (t1, v1) in zip(points, points[1:]):
        change = abs(v1 - v0)
        if change == 0:
            continue
        if t1 == t0 or _exceeds(change / (t1 - t0), slew_max):
            rate = "a jump" if t1 == t0 else f"{change / (t1 - t0):.4g} {unit}/s"
            problems.append(f"{name} changes by {rate} between t = {t0} s and t = {t1} s, faster than "
                            f"{slew_max} {unit}/s")
    return problems


def _drive_problems(drive: Any, caps: Any) -> list[str]:
    problems = []
    duration = drive.amplitude.duration
    if _exceeds(duration, caps.duration_max):
        problems.append(f"the program lasts {duration} s, longer than the {caps.duration_max} s allowed")
    problems += _waveform_problems("drive amplitude", drive.amplitude, 0.0, caps.rabi_frequency_max,
                                   caps.rabi_slew_rate_max, "rad/s")
    problems += _waveform_problems("drive detuning", drive.detuning, caps.detuning_min, caps.detuning_max,
                                   caps.detuning_slew_rate_max, "rad/s")
    return problems


def _local_detuning_problems(local: Any, caps: Any) -> list[str]:
    if local is None:
        return []
    if caps is None:
        return ["the device has no local detuning"]
    return _waveform_problems("local detuning", local.waveform, -caps.detuning_max, caps.detuning_max, caps.slew_rate_max, "rad/s")
