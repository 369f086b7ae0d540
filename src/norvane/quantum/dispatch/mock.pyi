import norvane.quantum.dispatch.base
from norvane.quantum.dispatch.base import (
    DispatchExecutor as DispatchExecutor
)
from norvane.quantum.dispatch.program.job_results import (
    NrvJobResults as NrvJobResults,
    NrvJobStatusCode as NrvJobStatusCode,
    NrvShotResult as NrvShotResult,
    NrvShotStatusCode as NrvShotStatusCode
)
from norvane.quantum.dispatch.program.job_specification import (
    NrvJobSpecification as NrvJobSpecification
)


def simulate_job_results(task: NrvJobSpecification, p_full: float = 0.99, p_empty: float = 0.01) -> NrvJobResults:
    """
    Fabricated results of job specification `task`: in each of task.nshots shots, site i
    loads (pre_sequence 1) with probability p_full where task.lattice.filling[i] == 1 and
    p_empty elsewhere, and a loaded site still reads 1 after the sequence (post_sequence)
    with probability one half. Every call draws from a new generator seeded from fresh
    entropy. Returns a Completed NrvJobResults.
    """

class MockBackend(norvane.quantum.dispatch.base.DispatchExecutor):
    """
    Dispatch back end that stands in for a device: every submitted job is completed at once
    with fabricated readouts (simulate_job_results), which are kept in a state file shared by
    every back end and process naming the same path.

    Fields:
        state_file: Path of the state file, relative to the working directory unless absolute.
        submission_error: When true, every submission fails with ValueError.
    """

    state_file: str = '.mock_state.txt'
    submission_error: bool = False

    def submit_task(self, task: NrvJobSpecification) -> str:
        """
        Fabricate the results of job specification `task`, append them to the state
        file under a new random task id, and return that id.
        """

    def task_results(self, task_id: str) -> NrvJobResults:
        """
        The NrvJobResults stored for `task_id`; ValueError when the state file holds
        no record of it.
        """

    def cancel_task(self, task_id: str) -> None:
        """Does nothing: mock tasks are complete the moment they are submitted."""

    def task_status(self, task_id: str) -> NrvJobStatusCode:
        """NrvJobStatusCode.Completed, for any id."""
