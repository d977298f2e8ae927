"""Time to drop solvers: each one hands what it holds to the solvers left that share it.

    unrelated   N feeders, each with its own network and sweep solver; all solvers dropped
    shared      N networks over one feeder, a sweep solver on each; all solvers dropped,
                newest first (as a list that goes) and oldest first
    own bus     the same, each network with a bus of its own joined to nothing
    own load    the same, each network with a load of its own on one of the feeder's buses
                (joined before the networks are built; the other networks do not list it)

A drop looks only at what another solver can take: the nodes and records that another network
with a live solver lists, or all while its own network has another solver. Each case is run
with N/4 and N solvers; the cost per solver dropped stays the same when the drops are linear in
the solvers alive.

Run: .venv/bin/python bench/bench_drop.py [--count N] [--buses B]
"""

import argparse
import time

import numpy as np
from feeders import build_feeder, source_voltages

from tarvelo import cy_engine as ce


def drop_time(solvers, oldest_first=False):
    start = time.perf_counter()
    if oldest_first:
        solvers.reverse()
        while solvers:
            solvers.pop()
    else:
        solvers.clear()
    return time.perf_counter() - start


def own_bus(_feeder):
    return ce.CyBus(4, np.append(source_voltages(), 0).astype(complex))


def own_load(feeder):  # on the feeder's last bus, joined now, before the network is built
    load = ce.CyPowerLoad(4, np.full(3, 1e3, dtype=complex))
    feeder.buses[-1].connect(load, [(k, k) for k in range(4)])
    return load


def over_one_feeder(feeder, count, own=None):
    """Drop times (newest first, oldest first) of `count` sweeps on networks over the feeder."""
    times = []
    for oldest_first in (False, True):
        owned = [[own(feeder)] if own else [] for _ in range(count)]  # all joined first
        networks = []
        for extra in owned:
            elements = list(feeder.elements) + extra
            networks.append(ce.CyElectricalNetwork(np.array(elements, dtype=object),
                                                   len(elements)))
        solvers = [ce.CyBackwardForward(network) for network in networks]
        times.append(drop_time(solvers, oldest_first))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200, help="solvers")
    parser.add_argument("--buses", type=int, default=1000, help="buses per feeder")
    args = parser.parse_args()

    feeders = [build_feeder(args.buses, seed=k) for k in range(args.count)]
    unrelated = drop_time([ce.CyBackwardForward(f.network) for f in feeders])
    print(f"{args.count} solvers of {args.buses} buses, dropped: unrelated networks "
          f"{unrelated * 1e3:.1f} ms")
    print("networks over one feeder, ms per solver dropped: newest first, oldest first")
    for name, own in (("shared", None), ("own bus", own_bus), ("own load", own_load)):
        cells = []
        for count in (args.count // 4, args.count):
            newest, oldest = over_one_feeder(build_feeder(args.buses), count, own)
            cells.append(f"{count} solvers {newest / count * 1e3:.3f} {oldest / count * 1e3:.3f}")
        print(f"  {name:9}" + "; ".join(cells))


if __name__ == "__main__":
    main()
