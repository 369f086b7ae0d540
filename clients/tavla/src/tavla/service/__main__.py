"""python -m tavla.service: run a local device service until interrupted."""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import secrets
import signal
import sys

from . import DEFAULT_MAX_BOND_DIM, DEFAULT_MAX_JOB_SECONDS, DEFAULT_QPU_ID
from .device import Device
from .emulator import EmulatorRunner
from .server import DeviceService


def _credentials(path: str | None) -> tuple[dict[str, str], bool]:
    """The access keys and their secrets, and whether they were made up just now."""
    if path is not None:
        with open(path, encoding="utf-8") as file:
            credentials = json.load(file)
        if not isinstance(credentials, dict) or not all(
                isinstance(k, str) and isinstance(v, str) and k and v for k, v in credentials.items()):
            raise SystemExit(f"{path}: expected a JSON object mapping access keys to secret keys")
        return credentials, False
    access_key, secret_key = os.environ.get("TAVLA_ACCESS_KEY"), os.environ.get("TAVLA_SECRET_KEY")
    if access_key and secret_key:
        return {access_key: secret_key}, False
    return {"local-" + secrets.token_hex(4): secrets.token_urlsafe(24)}, True


_DURATION = re.compile(r"(\d+(?:\.\d*)?)\s*([smhd]?)")
_SECONDS_PER = {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}


def _duration(text: str) -> float:
    """Seconds of a duration such as 90, 90s, 15m, 12h or 7d."""
    match = _DURATION.fullmatch(text.strip())
    if match is None or float(match[1]) <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive duration such as 90, 15m, 12h or 7d, got {text!r}")
    return float(match[1]) * _SECONDS_PER[match[2]]


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _noise(parser: argparse.ArgumentParser, path: str | None):
    """The noise model in the JSON file at `path` (None without one); a usage error otherwise."""
    if path is None:
        return None
    from norvane.quantum.simulator.ir.noise import AnalogNoise

    try:
        return AnalogNoise.from_json_file(path)
    except (OSError, ValueError, TypeError) as error:
        parser.error(f"--noise {path}: {error}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m tavla.service", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to bind; 0 picks a free one (default)")
    parser.add_argument("--qpu-id", default=DEFAULT_QPU_ID, help=f"device id to serve (default {DEFAULT_QPU_ID!r})")
    parser.add_argument("--credentials", help="JSON file mapping access keys to secret keys")
    parser.add_argument("--experimental", action="store_true", help="serve the experimental capabilities")
    parser.add_argument("--max-filled-sites", type=int,
                        help="largest register to take (default: the device's own, 256 filled sites)")
    parser.add_argument("--seed", type=int, help="seed for reproducible shot sampling")
    parser.add_argument("--max-bond-dim", type=_positive_int, default=DEFAULT_MAX_BOND_DIM,
                        help="bond dimension cap of the matrix-product-state engine, which runs registers beyond "
                             f"the exact engine's (default {DEFAULT_MAX_BOND_DIM})")
    parser.add_argument("--noise", metavar="FILE.json",
                        help="device noise model for every job: a JSON object of AnalogNoise fields, e.g. "
                             '{"false_negative": 0.05, "dephasing_rate": 1e5} (default: none)')
    parser.add_argument("--database", help="SQLite file keeping the jobs and their results across restarts "
                                           "(default: a temporary file, removed when the service stops)")
    parser.add_argument("--workers", type=_positive_int, default=1, help="jobs run at the same time (default 1)")
    parser.add_argument("--max-job-seconds", type=_duration, default=DEFAULT_MAX_JOB_SECONDS,
                        help=f"a job running longer is stopped and fails (default {DEFAULT_MAX_JOB_SECONDS:g})")
    parser.add_argument("--keep-results-for", type=_duration,
                        help="forget ended jobs after this long, e.g. 12h or 7d (default: keep them)")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, stream=sys.stderr,
                        format="tavla service %(levelname)s: %(message)s")
    credentials, generated = _credentials(args.credentials)
    noise = _noise(parser, args.noise)
    device = Device(args.qpu_id, EmulatorRunner(args.seed, noise, args.max_bond_dim), args.experimental, args.max_filled_sites,
                    database=args.database, workers=args.workers, max_job_seconds=args.max_job_seconds,
                    keep_results_for=args.keep_results_for)
    service = DeviceService(device, credentials, args.host, args.port, verbose=args.verbose)
    print(service.url, flush=True)
    if generated:
        (access_key, secret_key), = credentials.items()
        print(f"access key: {access_key}\nsecret key: {secret_key}", flush=True)
    # A polite stop (SIGTERM from an operator or a supervisor) ends like Ctrl-C: running jobs
    # are given back to the queue of the database, the temporary one removed.
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        service.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        service.close()


if __name__ == "__main__":
    sys.exit(main())
