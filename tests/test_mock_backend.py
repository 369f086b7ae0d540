import json
import re
import subprocess
import sys
import time
from types import SimpleNamespace

import numpy as np
import pytest

from native_modules import assert_initialises_once
from norvane.quantum.dispatch import mock
from norvane.quantum.dispatch.base import DispatchExecutor
from norvane.quantum.dispatch.mock import MockBackend, simulate_job_results
from norvane.quantum.dispatch.program import (
    NrvJobResults,
    NrvJobSpecification,
    NrvJobStatusCode,
    NrvShotStatusCode,
)
from reference.mock_reference import simulate_shots

LINE = re.compile(
    r"\('([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})',(.*)\)\n")


def job(filling=(1, 0, 1, 1), nshots=20):
    sites = [[5e-6 * i, 0.0] for i in range(len(filling))]
    return NrvJobSpecification(nshots=nshots, lattice={"sites": sites, "filling": list(filling)})


@pytest.fixture
def seeded_rng(monkeypatch):
    """Makes every default_rng() call of the module under test draw from seeded generators."""
    seeds = iter(range(100, 200))
    original = np.random.default_rng
    monkeypatch.setattr(np.random, "default_rng", lambda *args: original(next(seeds)))
    return lambda k: original(100 + k)


def test_module_shape():
    assert_initialises_once("norvane.quantum.dispatch.mock")
    assert issubclass(MockBackend, DispatchExecutor)
    assert list(MockBackend.__fields__) == ["state_file", "submission_error"]
    backend = MockBackend()
    assert (backend.state_file, backend.submission_error) == (".mock_state.txt", False)
    assert repr(backend) == "MockBackend(state_file='.mock_state.txt', submission_error=False)"
    assert mock.np is np and mock.NrvJobSpecification is NrvJobSpecification


@pytest.mark.parametrize("filling,p_full,p_empty", [
    ((1, 0, 1, 1), 0.99, 0.01), ((0, 0, 0), 0.99, 0.01), ((1, 0, 1, 0, 1), 0.7, 0.3), ((1, 1, 0), 1.0, 0.0)])
def test_simulation_draws_like_the_literal_model(seeded_rng, filling, p_full, p_empty):
    task = job(filling, nshots=50)
    results = simulate_job_results(task, p_full, p_empty)
    assert results.task_status is NrvJobStatusCode.Completed
    assert all(shot.shot_status is NrvShotStatusCode.Completed for shot in results.shot_outputs)
    got = [(shot.pre_sequence, shot.post_sequence) for shot in results.shot_outputs]
    assert got == simulate_shots(task, seeded_rng(0), p_full, p_empty)
    for pre, post in got:
        assert all(b <= a for a, b in zip(pre, post))
        if (p_full, p_empty) == (1.0, 0.0):
            assert pre == list(filling)
    # A fresh generator per call: the second call draws from the next seed.
    again = simulate_job_results(task, p_empty=p_empty, p_full=p_full)
    assert [(s.pre_sequence, s.post_sequence) for s in again.shot_outputs] == simulate_shots(
        task, seeded_rng(1), p_full, p_empty)


def test_simulation_filling_values_and_argument_types(seeded_rng):
    # Only entries equal to 1 are filled; the draw size follows the sites.
    task = SimpleNamespace(nshots=30, lattice=SimpleNamespace(sites=[0] * 4, filling=[1.0, 2, -1, True]))
    results = simulate_job_results(task, p_full=1.0, p_empty=0.0)
    assert {tuple(s.pre_sequence) for s in results.shot_outputs} == {(1, 0, 0, 1)}
    assert simulate_job_results(job(nshots=0)).shot_outputs == []
    with pytest.raises(TypeError, match=r"^Argument 'p_full' has incorrect type \(expected float, got str\)$"):
        simulate_job_results(task, "0.5")
    with pytest.raises(TypeError):
        simulate_job_results()


def test_submit_writes_one_line_in_the_exact_format(tmp_path, seeded_rng):
    path = tmp_path / "state.txt"
    backend = MockBackend(state_file=str(path))
    first, second = backend.submit_task(job()), backend.submit_task(job(nshots=0))
    assert first != second
    lines = path.read_text().splitlines(keepends=True)
    assert len(lines) == 2
    for line, task_id, k in zip(lines, (first, second), (0, 1)):
        match = LINE.fullmatch(line)
        assert match and match.group(1) == task_id
        expected = NrvJobResults(task_status="Completed", shot_outputs=[
            {"shot_status": "Completed", "pre_sequence": pre, "post_sequence": post}
            for pre, post in simulate_shots(job(nshots=20 if k == 0 else 0), seeded_rng(k))])
        assert match.group(2) == expected.json()
        assert backend.task_results(task_id) == expected
    assert backend.task_results(second).shot_outputs == []


