"""Arithmetic per amplitude of the circuit families under dense k-qubit block fusion, against
the passes norvane runs.

A model, not a timing: with complex amplitudes in double precision, four to a 512-bit vector, a
pass of a one-qubit gate (or of a one-qubit gate multiplexed by a CZ or CX folded into it) costs
one vector multiply-add per amplitude, and a dense block on k qubits 2^(k-1). norvane's column
counts one pass per run of one-qubit gates on a qubit, with the two-qubit gates between runs
folded in. It leaves out the merged diagonal passes that carry two-qubit diagonal gates not
folded into a one-qubit pass (QAOA's RZZ), and counts a one-qubit diagonal gate (RZ) as a full
pass, though a diagonal pass costs less than a dense one.
Blocks are formed greedily, as simulators with gate fusion do: each gate joins the open blocks
on its qubits while their union has at most k qubits, and otherwise starts a new block.
Run from the repository root: `python bench/fusion_arithmetic.py`; the table goes to
bench/results/fusion_arithmetic.md.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from circuits import grid_random, qaoa_3regular, random_cx  # noqa: E402

SIZES = (2, 3, 4, 5)


def one_qubit_runs(n, ops):
    """Multiply-adds per amplitude of norvane's passes: one per run of one-qubit gates."""
    open_run, cost = [False] * n, 0
    for _, qubits, _ in ops:
        if len(qubits) == 1:
            cost += not open_run[qubits[0]]
            open_run[qubits[0]] = True
        else:
            for q in qubits:
                open_run[q] = False
    return cost


def dense_blocks(n, ops, k):
    """Multiply-adds per amplitude of greedy fusion into dense blocks of at most k qubits."""
    blocks, open_block, next_id = {}, [None] * n, 0
    for _, qubits, _ in ops:
        touched = {open_block[q] for q in qubits if open_block[q] is not None}
        union = set(qubits).union(*(blocks[b] for b in touched))
        if len(union) > k:  # the open blocks on these qubits close there
            for b in touched:
                for q in blocks[b]:
                    if open_block[q] == b:
                        open_block[q] = None
            touched, union = set(), set(qubits)
        for b in touched:
            del blocks[b]
        blocks[next_id] = union
        for q in union:
            open_block[q] = next_id
        next_id += 1
    return sum(2 ** (len(qubits) - 1) for qubits in blocks.values())


def main():
    n = 20
    families = [("grid depth 14", grid_random(n)), ("random cx depth 20", random_cx(n)),
                ("qaoa p=4", qaoa_3regular(n))]
    lines = ["# Arithmetic per amplitude under dense block fusion", "",
             "Vector multiply-adds per amplitude (double precision, 512-bit vectors) for a whole "
             f"circuit of {n} qubits: norvane's passes against greedy fusion into dense blocks of "
             "at most k qubits; in brackets, relative to norvane's passes (above 1: more arithmetic). "
             "The model is in bench/fusion_arithmetic.py.", "",
             "| circuit | norvane's passes | " + " | ".join(f"blocks, k = {k}" for k in SIZES) + " |",
             "|---|---|" + "---|" * len(SIZES)]
    for name, ops in families:
        ours = one_qubit_runs(n, ops)
        cells = [f"{cost} ({cost / ours:.2f}x)" for cost in (dense_blocks(n, ops, k) for k in SIZES)]
        lines.append(f"| {name} | {ours} | " + " | ".join(cells) + " |")
    out = os.path.join(HERE, "results", "fusion_arithmetic.md")
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
