# Stand-in for torch whose set_num_threads fails.
def set_num_threads(n):
    raise RuntimeError("stand-in set_num_threads refused %d" % n)
