"""Chunked submission to an executor, with results in input order and failures named by index."""

from __future__ import annotations

import math
import os
import pickle
from collections.abc import Callable, Sequence
from concurrent.futures import Executor

from norvane.quantum.simulator.digital import dense_sim

# Chunks per worker when no chunk size is asked for: workers finish together on even work,
# and each task's transfer and scheduling cost is spread over as many items as that allows.
CHUNKS_PER_WORKER = 2


class BatchError(RuntimeError):
    """An item of a batch failed (raised, or its worker died); `index` is its position in the
    batch, `indices` every position whose result was lost with it, `error` the cause."""

    def __init__(self, index: int, error: BaseException, indices: range | None = None):
        self.index = index
        self.error = error
        self.indices = indices if indices is not None else range(index, index + 1)
        if len(self.indices) > 1:
            where = f"items {self.indices.start}-{self.indices.stop - 1} of the batch were lost"
        else:
            where = f"item {index} of the batch failed"
        super().__init__(f"{where}: {type(error).__name__}: {error}")
        self.__cause__ = error

    def __reduce__(self):
        return type(self), (self.index, self.error, self.indices)


def transferable(error: BaseException) -> BaseException:
    """The error itself when it pickles, else a RuntimeError with its text (so that it can
    cross from a worker process to the caller)."""
    try:
        pickle.dumps(error)
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


def run_guarded(work: Callable, items: Sequence, first: int) -> list:
    """work(item) for every item; a failure is raised as a BatchError naming its index."""
    results = []
    for offset, item in enumerate(items):
        try:
            results.append(work(item))
        except Exception as error:
            raise BatchError(first + offset, transferable(error)) from error
    return results


def one_kernel_thread_in_workers(caller_pid: int) -> None:
    """In a worker process (not the caller's own), limits the simulator's kernels to one
    thread: workers share the machine's cores, and kernels that each split their loops over
    every core would oversubscribe them. Results do not depend on it."""
    if os.getpid() != caller_pid:
        dense_sim._set_max_threads(1)


def check_chunk_size(chunk_size) -> None:
    if chunk_size is not None and (type(chunk_size) is not int or chunk_size < 1):
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")


def worker_count(executor: Executor | None) -> int:
    """How many workers the executor has, where it tells (the standard pools' _max_workers, the
    threads of a Dask client's workers); else this machine's CPU count; 1 without an executor."""
    if executor is None:
        return 1
    workers = getattr(executor, "_max_workers", None)
    nthreads = getattr(getattr(executor, "_client", None), "nthreads", None)
    if workers is None and callable(nthreads):
        workers = sum(nthreads().values())
    return max(1, workers or os.cpu_count() or 1)


def chunk_bounds(n: int, chunk_size: int | None, workers: int = 1) -> list[range]:
    """Consecutive index ranges of chunk_size covering range(n); by default CHUNKS_PER_WORKER
    chunks per worker."""
    check_chunk_size(chunk_size)
    if chunk_size is None:
        chunk_size = max(1, math.ceil(n / (CHUNKS_PER_WORKER * workers)))
    return [range(start, min(start + chunk_size, n)) for start in range(0, n, chunk_size)]


def map_chunks(executor: Executor | None, task: Callable, chunk_args: Sequence[tuple],
               bounds: Sequence[range], done: Callable[[int], object] | None = None) -> list:
    """The concatenated results of task(*args, first_index) over the chunks, in order. With
    no executor the chunks run here; otherwise they are submitted together and a failure
    cancels what has not started, then raises a BatchError. `done`, when given, is called here
    with the number of items whose results are in, after each chunk in order."""
    if executor is None:
        results = []
        for args, span in zip(chunk_args, bounds):
            results.extend(task(*args, span.start))
            if done is not None:
                done(span.stop)
        return results
    futures = [executor.submit(task, *args, span.start) for args, span in zip(chunk_args, bounds)]
    results = []
    try:
        for future, span in zip(futures, bounds):
            try:
                results.extend(future.result())
            except BatchError:
                raise
            except Exception as error:  # the worker died, or the chunk could not travel
                raise BatchError(span.start, error, span) from error
            if done is not None:
                done(span.stop)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return results
