"""Runs every benchmark of bench/ in turn; each writes its table to bench/results/."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

for script in sorted(f for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py")):
    print(f"== {script}", flush=True)
    subprocess.run([sys.executable, os.path.join(HERE, script)], cwd=os.path.dirname(HERE), check=False)
