"""Static analyses of digital (gate-model) circuits."""
