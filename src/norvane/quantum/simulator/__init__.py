"""Simulators of quantum programs."""
