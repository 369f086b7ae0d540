"""The digital (gate-model) intermediate representation."""
