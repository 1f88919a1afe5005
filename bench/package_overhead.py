"""Per-call cost of qelto.query against _qelto.query at n = 1, the bytes a
loop with out= allocates per call, and values read in place against
contiguous copies: interleaved rounds, the minimum of each, since the machine
may be busy."""

import timeit
import tracemalloc

import numpy as np

import _qelto
import qelto

ROUNDS = 200
CALLS = 1_000


def per_call_us(statement, namespace):
    return timeit.timeit(statement, globals=namespace, number=CALLS) / CALLS * 1e6


def overhead_at_one_element():
    a, b = np.ones(1), np.ones(1)
    out = np.empty(1)
    namespace = {"_qelto": _qelto, "qelto": qelto, "a": a, "b": b, "out": out}
    cases = {
        "_qelto.query": '_qelto.query("a * b + 1", a=a, b=b)',
        "qelto.query": 'qelto.query("a * b + 1", a=a, b=b)',
        "qelto.query out=": 'qelto.query("a * b + 1", a=a, b=b, out=out)',
        "qelto.query scalar b": 'qelto.query("a * b + 1", a=a, b=2.0)',
        "qelto.query unread c": 'qelto.query("a * b + 1", a=a, b=b, c=b)',
    }
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(ROUNDS):
        for name, statement in cases.items():
            best[name] = min(best[name], per_call_us(statement, namespace))
    base = best["_qelto.query"]
    for name, us in best.items():
        print(f"n=1 {name:<22} {us:6.3f} us per call ({us - base:+.3f} us)")


def traced_peak_bytes(n, use_out, calls=20):
    """The most memory traced at once over a loop of calls beyond what was
    traced before it: NumPy reports its array buffers to tracemalloc, so a
    result allocated per call shows here."""
    a, b = np.random.default_rng(1).normal(size=(2, n))
    out = np.empty(n)
    keywords = {"out": out} if use_out else {}
    qelto.query("a * b + 1", a=a, b=b, **keywords)
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    for _ in range(calls):
        qelto.query("a * b + 1", a=a, b=b, **keywords)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak - base


def memory_of_loops():
    for n in (10**5, 10**7):
        with_out, without = traced_peak_bytes(n, True), traced_peak_bytes(n, False)
        print(f"n={n:<9} peak traced in a loop: out= {with_out} bytes, new results {without} bytes ({8 * n} a result)")


def layouts(n=10**6):
    """Values of each layout, read in place, against the same call on
    contiguous copies made beforehand."""
    rng = np.random.default_rng(2)
    side = int(n**0.5)
    matrix = rng.normal(size=(side, side))
    cases = {
        "row over a matrix": {"a": matrix, "b": matrix[0]},
        "transposed": {"a": matrix, "b": matrix.T},
        "every other column": {"a": rng.normal(size=(side, 2 * side))[:, ::2], "b": matrix},
        "scalar": {"a": matrix, "b": 2.5},
    }
    print(f"n={side * side}: in place against contiguous copies made beforehand (min of {ROUNDS // 10} rounds)")
    for name, values in cases.items():
        copies = {k: np.ascontiguousarray(np.broadcast_to(v, matrix.shape)) for k, v in values.items()}
        ways = {"in place": values, "copies": copies}
        best = dict.fromkeys(ways, float("inf"))
        for _ in range(ROUNDS // 10):
            for way, kwargs in ways.items():
                t = timeit.timeit(lambda: qelto.query("a * b + 1", **kwargs), number=5) / 5
                best[way] = min(best[way], t)
        ratio = best["in place"] / best["copies"]
        print(f"  {name:<20} {best['in place'] * 1e3:7.3f} ms  copies {best['copies'] * 1e3:7.3f} ms  ratio {ratio:5.2f}")


def main():
    overhead_at_one_element()
    memory_of_loops()
    layouts()


if __name__ == "__main__":
    main()
