"""The cost of one step of a time series with the Newton solver (bench/feeders.py feeders).

A time series changes every load between two load flows on one network. For each size and each
tape setting (plain, optimised), in a fresh process so that the peak memory is that run's own:
  tape       the CyNewton construction (declare, link, record, optimise when asked)
  first      the first solve from the starting potentials (time, iterations)
  step       one step: update_powers on every load from Python, then solve_load_flow(50, 1e-6);
             the median over the steps, in wall time and in processor time (which a machine
             shared with other jobs disturbs less), and its update part alone
  peak       the process's peak resident memory, and the part of it added after the network was
             built (solver, first Jacobian, steps)
Prints a table and writes JSON.

    .venv/bin/python bench/bench_time_series.py [--sizes 1000 10000] [--steps 20] [--out FILE]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
TOLERANCE = 1e-6
MAX_ITERATIONS = 50


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def measure(n_buses: int, optimize: bool, steps: int) -> dict:
    import numpy as np

    sys.path.insert(0, str(HERE))
    from feeders import build_feeder, random_powers

    from tarvelo import cy_engine as cy

    feeder = build_feeder(n_buses)
    built_peak = peak_mb()
    start = time.perf_counter()
    solver = cy.CyNewton(feeder.network, optimize)
    tape = time.perf_counter() - start
    start = time.perf_counter()
    iterations, residual = solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE)
    first = time.perf_counter() - start
    assert residual <= TOLERANCE, f"first solve: residual {residual}"

    rng = np.random.default_rng(7)
    step_times, step_cpu_times, update_times, step_iterations = [], [], [], []
    for _ in range(steps):
        level = len(feeder.loads) / rng.uniform(0.9, 1.1)
        powers = [np.ascontiguousarray(p) for p in random_powers(rng, level, len(feeder.loads))]
        start, start_cpu = time.perf_counter(), time.process_time()
        for load, p in zip(feeder.loads, powers):
            load.update_powers(p)
        updated = time.perf_counter()
        steps_made, residual = solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE)
        end, end_cpu = time.perf_counter(), time.process_time()
        assert residual <= TOLERANCE, f"step: residual {residual}"
        step_times.append(end - start)
        step_cpu_times.append(end_cpu - start_cpu)
        update_times.append(updated - start)
        step_iterations.append(steps_made)
    return {
        "buses": n_buses,
        "optimize": optimize,
        "tape_s": tape,
        "first_s": first,
        "first_iterations": iterations,
        "step_ms": 1e3 * statistics.median(step_times),
        "step_cpu_ms": 1e3 * statistics.median(step_cpu_times),
        "update_ms": 1e3 * statistics.median(update_times),
        "step_iterations": statistics.median(step_iterations),
        "peak_mb": peak_mb(),
        "solver_peak_mb": peak_mb() - built_peak,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--steps", type=int, default=20)
    parser.add_argument("--out", default=str(HERE / "results" / "time_series.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--optimize", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one, bool(args.optimize), args.steps)))
        return
    rows = []
    for n in args.sizes:
        for optimize in (0, 1):
            output = subprocess.run(
                [sys.executable, __file__, "--one", str(n), "--optimize", str(optimize),
                 "--steps", str(args.steps)],
                check=True, stdout=subprocess.PIPE, text=True).stdout
            rows.append(json.loads(output.strip().splitlines()[-1]))
    print(f"{'buses':>6} {'opt':>4} {'tape s':>7} {'first s':>8} {'it':>3} {'step ms':>8} "
          f"{'cpu ms':>8} {'update ms':>9} {'it':>3} {'peak MB':>8} {'solver MB':>9}")
    for r in rows:
        print(f"{r['buses']:>6} {'yes' if r['optimize'] else 'no':>4} {r['tape_s']:>7.3f} "
              f"{r['first_s']:>8.3f} {r['first_iterations']:>3} {r['step_ms']:>8.2f} "
              f"{r['step_cpu_ms']:>8.2f} "
              f"{r['update_ms']:>9.2f} {r['step_iterations']:>3.0f} {r['peak_mb']:>8.1f} "
              f"{r['solver_peak_mb']:>9.1f}")
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(rows, indent=2))
    print(f"written: {out}")


if __name__ == "__main__":
    main()
