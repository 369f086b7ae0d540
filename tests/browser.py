"""Headless Chromium for the rendering tests: a page's screenshot as pixels.

Needs the `chromium` executable (Debian's package): `make test-render` installs it; the tests
skip without it."""

import os
import shutil
import subprocess

import numpy as np

CHROMIUM = shutil.which("chromium")
SKIP_REASON = ("headless Chromium is not installed (Debian package 'chromium'; "
               "`make test-render` installs it and runs these tests)")


def screenshot(page, png, width, height, *, virtual_time_ms=None, dtype=int):
    """The page at `page` (a Path) as Chromium paints it in a window of width x height px,
    at one device pixel per CSS pixel, as an (height, width, 3) RGB array. A virtual time
    budget lets script-drawn pages (Bokeh) finish before the shot."""
    from PIL import Image

    budget = [] if virtual_time_ms is None else [f"--virtual-time-budget={virtual_time_ms}"]
    subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--force-device-scale-factor=1", f"--window-size={width},{height}", *budget,
         f"--user-data-dir={png.parent / 'profile'}", f"--screenshot={png}", page.as_uri()],
        # The browser is not the code under test: it runs without the sanitizer runtime that a
        # sanitizer run preloads into this interpreter.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        check=True, capture_output=True, timeout=120)
    return np.asarray(Image.open(png).convert("RGB"), dtype=dtype)
