"""norvane.quantum: a quantum-computing kit with native simulation and variational modules."""
