"""Gate matrix cache: cost of a hit, against the gate's own parameter evaluation.

Run from the repository root: `python bench/bench_unitab.py`. Results: bench/results/unitab.md.
"""

import datetime
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import machine  # noqa: E402

from norvane.quantum.ir.digital.gate import CX, RZZ, H  # noqa: E402
from norvane.quantum.ir.scalar import Variable  # noqa: E402
from norvane.quantum.simulator.digital.unitab import GateMatrixCache  # noqa: E402


def per_call_us(stmt, number=200_000):
    return min(timeit.repeat(stmt, number=number, repeat=5)) / number * 1e6


def main():
    cache = GateMatrixCache()
    h, cx = H([0]), CX([0, 1])
    literal = RZZ([0, 1], [0.25])
    symbolic = RZZ([0, 1], [Variable("gamma") * 2])
    for gate, kwargs in ((h, {}), (cx, {}), (literal, {}), (symbolic, {"gamma": 0.125})):
        cache.get(gate, **kwargs)
    rows = [
        ("hit, H (no parameters)", per_call_us(lambda: cache.get(h))),
        ("hit, CX (no parameters)", per_call_us(lambda: cache.get(cx))),
        ("hit, RZZ(0.25)", per_call_us(lambda: cache.get(literal))),
        ("  its _eval_params alone", per_call_us(lambda: literal._eval_params())),
        ("hit, RZZ(2*gamma), gamma bound", per_call_us(lambda: cache.get(symbolic, gamma=0.125))),
        ("  its _eval_params alone", per_call_us(lambda: symbolic._eval_params(gamma=0.125))),
        ("miss, RZZ (clear, then get)", per_call_us(lambda: (cache.clear(), cache.get(literal)), number=20_000)),
    ]
    lines = [f"| {label} | {us:.3f} |" for label, us in rows]
    for line in lines:
        print(line)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "unitab.md")
    with open(path, "w") as f:
        f.write("# Gate matrix cache\n\n")
        f.write(f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}. Best of 5 repeats.\n\n")
        f.write("| request | microseconds per call |\n|---|---|\n")
        f.write("\n".join(lines) + "\n")
    print(f"written {path}")


if __name__ == "__main__":
    main()
