"""Shared pieces of the reference-count tests."""
import gc
import sys


def assert_refcounts_stable(call, *objs, calls=1000):
    """`call` run `calls` times leaves the reference count of every object in `objs` unchanged."""
    call()  # the first calls may fill caches or intern names
    call()
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(calls):
        call()
    gc.collect()  # cyclic garbage is not a leak
    after = [sys.getrefcount(o) for o in objs]
    assert after == before


def raising(call, exc):
    """`call` wrapped so that it must raise `exc`, which is then swallowed."""
    def run():
        try:
            call()
        except exc:
            pass
        else:
            raise AssertionError("expected " + exc.__name__)

    return run
