"""Simulators of digital (gate-model) circuits."""
