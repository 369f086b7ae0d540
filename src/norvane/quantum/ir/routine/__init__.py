"""Routines: compiled programs paired with their source."""
