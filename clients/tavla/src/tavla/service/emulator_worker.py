"""An emulator process of the device service (``python -m tavla.service.emulator_worker``),
started by EmulatorRunner: runs the jobs it is sent, one at a time."""

from __future__ import annotations

import json
import signal
import sys

from .emulator import run_job


def serve_jobs() -> None:
    """Reads jobs from standard input, one JSON line {"request": ..., "seed": ..., "noise": fields
    of an AnalogNoise or null, "max_bond_dim": ...} each, and
    answers each with one line, "ok {"readouts": [...], "engine": text}" or "error <JSON
    text>", until the input ends. Interrupts are the service's to handle, not its workers'."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.stdin.reconfigure(encoding="utf-8")
    sys.stdout.reconfigure(encoding="utf-8")
    answers, sys.stdout = sys.stdout, sys.stderr  # nothing else may write into the answers
    from norvane.quantum.dispatch.program.job_specification import NrvJobSpecification
    from norvane.quantum.simulator.codegen.hamiltonian import CompileCache
    from norvane.quantum.simulator.ir.noise import AnalogNoise

    cache = CompileCache()
    for line in sys.stdin:
        message = json.loads(line)
        try:
            job = NrvJobSpecification.parse_raw(message["request"])
            noise = message.get("noise")
            shots, engine = run_job(job, message["seed"], cache, noise and AnalogNoise.from_dict(noise),
                                    message["max_bond_dim"])
            answer = "ok " + json.dumps({"readouts": shots, "engine": engine})
        except Exception as exc:
            answer = "error " + json.dumps(f"{type(exc).__name__}: {exc}")
        answers.write(answer + "\n")
        answers.flush()


if __name__ == "__main__":
    serve_jobs()
