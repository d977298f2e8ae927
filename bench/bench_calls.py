"""Time per call of three small methods of tarvelo.cy_engine, against CPython builtins.

Each method is timed beside a builtin call of the same arity in the same run, so that the
ratio tells what the module adds over the interpreter's own call machinery:

    get_port_potential(index)   vs  abs(x)          (one argument, scalar result)
    get_potentials(4)           vs  divmod(x, y)    (a new NumPy array of 4 complex values)
    update_power(power)         vs  abs(x)          (one argument, writes a record)

The time of np.empty(4, dtype=np.complex128) alone is printed too: get_potentials creates its
result through it.

Run: .venv/bin/python bench/bench_calls.py [--number N]
"""

import argparse
import timeit

import numpy as np

from tarvelo import cy_engine as ce


def build():
    potentials = np.array([230, 230 * np.exp(-2j * np.pi / 3), 230 * np.exp(2j * np.pi / 3), 0])
    bus = ce.CyBus(4, potentials.astype(np.complex128))
    load = ce.CyPowerLoad(2, np.array([1000 + 200j], dtype=np.complex128))
    return bus, load


def per_call(statement, namespace, number, repeat=7):
    """Best time of one call, in nanoseconds."""
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing")
    args = parser.parse_args()

    bus, load = build()
    namespace = {"bus": bus, "load": load, "x": -3, "y": 2, "s": 1000 + 250j, "np": np}
    cases = [
        ("get_port_potential(1)", "bus.get_port_potential(1)", "abs(x)"),
        ("get_potentials(4)", "bus.get_potentials(4)", "divmod(x, y)"),
        ("update_power(s)", "load.update_power(s)", "abs(x)"),
    ]
    print(f"{'call':<24}{'module (ns)':>14}{'builtin':>14}{'builtin (ns)':>14}{'ratio':>9}")
    for name, statement, builtin in cases:
        module_ns = per_call(statement, namespace, args.number)
        builtin_ns = per_call(builtin, namespace, args.number)
        print(f"{name:<24}{module_ns:>14.1f}{builtin:>14}{builtin_ns:>14.1f}"
              f"{module_ns / builtin_ns:>9.1f}")
    empty_ns = per_call("np.empty(4, dtype=np.complex128)", namespace, args.number)
    print(f"{'np.empty(4, complex128)':<24}{empty_ns:>14.1f}")


if __name__ == "__main__":
    main()
