"""Opt-in progress reports for long work.

The kit's long calls take a keyword-only ``progress`` argument:

- ``False`` or ``None`` (the default): silent.
- ``True``: a progress bar (tqdm) on standard error.
- a callable ``progress(done, total)``: called with the work done so far and the whole work,
  in the call's units: first with ``done == 0`` when the work starts, then as it advances
  (``done`` never decreasing), and with ``done == total`` when it completes (work that ends
  early, such as an optimiser that converges, jumps to ``total``). Whatever it raises stops
  the work and propagates to the caller.

Units: ``VQE.run``: iterations (total ``max_iter``); ``run_batch``: circuits;
``AnalogGate.run`` and ``evolve``: simulated time in seconds (total the program's duration,
summed over the evolutions of a noisy run). Python loops report per iteration or per item;
native engines at most every 0.1 s of work, so a report never sits on a hot path.
"""

from __future__ import annotations

import inspect
import sys
from collections.abc import Callable
from typing import Union

__all__ = ["ProgressArg", "Tracker", "iteration_callback", "tracker"]

ProgressArg = Union[bool, None, Callable[[float, float], object]]

# The bar's layout when its units are fractional (simulated time): tqdm's default shows a
# float's every digit.
_FRACTIONAL_FORMAT = "{l_bar}{bar}| {n:.3g}/{total:.3g} {unit} [{elapsed}<{remaining}]"


class Tracker:
    """The progress of one piece of work of `total` units, told to the caller's function
    and/or shown as a bar. Use it as a context manager: leaving it closes the bar (without
    completing it when the work failed)."""

    def __init__(self, total: float, report: Callable[[float, float], object] | None = None,
                 bar=None, scale: float = 1.0):
        self.total = total
        self._report = report
        self._bar = bar
        self._scale = scale
        self._done: float = 0
        if report is not None:
            report(0, total)

    @property
    def active(self) -> bool:
        """Whether anything listens: a silent tracker's updates cost nothing."""
        return self._report is not None or self._bar is not None

    @property
    def done(self) -> float:
        return self._done

    def update(self, done: float, note: str | None = None) -> None:
        """The work has reached `done` units (kept within [last done, total]); `note` (the
        bar only) tells what it is doing now."""
        if note is not None and self._bar is not None:
            self._bar.set_postfix_str(note, refresh=False)
        done = min(done, self.total)
        if done <= self._done:
            if note is not None and self._bar is not None:
                self._bar.refresh()
            return
        self._done = done
        if self._bar is not None:
            self._bar.update((done * self._scale if self._scale != 1 else done) - self._bar.n)
        if self._report is not None:
            self._report(done, self.total)

    def finish(self) -> None:
        """The work completed: reports `total`."""
        self.update(self.total)

    def hook(self, offset: float = 0.0) -> Callable[[float], None] | None:
        """For native work: a function of the units reached in a part of the work that starts
        at `offset`; None when nothing listens, so that the engine makes no call at all."""
        if not self.active:
            return None
        if offset == 0.0:
            return self.update
        return lambda done: self.update(offset + done)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> Tracker:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def tracker(progress: ProgressArg, total: float, *, desc: str, unit: str, scale: float = 1.0) -> Tracker:
    """A Tracker of `total` units for the `progress` argument of a call (see the module's
    text). `desc` and `unit` label the bar, which shows the work's units times `scale` (for
    instance seconds shown as microseconds); a callable always receives the unscaled units.
    TypeError for a `progress` that is neither a bool, None nor callable."""
    if progress is None or progress is False:
        return Tracker(total)
    if progress is True:
        from tqdm import tqdm  # type: ignore[import-untyped]

        fractional = scale != 1 or not float(total).is_integer()
        bar = tqdm(total=total * scale if scale != 1 else total, desc=desc, unit=unit, file=sys.stderr,
                   dynamic_ncols=True, bar_format=_FRACTIONAL_FORMAT if fractional else None)
        return Tracker(total, bar=bar, scale=scale)
    if callable(progress):
        return Tracker(total, report=progress)
    raise TypeError(f"progress must be True, False, None or a callable progress(done, total), "
                    f"got {type(progress).__name__}")


def iteration_callback(track: Tracker, callback: Callable | None = None) -> Callable:
    """A callback for scipy.optimize.minimize that calls `callback` (the caller's own, if any)
    and then counts one iteration into `track`, returning what `callback` returns.

    minimize hands the intermediate result to a callback whose only parameter is named
    intermediate_result and the current point to any other, so the one made here takes the
    form of `callback` and receives what `callback` expects.
    """
    iterations = 0

    def advance() -> None:
        nonlocal iterations
        iterations += 1
        track.update(iterations)

    def by_result(intermediate_result):
        result = None if callback is None else callback(intermediate_result=intermediate_result)
        advance()
        return result

    def by_point(*args):
        result = callback(*args)
        advance()
        return result

    if callback is None or set(inspect.signature(callback).parameters) == {"intermediate_result"}:
        return by_result
    return by_point
