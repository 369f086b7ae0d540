"""Builders of quantum programs and the value types they share."""
