"""Dispatch layer: back ends that run job specifications and return job results."""
