"""Shared by the engine tests: calls from many threads at once."""
import threading


def assert_threads_match_sequential(call, args):
    """call(*a) for every a in args, first one after another, then each on a
    thread of its own, all at once: the results must be equal."""
    sequential = [call(*a) for a in args]
    results = [None] * len(args)

    def worker(i):
        results[i] = call(*args[i])
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(args))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == sequential
