#!/usr/bin/env bash
# Checks the package as a new user gets it: builds the source distribution, builds a wheel
# from it in an isolated build environment, installs that wheel with the test extra into a
# fresh virtual environment and runs the test suite from a folder holding only the tests, the
# examples and pyproject.toml, so nothing is imported from the source tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build
"$work/tools/bin/python" -m build --sdist --outdir "$work/dist" "$root"
"$work/tools/bin/python" -m pip wheel -q --no-deps --wheel-dir "$work/dist" "$work"/dist/*.tar.gz
echo "built: $(cd "$work/dist" && ls)"
unzip -l "$work"/dist/*.whl | grep -E '\.pyi$|py\.typed$' | awk '{print "  " $4}'

"$python" -m venv "$work/env"
"$work/env/bin/python" -m pip install -q "$(ls "$work"/dist/*.whl)[test]"
mkdir "$work/run"
cp -r "$root/tests" "$root/examples" "$root/pyproject.toml" "$work/run/"
cd "$work/run"
"$work/env/bin/norvane" run "$root/examples/teleport.qasm" --shots 100 --seed 1
"$work/env/bin/python" -m pytest -p no:cacheprovider
