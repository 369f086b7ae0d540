"""Client of the neutral-atom device service, and a local service speaking its protocol."""

__version__ = "0.1.0"
