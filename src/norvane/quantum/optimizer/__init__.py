"""Variational optimisation: parameter maps, gradients, the VQE driver and the QAOA ansatz."""
