"""Literal model of the mock back end's result fabrication, drawing from a given generator."""

import numpy as np


def simulate_shots(task, rng, p_full=0.99, p_empty=0.01):
    """[(pre, post), ...] for every shot, drawn in the documented order."""
    n = len(task.lattice.sites)
    prob = np.array([p_full if entry == 1 else p_empty for entry in task.lattice.filling])
    second = np.full(n, 0.5)
    shots = []
    for _ in range(task.nshots):
        pre = rng.binomial(1, prob, n)
        post = rng.binomial(1, pre * second, n)
        shots.append((pre.tolist(), post.tolist()))
    return shots
