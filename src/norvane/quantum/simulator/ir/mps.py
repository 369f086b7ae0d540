"""The final state of a matrix-product-state evolution, as the emulator gate returns it."""

from __future__ import annotations

import numpy as np

from .._rydberg import MpsState

__all__ = ["MPSState"]


class MPSState:
    """A register's state as a matrix-product state (`AnalogGate.evolve(solver_name="tdvp")`).

    Atoms are the filled sites in site order everywhere, whatever order the engine's chain
    took internally. `bond_dims` are the bond dimensions along that chain, and
    `discarded_weight` the squared norm that truncation dropped over the whole run (relative,
    summed over every truncation). `capped` is True when bonds reached `max_bond_dim` short of
    their exact dimension: they were then crossed by one-site updates, which drop nothing but
    keep the state within the capped bonds, an error the discarded weight does not count
    (compare with a run at a larger `max_bond_dim`). Uncapped, the discarded weight measures
    the error of every quantity computed here.
    """

    def __init__(self, state: MpsState, discarded_weight: float, capped: bool = False):
        if not isinstance(state, MpsState):
            raise TypeError(f"MPSState wraps the engine's MpsState, got {type(state).__name__}")
        self._state = state
        self.discarded_weight = float(discarded_weight)
        self.capped = bool(capped)

    @property
    def n_atoms(self) -> int:
        return self._state.n_atoms

    @property
    def bond_dims(self) -> list[int]:
        return list(self._state.bond_dims)

    def densities(self) -> np.ndarray:
        """The Rydberg density <n_k> of every atom."""
        return self._state.densities()

    def correlations(self) -> np.ndarray:
        """<n_j n_k> for every pair, an (n, n) array whose diagonal holds the densities."""
        return self._state.correlations()

    def sample(self, shots: int, seed=None) -> np.ndarray:
        """`shots` readouts drawn exactly from the state with NumPy's ``default_rng(seed)``: an
        int array of shape (shots, atoms), 1 where the atom was found in its Rydberg state."""
        return self._sample(shots, np.random.default_rng(seed))

    def _sample(self, shots: int, rng: np.random.Generator) -> np.ndarray:
        if self.n_atoms == 0:
            return np.zeros((shots, 0), dtype=np.int64)
        return self._state.sample(rng.random(shots * self.n_atoms))

    def to_statevector(self) -> np.ndarray:
        """The amplitudes in the exact engine's full basis (first atom most significant), for
        at most 26 atoms."""
        return self._state.to_statevector()

    def __repr__(self) -> str:
        return (f"MPSState(n_atoms={self.n_atoms}, max_bond_dim={max(self.bond_dims, default=1)}, "
                f"discarded_weight={self.discarded_weight:.3g}, capped={self.capped})")
