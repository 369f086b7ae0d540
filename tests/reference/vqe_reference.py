"""Literal NumPy models of the VQE optimiser loops, for comparison with the native ones."""

import numpy as np


def adam(cost, gradient, x0, max_iter, lr=0.1, beta1=0.9, beta2=0.999, eps=1e-8, tol=1e-6):
    """(history, final point, converged, iterations) of the Adam loop."""
    x = np.array(x0, dtype=np.float64)
    m, v = np.zeros_like(x), np.zeros_like(x)
    history = [(x.copy(), cost(x))]
    for t in range(1, max_iter + 1):
        g = gradient(x)
        m = beta1 * m + (1 - beta1) * g
        v = beta2 * v + (1 - beta2) * g**2
        m_hat = m / (1 - beta1**t)
        v_hat = v / (1 - beta2**t)
        x_new = x - lr * m_hat / (np.sqrt(v_hat) + eps)
        history.append((x_new.copy(), cost(x_new)))
        if np.max(np.abs(x_new - x)) < tol:
            return history, x_new, True, t
        x = x_new
    return history, x, False, max_iter


def gradient_descent(cost, gradient, x0, max_iter, lr=0.1, tol=1e-6):
    """(history, final point, converged, iterations) of the gradient-descent loop."""
    x = np.array(x0, dtype=np.float64)
    history = [(x.copy(), cost(x))]
    for t in range(1, max_iter + 1):
        x_new = x - lr * gradient(x)
        history.append((x_new.copy(), cost(x_new)))
        if np.max(np.abs(x_new - x)) < tol:
            return history, x_new, True, t
        x = x_new
    return history, x, False, max_iter
