"""Visualisation of digital circuits: the layered circuit figure (`circuitview`)."""
