"""Compilation passes over the kit's programs."""
