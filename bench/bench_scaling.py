"""How the cost of a load flow grows with the size of the feeder (bench/feeders.py).

For each size (buses), in a fresh process so that the peak memory is the size's own:
  build        the network built from Python (elements, joins, CyElectricalNetwork)
  tape         CyNewton construction without tape optimisation (declare, link, record)
  tape+opt     CyNewton construction with tape optimisation
  solve        the first Newton solve from the starting potentials (time, iterations)
  update       update_powers on every load (the Python loop), median over the time steps
  re-solve     the Newton solve after that update, median over the time steps (iterations)
  sweep        a CyBackwardForward construction and solve from the starting potentials
  peak         the process's peak resident memory
Prints a table and writes JSON.

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

HERE = pathlib.Path(__file__).resolve().parent
TOLERANCE = 1e-6  # A (Newton residual) and V (largest change of a sweep)
MAX_ITERATIONS = 50
MAX_SWEEPS = 1000
STEPS = 7  # time steps of the re-solve series


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def measure(n_buses: int) -> dict:
    import numpy as np

    sys.path.insert(0, str(HERE))
    from feeders import build_feeder, random_powers

    from tarvelo import cy_engine as cy

    feeder, build = timed(lambda: build_feeder(n_buses))
    plain, construct_plain = timed(lambda: cy.CyNewton(feeder.network, False))
    del plain  # one solver at a time, so that the peak memory is that of one
    solver, construct_optimized = timed(lambda: cy.CyNewton(feeder.network, True))
    (iterations, residual), first_solve = timed(
        lambda: solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE))
    assert residual <= TOLERANCE, f"first solve: residual {residual}"

    # A time series: every load changes at every step, by up to 50 % around a level of +-10 %.
    rng = np.random.default_rng(7)
    updates, resolves, resolve_iterations = [], [], []
    for _ in range(STEPS):
        level = len(feeder.loads) / rng.uniform(0.9, 1.1)
        powers = [np.ascontiguousarray(p) for p in random_powers(rng, level, len(feeder.loads))]
        start = time.perf_counter()
        for load, p in zip(feeder.loads, powers):
            load.update_powers(p)
        updates.append(time.perf_counter() - start)
        (steps, residual), resolve = timed(
            lambda: solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE))
        assert residual <= TOLERANCE, f"re-solve: residual {residual}"
        resolves.append(resolve)
        resolve_iterations.append(steps)
    del solver

    def sweep():
        return cy.CyBackwardForward(feeder.network).solve_load_flow(MAX_SWEEPS, TOLERANCE)

    (sweeps, change), sweep_time = timed(sweep)

    return {
        "buses": n_buses,
        "elements": len(feeder.elements),
        "loads": len(feeder.loads),
        "build_s": build,
        "construct_s": construct_plain,
        "construct_optimized_s": construct_optimized,
        "first_solve_s": first_solve,
        "first_solve_iterations": iterations,
        "update_s": statistics.median(updates),
        "resolve_s": statistics.median(resolves),
        "resolve_iterations": statistics.median(resolve_iterations),
        "sweep_s": sweep_time,
        "sweeps": sweeps,
        "sweep_change": change,
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
    }


def growth_exponent(rows: list[dict], key: str, small: int, large: int) -> float | None:
    by_size = {r["buses"]: r for r in rows}
    if small not in by_size or large not in by_size:
        return None
    return math.log(by_size[large][key] / by_size[small][key]) / math.log(large / small)


def print_table(rows: list[dict]) -> None:
    print(f"{'buses':>7} {'build s':>8} {'tape s':>8} {'tape+opt s':>10} {'solve s':>8} {'it':>3} "
          f"{'update ms':>10} {'re-solve ms':>11} {'it':>3} {'sweep s':>8} {'sweeps':>6} "
          f"{'peak MB':>8}")
    for r in rows:
        print(f"{r['buses']:>7} {r['build_s']:>8.3f} {r['construct_s']:>8.3f} "
              f"{r['construct_optimized_s']:>10.3f} {r['first_solve_s']:>8.3f} "
              f"{r['first_solve_iterations']:>3} {1e3 * r['update_s']:>10.2f} "
              f"{1e3 * r['resolve_s']:>11.2f} {r['resolve_iterations']:>3.0f} "
              f"{r['sweep_s']:>8.3f} {r['sweeps']:>6} {r['peak_rss_mb']:>8.1f}")
    for key, name in (("resolve_s", "re-solve"), ("sweep_s", "sweep"), ("build_s", "build")):
        exponent = growth_exponent(rows, key, 1000, 100000)
        if exponent is not None:
            print(f"{name} time grows as buses^{exponent:.2f} from 1,000 to 100,000 buses")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1000, 10000, 100000])
    parser.add_argument("--out", default=str(HERE / "results" / "scaling.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one)))
        return
    rows = []
    for n in args.sizes:
        output = subprocess.run([sys.executable, __file__, "--one", str(n)], check=True,
                                stdout=subprocess.PIPE, text=True).stdout
        rows.append(json.loads(output.strip().splitlines()[-1]))
    print_table(rows)
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(rows, indent=2))
    print(f"written: {out}")


if __name__ == "__main__":
    main()
