"""Compilation of emulator programs into Hamiltonians."""
