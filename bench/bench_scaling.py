"""How the cost of a load flow grows with the size of the feeder.

For each size (buses), in a fresh process so that peak memory is the size's own: network build
from Python, Newton solver construction without and with tape optimisation, the first Newton
solve, a re-solve after `update_powers` on every load (median of several time-series steps),
a backward-forward solve, and the peak resident memory. Prints a table and writes JSON.

    .venv/bin/python bench/bench_scaling.py [--sizes 100 1000 10000 100000] [--out FILE]
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import resource
import statistics
import subprocess
import sys
import time

TOLERANCE = 1e-6
STEPS = 5


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def measure(n_buses: int) -> dict:
    import numpy as np

    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    from feeders import build_feeder

    from tarvelo import cy_engine as cy

    feeder, build = timed(lambda: build_feeder(n_buses))
    _, construct_plain = timed(lambda: cy.CyNewton(feeder.network, False))
    solver, construct_optimized = timed(lambda: cy.CyNewton(feeder.network, True))
    (iterations, residual), first_solve = timed(lambda: solver.solve_load_flow(50, TOLERANCE))

    rng = np.random.default_rng(7)
    resolves, resolve_iterations = [], []
    for _ in range(STEPS):
        scale = rng.uniform(0.9, 1.1)
        new_powers = [
            np.ascontiguousarray(
                (scale * 150e3 / (3 * max(len(feeder.loads), 1)) * rng.uniform(0.5, 1.5, 3)).astype(
                    np.complex128
                )
            )
            for _ in feeder.loads
        ]
        start = time.perf_counter()
        for load, powers in zip(feeder.loads, new_powers):
            load.update_powers(powers)
        steps, _ = solver.solve_load_flow(50, TOLERANCE)
        resolves.append(time.perf_counter() - start)
        resolve_iterations.append(steps)

    sweep = cy.CyBackwardForward(feeder.network)
    (sweeps, change), sweep_time = timed(lambda: sweep.solve_load_flow(1000, TOLERANCE))

    return {
        "buses": n_buses,
        "elements": len(feeder.elements),
        "loads": len(feeder.loads),
        "build_s": build,
        "construct_s": construct_plain,
        "construct_optimized_s": construct_optimized,
        "first_solve_s": first_solve,
        "first_solve_iterations": iterations,
        "first_solve_residual": residual,
        "resolve_s": statistics.median(resolves),
        "resolve_iterations": statistics.median(resolve_iterations),
        "sweep_s": sweep_time,
        "sweeps": sweeps,
        "sweep_change": change,
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
    }


def print_table(rows: list[dict]) -> None:
    header = (
        f"{'buses':>8} {'build s':>8} {'tape s':>8} {'tape+opt s':>10} {'solve s':>8} {'it':>3} "
        f"{'re-solve ms':>11} {'it':>3} {'sweep s':>8} {'sweeps':>6} {'peak MB':>8}"
    )
    print(header)
    for r in rows:
        print(
            f"{r['buses']:>8} {r['build_s']:>8.3f} {r['construct_s']:>8.3f} "
            f"{r['construct_optimized_s']:>10.3f} {r['first_solve_s']:>8.3f} "
            f"{r['first_solve_iterations']:>3} {1e3 * r['resolve_s']:>11.3f} "
            f"{r['resolve_iterations']:>3.0f} {r['sweep_s']:>8.3f} {r['sweeps']:>6} "
            f"{r['peak_rss_mb']:>8.1f}"
        )
    by_size = {r["buses"]: r for r in rows}
    if 1000 in by_size and 100000 in by_size:
        ratio = by_size[100000]["resolve_s"] / by_size[1000]["resolve_s"]
        print(f"re-solve growth exponent 1,000 -> 100,000 buses: {math.log(ratio) / math.log(100):.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1000, 10000, 100000])
    parser.add_argument("--out", default=str(pathlib.Path(__file__).parent / "results" / "scaling.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one)))
        return
    rows = []
    for n in args.sizes:
        output = subprocess.run(
            [sys.executable, __file__, "--one", str(n)], check=True, capture_output=True, text=True
        ).stdout
        rows.append(json.loads(output.strip().splitlines()[-1]))
    print_table(rows)
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(rows, indent=2))
    print(f"written: {out}")


if __name__ == "__main__":
    main()
