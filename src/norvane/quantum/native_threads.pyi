def set_max_threads(threads: int) -> None:
    """
    Limit the threads of every native engine's kernels, digital and analog (0: all cores). Results do not depend on it.
    """

def max_threads() -> int:
    """
    The threads native kernels may use: the limit, or the machine's cores without one.
    """
