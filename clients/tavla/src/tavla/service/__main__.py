"""python -m tavla.service: run a local device service until interrupted."""

from __future__ import annotations

import argparse
import json
import os
import secrets
import sys

from . import DEFAULT_QPU_ID
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


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m tavla.service", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to bind; 0 picks a free one (default)")
    parser.add_argument("--qpu-id", default=DEFAULT_QPU_ID, help=f"device id to serve (default {DEFAULT_QPU_ID!r})")
    parser.add_argument("--credentials", help="JSON file mapping access keys to secret keys")
    parser.add_argument("--experimental", action="store_true", help="serve the experimental capabilities")
    parser.add_argument("--max-filled-sites", type=int, default=12, help="largest register to emulate (default 12)")
    parser.add_argument("--seed", type=int, help="seed for reproducible shot sampling")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)

    credentials, generated = _credentials(args.credentials)
    device = Device(args.qpu_id, EmulatorRunner(args.seed), args.experimental, args.max_filled_sites)
    service = DeviceService(device, credentials, args.host, args.port, verbose=args.verbose)
    print(service.url, flush=True)
    if generated:
        (access_key, secret_key), = credentials.items()
        print(f"access key: {access_key}\nsecret key: {secret_key}", flush=True)
    try:
        service.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        service.close()


if __name__ == "__main__":
    sys.exit(main())
