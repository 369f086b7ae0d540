"""The local device service in a process of its own, for scripts and test fixtures."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from typing import Iterator


@contextlib.contextmanager
def service_process(access_key: str, secret_key: str, *options: str) -> Iterator[str]:
    """Runs ``python -m tavla.service --port 0 <options>`` accepting one key pair (passed in
    the environment, not on the command line); yields its URL and stops it afterwards."""
    env = dict(os.environ, TAVLA_ACCESS_KEY=access_key, TAVLA_SECRET_KEY=secret_key)
    process = subprocess.Popen([sys.executable, "-m", "tavla.service", "--port", "0", *options],
                               stdout=subprocess.PIPE, text=True, env=env)
    try:
        url = process.stdout.readline().strip()
        if not url.startswith("http://"):
            raise RuntimeError(f"the device service did not start (exit status {process.poll()})")
        yield url
    finally:
        process.terminate()
        process.wait(timeout=30)
        process.stdout.close()
