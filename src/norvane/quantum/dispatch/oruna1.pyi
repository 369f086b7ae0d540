from typing import Any

import norvane.quantum.dispatch.base
from norvane.quantum.dispatch.base import (
    DispatchExecutor as DispatchExecutor,
    ValidationError as ValidationError
)
from norvane.quantum.dispatch.program.capabilities import (
    NrvCapabilities as NrvCapabilities
)
from norvane.quantum.dispatch.program.job_results import (
    NrvJobResults as NrvJobResults,
    NrvJobStatusCode as NrvJobStatusCode
)
from norvane.quantum.dispatch.program.job_specification import (
    NrvJobSpecification as NrvJobSpecification
)


class Oruna1Backend(norvane.quantum.dispatch.base.DispatchExecutor):
    """
    Dispatch back end of the remote neutral-atom device service. The queue client is built on
    first use from the fields that are not None and reused afterwards. The secret key and the
    session token are passed to the client unchanged and never shown in repr() or str().
    """

    api_hostname: str
    qpu_id: str
    api_stage: str = 'v0'
    virtual_queue: str | None = None
    proxy: str | None = None
    region: str | None = None
    access_key: str | None = None
    secret_key: str | None = None
    session_token: str | None = None
    session_expires: int | None = None
    role_arn: str | None = None
    role_session_name: str | None = None
    profile: str | None = None

    @property
    def queue_api(self) -> Any:
        """The queue client (tavla.api_client.api.QueueApi, an untyped optional package),
        built on first use and kept."""

    def get_capabilities(self, use_experimental: bool = False) -> NrvCapabilities:
        """
        The device's capabilities from the service; on any failure, the capabilities
        shipped with the kit (DispatchExecutor.get_capabilities).
        """

    def submit_task(self, task_ir: NrvJobSpecification) -> str:
        """Submit a job specification; returns the service's task id."""

    def task_results(self, task_id: str) -> NrvJobResults:
        """The task's NrvJobResults as the service reports them now."""

    def cancel_task(self, task_id: str) -> None:
        """Ask the service to cancel the task."""

    def task_status(self, task_id: str) -> NrvJobStatusCode:
        """The task's NrvJobStatusCode."""

    def validate_task(self, task_ir: NrvJobSpecification) -> None:
        """
        Have the service check a job specification; a job it refuses raises
        ValidationError with the service's message.
        """

    def update_credential(self, access_key: str | None = None, secret_key: str | None = None, session_token: str | None = None) -> None:
        """
        Replace the credentials given (None leaves one unchanged). A client built
        earlier keeps the credentials it was built with.
        """
