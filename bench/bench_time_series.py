"""The cost of one step of a time series, per solver (bench/feeders.py feeders).

A time series changes every load between two load flows on one network. For each size and each
solver (the backward-forward sweep, Newton on the plain tape, Newton on the optimised tape), in a
fresh process so that the peak memory is that run's own:
  build      the solver's construction (for Newton: declare, link, record, optimise when asked)
  first      the first solve from the starting potentials (time, iterations or sweeps)
  step       one step: update_powers on every load from Python, then solve_load_flow to 1e-6;
             the median over the steps, in wall time and in processor time (which a machine
             shared with other jobs disturbs less), and its update part alone
  peak       the process's peak resident memory, and the part of it added after the network was
             built (solver, first solve, steps)
The checksum (the sum of the moduli of every bus potential after the last step) is the same
before and after a change that keeps the results. Prints a table and writes JSON.

    .venv/bin/python bench/bench_time_series.py [--sizes 1000 10000] [--solvers sweep newton]
        [--steps 20] [--out FILE]
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
MAX_ITERATIONS = {"sweep": 1000, "newton": 50, "newton-optimized": 50}


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def make_solver(cy, network, solver: str):
    if solver == "sweep":
        return cy.CyBackwardForward(network)
    return cy.CyNewton(network, solver == "newton-optimized")


def measure(n_buses: int, solver_name: str, steps: int) -> dict:
    import numpy as np

    sys.path.insert(0, str(HERE))
    from feeders import build_feeder, random_powers

    from tarvelo import cy_engine as cy

    feeder = build_feeder(n_buses)
    built_peak = peak_mb()
    limit = MAX_ITERATIONS[solver_name]
    start = time.perf_counter()
    solver = make_solver(cy, feeder.network, solver_name)
    build = time.perf_counter() - start
    start = time.perf_counter()
    iterations, residual = solver.solve_load_flow(limit, TOLERANCE)
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
        steps_made, residual = solver.solve_load_flow(limit, TOLERANCE)
        end, end_cpu = time.perf_counter(), time.process_time()
        assert residual <= TOLERANCE, f"step: residual {residual}"
        step_times.append(end - start)
        step_cpu_times.append(end_cpu - start_cpu)
        update_times.append(updated - start)
        step_iterations.append(steps_made)
    potentials = np.concatenate([bus.get_potentials(4) for bus in feeder.buses])
    return {
        "buses": n_buses,
        "solver": solver_name,
        "build_s": build,
        "first_s": first,
        "first_iterations": iterations,
        "step_ms": 1e3 * statistics.median(step_times),
        "step_cpu_ms": 1e3 * statistics.median(step_cpu_times),
        "update_ms": 1e3 * statistics.median(update_times),
        "step_iterations": statistics.median(step_iterations),
        "peak_mb": peak_mb(),
        "solver_peak_mb": peak_mb() - built_peak,
        "checksum": float(np.abs(potentials).sum()),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--solvers", nargs="+", choices=list(MAX_ITERATIONS),
                        default=list(MAX_ITERATIONS))
    parser.add_argument("--steps", type=int, default=20)
    parser.add_argument("--out", default=str(HERE / "results" / "time_series.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one, args.solvers[0], args.steps)))
        return
    rows = []
    for n in args.sizes:
        for solver in args.solvers:
            output = subprocess.run(
                [sys.executable, __file__, "--one", str(n), "--solvers", solver,
                 "--steps", str(args.steps)],
                check=True, stdout=subprocess.PIPE, text=True).stdout
            rows.append(json.loads(output.strip().splitlines()[-1]))
    print(f"{'buses':>6} {'solver':>16} {'build s':>8} {'first s':>8} {'it':>3} {'step ms':>8} "
          f"{'cpu ms':>8} {'update ms':>9} {'it':>3} {'peak MB':>8} {'solver MB':>9}  checksum")
    for r in rows:
        print(f"{r['buses']:>6} {r['solver']:>16} {r['build_s']:>8.3f} {r['first_s']:>8.3f} "
              f"{r['first_iterations']:>3} {r['step_ms']:>8.2f} {r['step_cpu_ms']:>8.2f} "
              f"{r['update_ms']:>9.2f} {r['step_iterations']:>3.0f} {r['peak_mb']:>8.1f} "
              f"{r['solver_peak_mb']:>9.1f}  {r['checksum']:.12e}")
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(rows, indent=2))
    print(f"written: {out}")


if __name__ == "__main__":
    main()
