"""Example pages: every script in `example_source_dir` runs during the build, and its page
shows the script's docstring, what it printed, the files it wrote (HTML pages embedded,
images shown) and its source. A script that exits non-zero or runs past `example_timeout`
seconds fails the build.

The pages are written to `examples/` in the source folder when the builder starts, and the
scripts start at once, `example_jobs` at a time (`example_first` ahead of the rest), so they
run while Sphinx reads the other pages. Each runs with this interpreter, in an empty folder of
its own, with the examples folder on `PYTHONPATH`; `example_commands` replaces the arguments
after the interpreter for a script that is a module of another example.
"""

from __future__ import annotations

import ast
import concurrent.futures
import dataclasses
import html
import os
import shlex
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from docutils import nodes
from sphinx.errors import ExtensionError
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

PAGES = "examples"
# Files an example writes that its page shows.
SHOWN_FILES = {".html": "page", ".png": "image", ".svg": "image"}
# How much of a failed script's standard error the build error quotes.
ERROR_TAIL = 4000

logger = logging.getLogger(__name__)


@dataclasses.dataclass
class Run:
    returncode: int | None  # None: stopped at the timeout
    stdout: str
    stderr: str
    seconds: float
    files: list[pathlib.Path]


class Runner:
    """The build's example runs: one process per script, started together, awaited by page."""

    def __init__(self, app, scripts: list[pathlib.Path]):
        config = app.config
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="norvane-examples-"))
        self.timeout = config.example_timeout
        self._processes: list[subprocess.Popen] = []
        self._lock = threading.Lock()
        self._stopped = False
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=config.example_jobs)
        first = [s for s in scripts if s.stem in config.example_first]
        self.runs = {
            script.stem: self._pool.submit(self._run, script, config.example_commands.get(script.stem, [str(script)]))
            for script in first + [s for s in scripts if s not in first]
        }

    def _run(self, script: pathlib.Path, arguments: list[str]) -> Run:
        folder = self.folder / script.stem
        folder.mkdir()
        path = os.pathsep.join(filter(None, [str(script.parent), os.environ.get("PYTHONPATH")]))
        # A figure library without a display draws to files.
        env = dict(os.environ, PYTHONPATH=path, MPLBACKEND="Agg")
        start = time.perf_counter()
        with self._lock:
            if self._stopped:
                return Run(None, "", "the build stopped first", 0.0, [])
            process = subprocess.Popen([sys.executable, *arguments], cwd=folder, env=env, text=True,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self._processes.append(process)
        try:
            stdout, stderr = process.communicate(timeout=self.timeout)
            returncode = process.returncode
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
            returncode = None
        files = sorted(p for p in folder.rglob("*") if p.suffix in SHOWN_FILES)
        # Printed paths of written files read as paths relative to the page's files.
        stdout = stdout.replace(f"{folder}{os.sep}", "")
        return Run(returncode, stdout, stderr, time.perf_counter() - start, files)

    def result(self, name: str) -> Run:
        return self.runs[name].result()

    def close(self):
        """Stops what still runs (a build that failed early) and removes the run folders."""
        with self._lock:
            self._stopped = True
            for process in self._processes:
                if process.poll() is None:
                    process.kill()
        self._pool.shutdown(wait=True, cancel_futures=True)
        shutil.rmtree(self.folder, ignore_errors=True)


def _scripts(app) -> list[pathlib.Path]:
    return sorted(pathlib.Path(app.config.example_source_dir).glob("*.py"))


def _write_pages(app, names: list[str]):
    """One page per script; pages of scripts that are gone are removed."""
    folder = pathlib.Path(app.srcdir) / PAGES
    folder.mkdir(exist_ok=True)
    for page in folder.glob("*.md"):
        if page.stem not in names:
            page.unlink()
    for name in names:
        page = folder / f"{name}.md"
        text = f"# {name}.py\n\n```{{example-script}} {name}\n```\n"
        if not page.exists() or page.read_text(encoding="utf-8") != text:
            page.write_text(text, encoding="utf-8")


def _start(app):
    scripts = _scripts(app)
    _write_pages(app, [s.stem for s in scripts])
    app.example_runner = Runner(app, scripts)


def _outdated(app, env, added, changed, removed):
    """Example pages are read on every build, so that every example runs."""
    return [f"{PAGES}/{name}" for name in app.example_runner.runs if f"{PAGES}/{name}" not in added | changed]


def _finish(app, exception):
    runner = getattr(app, "example_runner", None)
    if runner is not None:
        runner.close()


class ExampleScript(SphinxDirective):
    """``example-script NAME``: the docstring, output, written files and source of NAME.py."""

    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        runner = self.env.app.example_runner
        if name not in runner.runs:
            raise self.error(f"no example script {name}.py in {self.config.example_source_dir}")
        script = pathlib.Path(self.config.example_source_dir) / f"{name}.py"
        self.env.note_dependency(str(script))
        run = runner.result(name)
        if run.returncode != 0:
            how = f"ran past {runner.timeout} s" if run.returncode is None else f"exited with status {run.returncode}"
            raise ExtensionError(f"example {script.name} {how}; its standard error ends:\n"
                                 f"{run.stderr[-ERROR_TAIL:]}")
        source = script.read_text(encoding="utf-8")
        command = shlex.join(self.config.example_commands.get(name, [f"examples/{name}.py"]))
        result = [nodes.paragraph(text=" ".join(p.split())) for p in _docstring_paragraphs(source)]
        result.append(nodes.paragraph("", "", nodes.Text("Run during this build as "),
                                      nodes.literal(text=f"python {command}"),
                                      nodes.Text(f" ({run.seconds:.1f} s); it printed:")))
        result.append(nodes.literal_block(run.stdout, run.stdout or "(nothing)", language="text"))
        if run.files:
            result.append(nodes.rubric(text="Files it wrote"))
            result.extend(self._shown_files(name, run.files, runner.folder / name))
        result.append(nodes.rubric(text="Source"))
        result.append(nodes.literal_block(source, source, language="python"))
        return result

    def _shown_files(self, name: str, files: list[pathlib.Path], folder: pathlib.Path) -> list[nodes.Node]:
        """Copies the files beside the page's HTML and shows each: an HTML page in a frame, an
        image as itself, both with a link to the file."""
        target = pathlib.Path(self.env.app.outdir) / PAGES / name
        shown = []
        for path in files:
            relative = path.relative_to(folder)
            (target / relative).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, target / relative)
            url = html.escape(f"{name}/{relative.as_posix()}", quote=True)
            label = html.escape(relative.as_posix())
            if SHOWN_FILES[path.suffix] == "page":
                element = f'<iframe class="example-page" src="{url}" title="{label}" loading="lazy"></iframe>'
            else:
                element = f'<img class="example-image" src="{url}" alt="{label}">'
            shown.append(nodes.raw("", f'<figure class="example-file">{element}'
                                       f'<figcaption><a href="{url}">{label}</a></figcaption></figure>',
                                   format="html"))
        return shown


def _docstring_paragraphs(source: str) -> list[str]:
    docstring = ast.get_docstring(ast.parse(source)) or ""
    return [p for p in docstring.split("\n\n") if p.strip()]


def setup(app):
    app.add_config_value("example_source_dir", "", "env")
    app.add_config_value("example_commands", {}, "env")
    app.add_config_value("example_first", [], "env")
    app.add_config_value("example_timeout", 600, "env")
    app.add_config_value("example_jobs", os.cpu_count() or 1, "env")
    app.add_directive("example-script", ExampleScript)
    app.connect("builder-inited", _start)
    app.connect("env-get-outdated", _outdated)
    app.connect("build-finished", _finish)
    app.add_css_file("examples.css")
    return {"parallel_read_safe": False, "parallel_write_safe": True}
