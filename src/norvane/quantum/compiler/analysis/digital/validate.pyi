"""
Static checks of a digital circuit, reported together in one ValidationError.
"""

from collections.abc import Iterable
from typing import Optional

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.measurement import MeasurementBasis



class ValidationError(Exception):
    """Raised when a DigitalCircuit fails validation."""

class DigitalCircuitValidator:
    """
    Static checks of a DigitalCircuit before it runs.

    `validate` collects the error lines of three checks, in this order: register bounds of
    every qubit and classical bit, the order of measurements, gates and conditional
    instructions, and (when `validate_params` is true) unresolved variables in the
    parameters of parametric gates. If any line was found it raises one ValidationError that
    lists them all, numbered from 1. The settings are plain attributes, read at every
    validation.
    """

    def __init__(self, validate_params: bool = True, supported_measurement_bases: Optional[Iterable[MeasurementBasis]] = None, allow_mid_circuit_measurement: bool = False) -> None:
        """
        Store the settings: `validate_params` and `allow_mid_circuit_measurement` as
        truth values, `supported_measurement_bases` as a new set (None: X, Y and Z).
        """

    def validate(self, circuit: DigitalCircuit) -> None:
        """
        Return None if `circuit` passes every check; otherwise raise ValidationError
        with every error line, numbered from 1.
        """

__all__: list = ['DigitalCircuitValidator', 'ValidationError']
