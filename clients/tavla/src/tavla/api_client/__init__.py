"""The device service's queue client."""
