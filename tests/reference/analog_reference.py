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

    def density_matrix(self, dephasing=0.0, relaxation=0.0):
        """The final density matrix of the Lindblad master equation with the operators
        sqrt(dephasing) n_k and sqrt(relaxation) |g><r|_k on every atom, from all-ground."""
        dim = 2**self.n
        jumps = [np.sqrt(dephasing) * m for m in self.numbers] + [np.sqrt(relaxation) * m for m in self.lowers]
        decay = sum((l.conj().T @ l for l in jumps), np.zeros((dim, dim), dtype=complex))

        def f(t, y):
            rho = y.reshape(dim, dim)
            h = self.matrix(t)
            d = -1j * (h @ rho - rho @ h) - 0.5 * (decay @ rho + rho @ decay)
            for l in jumps:
                d += l @ rho @ l.conj().T
            return d.ravel()

        rho = np.zeros((dim, dim), dtype=complex)
        rho[0, 0] = 1.0
        duration = self.hamiltonian.drive.amplitude.times[-1]
        ode = complex_ode(f)
        ode.set_integrator("dop853", atol=1e-12, rtol=1e-10, nsteps=10**6)
        ode.set_initial_value(rho.ravel(), 0.0)
        ode.integrate(duration)
        return ode.y.reshape(dim, dim)

    def sample(self, psi, shots, seed):
        p = np.abs(psi) ** 2
        p /= p.sum()
        picks = np.random.default_rng(seed).choice(len(p), size=shots, p=p)
        return np.array([[(i >> (self.n - 1 - k)) & 1 for k in range(self.n)] for i in picks], dtype=int).reshape(
            shots, self.n
        )


def fidelity(a, b):
    return abs(np.vdot(a, b)) ** 2 / (np.vdot(a, a).real * np.vdot(b, b).real)


def dop853(f, t0, t1, y0, atol, rtol, nsteps):
    """Hairer's DOP853 written out literally (step-size control, initial step guess, step
    limit) with the settings SciPy's `ode` passes: safety 0.9, step ratio within [1/3.33, 6].
    Returns the final state and the accepted times. (SciPy's current dop853 shrinks rejected
    steps by the bound alone, so its step sequence is not this one.)"""
    from scipy.integrate._ivp.dop853_coefficients import A, B, C, E3, E5

    y = np.asarray(y0, dtype=float).copy()
    n = len(y)
    facc1, facc2, safe, expo1 = 1 / 0.3, 1 / 6.0, 0.9, 1 / 8
    t, hmax = t0, t1 - t0
    k1 = f(t, y)
    # Initial step guess.
    sk = atol + rtol * np.abs(y)
    dnf, dny = np.sum((k1 / sk) ** 2), np.sum((y / sk) ** 2)
    h = 1e-6 if dnf <= 1e-10 or dny <= 1e-10 else np.sqrt(dny / dnf) * 0.01
    h = min(h, hmax)
    der2 = np.sqrt(np.sum(((f(t + h, y + h * k1) - k1) / sk) ** 2)) / h
    der12 = max(abs(der2), np.sqrt(dnf))
    h1 = max(1e-6, h * 1e-3) if der12 <= 1e-15 else (0.01 / der12) ** (1 / 8)
    h = min(100 * h, h1, hmax)
    facold, steps, reject, last, accepted = 1e-4, 0, False, False, [t0]
    while True:
        if steps > nsteps:
            raise RuntimeError(f"more than nsteps={nsteps} steps")
        if t + 1.01 * h - t1 > 0:
            h, last = t1 - t, True
        steps += 1
        k = [k1]
        for s in range(1, 12):
            k.append(f(t + C[s] * h, y + h * sum(A[s, j] * k[j] for j in range(s))))
        increment = sum(B[j] * k[j] for j in range(12))
        y_new = y + h * increment
        sk = atol + rtol * np.maximum(np.abs(y), np.abs(y_new))
        err5 = np.sum((sum(E5[j] * k[j] for j in range(12)) / sk) ** 2)
        err3 = np.sum((sum(E3[j] * k[j] for j in range(12)) / sk) ** 2)
        deno = err5 + 0.01 * err3
        err = abs(h) * err5 * np.sqrt(1 / (n * (deno if deno > 0 else 1.0)))
        fac11 = err**expo1
        fac = max(facc2, min(facc1, fac11 / safe))
        h_new = h / fac
        if err <= 1:
            facold = max(err, 1e-4)
            t, y = t + h, y_new
            k1 = f(t, y)
            accepted.append(t)
            if last:
                return y, accepted
            h_new = min(h_new, hmax)
            if reject:
                h_new = min(h_new, h)
            reject = False
        else:
            h_new = h / min(facc1, fac11 / safe)
            reject, last = True, False
        h = h_new
