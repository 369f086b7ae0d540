"""Literal model of the analog emulator: the dense Hamiltonian H(t) built term by term from
its formula with Kronecker products, integrated with SciPy's `complex_ode`, and shots drawn
with `Generator.choice` over the normalised final probabilities."""

import numpy as np
from scipy.integrate import complex_ode

SIGMA_GR = np.array([[0, 1], [0, 0]], dtype=complex)  # |g><r| with g = 0, r = 1
N_R = np.diag([0.0, 1.0]).astype(complex)


def on_atom(op, k, n):
    """`op` on atom k of n (atom 0 the most significant factor)."""
    result = np.eye(1, dtype=complex)
    for j in range(n):
        result = np.kron(result, op if j == k else np.eye(2))
    return result


def waveform_at(waveform, t):
    return float(np.interp(t, waveform.times, waveform.values))


class ReferenceEmulator:
    def __init__(self, program, blockade_radius=None):
        register = program.register
        g = register.geometry
        filled = [k for k, f in enumerate(g.filling) if f == 1]
        self.positions = [np.array(g.sites[k]) for k in filled]
        self.n = len(filled)
        self.hamiltonian = program.hamiltonian
        self.weights = None
        if self.hamiltonian is not None and self.hamiltonian.local_detuning is not None:
            self.weights = [self.hamiltonian.local_detuning.weights[k] for k in filled]
        n = self.n
        self.lowers = [on_atom(SIGMA_GR, k, n) for k in range(n)]
        self.numbers = [on_atom(N_R, k, n) for k in range(n)]
        self.interaction = np.zeros((2**n, 2**n), dtype=complex)
        for j in range(n):
            for k in range(j + 1, n):
                r = np.linalg.norm(self.positions[j] - self.positions[k])
                self.interaction += register.c6 / r**6 * self.numbers[j] @ self.numbers[k]

    def matrix(self, t):
        h = self.hamiltonian
        drive = h.drive
        omega = waveform_at(drive.amplitude, t)
        phi = waveform_at(drive.phase, t)
        delta = waveform_at(drive.detuning, t)
        local = 0.0 if self.weights is None else waveform_at(h.local_detuning.waveform, t)
        m = self.interaction.copy()
        for k in range(self.n):
            m += omega / 2 * (np.exp(1j * phi) * self.lowers[k] + np.exp(-1j * phi) * self.lowers[k].conj().T)
            w = 0.0 if self.weights is None else self.weights[k]
            m -= (delta + w * local) * self.numbers[k]
        return m

    def final_state(self, solver_name="dop853", atol=1e-14, rtol=1e-7, nsteps=2147483647):
        psi = np.zeros(2**self.n, dtype=complex)
        psi[0] = 1.0
        if self.hamiltonian is None or self.hamiltonian.drive.amplitude.times[-1] == 0:
            return psi
        duration = self.hamiltonian.drive.amplitude.times[-1]
        ode = complex_ode(lambda t, y: -1j * (self.matrix(t) @ y))
        ode.set_integrator(solver_name, atol=atol, rtol=rtol, nsteps=nsteps)
        ode.set_initial_value(psi, 0.0)
        ode.integrate(duration)
        if not ode.successful():
            raise RuntimeError(f"reference integration failed with code {ode.get_return_code()}")
        return ode.y

    def sample(self, psi, shots, seed):
        p = np.abs(psi) ** 2
        p /= p.sum()
        picks = np.random.default_rng(seed).choice(len(p), size=shots, p=p)
        return np.array([[(i >> (self.n - 1 - k)) & 1 for k in range(self.n)] for i in picks], dtype=int).reshape(
            shots, self.n
        )


def fidelity(a, b):
    return abs(np.vdot(a, b)) ** 2 / (np.vdot(a, a).real * np.vdot(b, b).real)
