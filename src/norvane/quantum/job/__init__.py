"""Jobs that run on this machine, such as analog programs on the local emulator."""
