from collections.abc import Mapping, Sequence
import decimal
from typing import Any, TypeAlias, Union

from norvane.quantum.dispatch.program.job_results import (
    NrvJobResults as NrvJobResults,
    NrvJobStatusCode as NrvJobStatusCode,
    NrvShotResult as NrvShotResult,
    NrvShotStatusCode as NrvShotStatusCode
)
import norvane.quantum.job.base
from norvane.quantum.job.base import (
    Geometry as Geometry,
    LocalTask as LocalTask
)
from norvane.quantum.serialize import (
    Serializer as Serializer,
    _set_deserializer as set_deserializer,
    _set_serializer as set_serializer
)
from norvane.quantum.simulator.codegen.hamiltonian import (
    CompileCache as CompileCache,
    RydbergHamiltonianCodeGen as RydbergHamiltonianCodeGen
)
from norvane.quantum.simulator.ir.emulator import (
    EmulatorProgram as EmulatorProgram
)
from norvane.quantum.simulator.ir.state_vector import (
    AnalogGate as AnalogGate
)


ParamType: TypeAlias = Union[None, bool, int, float, complex, decimal.Decimal, str, Sequence[Any], Mapping[str, Any]]

class Oruna1SimulatorTask(norvane.quantum.job.base.LocalTask):
    """
    A local task that runs one analog program on the emulator.

    Fields: shots (number of shots), emulator_ir (the EmulatorProgram), metadata (carried,
    never read), compile_cache (optional CompileCache for the code generator) and
    task_result_ir (the NrvJobResults set by run).
    """

    def result(self) -> NrvJobResults | None:
        """The results of the last run (None before the first)."""

    def run(self, solver_name: str = 'dop853', atol: float = 1e-14, rtol: float = 1e-07, nsteps: int = 2147483647, interaction_picture: bool = False) -> Oruna1SimulatorTask:
        """
        Compile and run the program on the emulator; set task_result_ir and return the task.

        Each shot's post_sequence holds 1 where an atom was found in the ground state (still
        present after the sequence) and 0 where it was excited or the site is empty.
        """

    @property
    def nshots(self) -> int: ...

    shots: int
    emulator_ir: EmulatorProgram
    metadata: dict[str, ParamType]
    compile_cache: CompileCache | None = None
    task_result_ir: NrvJobResults | None = None

    def __init__(self, shots: int, emulator_ir: EmulatorProgram, metadata: dict[str, ParamType], compile_cache: CompileCache | None = None, task_result_ir: NrvJobResults | None = None) -> None: ...
