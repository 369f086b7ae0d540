"""Intermediate representation of quantum programs."""