def test_lookups_status_cancel_and_failures(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    backend = MockBackend()
    with pytest.raises(FileNotFoundError):
        backend.task_results("00000000-0000-4000-8000-000000000000")
    assert not (tmp_path / ".mock_state.txt").exists()
    task_id = backend.submit_task(job())
    assert (tmp_path / ".mock_state.txt").exists()
    other = MockBackend(state_file=".mock_state.txt")  # the file is shared by path
    results = other.task_results(task_id)
    assert other.cancel_task(task_id) is None
    assert other.task_results(task_id) == results
    assert other.task_status("never-submitted") is NrvJobStatusCode.Completed
    for missing in ("never-submitted", task_id[:-1], task_id.upper(), "a'b", "x\\y", "\ud800"):
        with pytest.raises(ValueError, match=r"^unable to fetch results for task_id: "):
            other.task_results(missing)
    for method in (other.task_results, other.cancel_task, other.task_status):
        with pytest.raises(TypeError, match=r"^Argument 'task_id' has incorrect type \(expected str, got int\)$"):
            method(3)
        with pytest.raises(TypeError):
            method()
        with pytest.raises(TypeError):
            method(task_id, task_id)
    before = (tmp_path / ".mock_state.txt").read_bytes()
    failing = MockBackend(submission_error=True)
    with pytest.raises(ValueError, match=r"^mock submission error$"):
        failing.submit_task(job())
    assert (tmp_path / ".mock_state.txt").read_bytes() == before
    with pytest.raises(IsADirectoryError):
        MockBackend(state_file=str(tmp_path)).submit_task(job())


def test_malformed_and_torn_lines_hide_no_task(tmp_path):
    path = tmp_path / "state.txt"
    backend = MockBackend(state_file=str(path))
    kept = backend.submit_task(job())
    marker = tmp_path / "evaluated"
    with path.open("a") as file:
        file.write("garbage that is no record\n")
        file.write("('evil-id',__import__('pathlib').Path(%r).touch())\n" % str(marker))
        file.write("('json-id',{\"task_status\": \"Completed\", \"shot_outputs\": [}\n")
        file.write("\n")
    later = backend.submit_task(job())
    torn_id = backend.submit_task(job())
    text = path.read_text()
    path.write_text(text[: text.rindex(torn_id) + 200])  # the last writer was killed mid-line
    for task_id in ("evil-id", "json-id", torn_id):
        with pytest.raises(ValueError, match="unable to fetch results"):
            backend.task_results(task_id)
    assert not marker.exists()
    assert backend.task_results(kept).task_status is NrvJobStatusCode.Completed
    assert backend.task_results(later).task_status is NrvJobStatusCode.Completed
    # The next record starts on a new line instead of continuing the torn one.
    after = backend.submit_task(job())
    assert backend.task_results(after).task_status is NrvJobStatusCode.Completed
    assert LINE.fullmatch(path.read_text().splitlines(keepends=True)[-1])


def test_record_without_final_line_feed_and_crlf_lines_are_read(tmp_path):
    path = tmp_path / "state.txt"
    record = NrvJobResults(task_status="Completed", shot_outputs=[
        {"shot_status": "Completed", "pre_sequence": [1, 0], "post_sequence": [0, 0]}])
    path.write_bytes(b"('crlf-id'," + record.json().encode() + b")\r\n('last-id',"
                     + record.json().encode() + b")")
    backend = MockBackend(state_file=str(path))
    assert backend.task_results("crlf-id") == record == backend.task_results("last-id")


_WRITER = """
import sys, time
from norvane.quantum.dispatch.mock import MockBackend
from norvane.quantum.dispatch.program import NrvJobSpecification
path, start_at, count = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
job = NrvJobSpecification(nshots=3, lattice={"sites": [[0, 0], [5e-6, 0]], "filling": [1, 1]})
backend = MockBackend(state_file=path)
time.sleep(max(0.0, start_at - time.time()))
print("\\n".join(backend.submit_task(job) for _ in range(count)))
"""


def test_concurrent_writers_never_interleave(tmp_path):
    path = tmp_path / "shared.txt"
    start_at = time.time() + 2.0
    writers = [subprocess.Popen([sys.executable, "-c", _WRITER, str(path), str(start_at), "200"],
                                stdout=subprocess.PIPE, text=True) for _ in range(4)]
    ids = []
    for writer in writers:
        out, _ = writer.communicate(timeout=120)
        assert writer.returncode == 0
        ids += out.split()
    lines = path.read_text().splitlines(keepends=True)
    assert len(ids) == len(set(ids)) == len(lines) == 800
    assert all(LINE.fullmatch(line) and json.loads(LINE.fullmatch(line).group(2)) for line in lines)
    backend = MockBackend(state_file=str(path))
    assert all(len(backend.task_results(task_id).shot_outputs) == 3 for task_id in ids)
