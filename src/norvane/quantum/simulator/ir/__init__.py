"""Programs of the analog emulator (`emulator`) and the gate that evolves them (`state_vector`)."""
