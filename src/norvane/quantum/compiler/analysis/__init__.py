"""Static analyses of programs before they run."""
