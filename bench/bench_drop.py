"""Time to drop solvers: each one hands what it holds to the solvers left that share it.

    unrelated   N feeders, each with its own network and sweep solver; all solvers dropped
    shared      N networks over one feeder, a sweep solver on each; all solvers dropped,
                newest first (as a list that goes) and oldest first

Dropping a solver on a network that shares nothing with another costs a pass over its own
network; where networks share elements, each drop looks at every solver left.

Run: .venv/bin/python bench/bench_drop.py [--count N] [--buses B]
"""

import argparse
import time

from feeders import build_feeder

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200, help="solvers")
    parser.add_argument("--buses", type=int, default=1000, help="buses per feeder")
    args = parser.parse_args()

    feeders = [build_feeder(args.buses, seed=k) for k in range(args.count)]
    unrelated = drop_time([ce.CyBackwardForward(f.network) for f in feeders])
    elements = ce.np.array(feeders[0].elements, dtype=object)
    networks = [ce.CyElectricalNetwork(elements, len(elements)) for _ in range(args.count)]
    newest = drop_time([ce.CyBackwardForward(network) for network in networks])
    oldest = drop_time([ce.CyBackwardForward(network) for network in networks], True)
    print(f"{args.count} solvers of {args.buses} buses, dropped: unrelated networks "
          f"{unrelated * 1e3:.1f} ms; networks over one feeder {newest * 1e3:.1f} ms newest "
          f"first, {oldest * 1e3:.1f} ms oldest first")


if __name__ == "__main__":
    main()
