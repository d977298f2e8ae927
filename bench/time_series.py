"""A load-flow time series from Python with the backward-forward sweep (bench/feeders.py).

For each size (buses), in a fresh process: the feeder is built (a load at every bus unless
--load-share says otherwise), a CyBackwardForward solver solves once, then every time step
  update       update_powers on every load (the Python loop)
  solve        solve_load_flow to 1e-6 from the previous step's potentials (and its sweeps)
  step         the two together: what a user's time series pays per step
Medians over the steps. Prints a table and writes JSON.

    .venv/bin/python bench/time_series.py [--sizes 1000 10000] [--steps N] [--out FILE]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
TOLERANCE = 1e-6  # V, largest change of a sweep
MAX_SWEEPS = 1000


def measure(n_buses: int, steps: int, load_share: float) -> dict:
    import numpy as np

    sys.path.insert(0, str(HERE))
    from feeders import build_feeder, random_powers

    from tarvelo import cy_engine as cy

    feeder = build_feeder(n_buses, load_share=load_share)
    solver = cy.CyBackwardForward(feeder.network)
    first_sweeps, change = solver.solve_load_flow(MAX_SWEEPS, TOLERANCE)
    assert change <= TOLERANCE, f"first solve: change {change}"

    rng = np.random.default_rng(7)
    updates, solves, totals, sweeps = [], [], [], []
    for _ in range(steps):
        level = len(feeder.loads) / rng.uniform(0.9, 1.1)
        powers = [np.ascontiguousarray(p) for p in random_powers(rng, level, len(feeder.loads))]
        start = time.perf_counter()
        for load, p in zip(feeder.loads, powers):
            load.update_powers(p)
        middle = time.perf_counter()
        count, change = solver.solve_load_flow(MAX_SWEEPS, TOLERANCE)
        end = time.perf_counter()
        assert change <= TOLERANCE, f"step: change {change}"
        updates.append(middle - start)
        solves.append(end - middle)
        totals.append(end - start)
        sweeps.append(count)
    potentials = np.concatenate([bus.get_potentials(4) for bus in feeder.buses])
    return {
        "buses": n_buses,
        "loads": len(feeder.loads),
        "first_sweeps": first_sweeps,
        "step_ms": 1e3 * statistics.median(totals),
        "update_ms": 1e3 * statistics.median(updates),
        "solve_ms": 1e3 * statistics.median(solves),
        "sweeps": statistics.median(sweeps),
        "checksum": float(np.abs(potentials).sum()),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--load-share", type=float, default=1.0)
    parser.add_argument("--out", default=str(HERE / "results" / "time_series.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one, args.steps, args.load_share)))
        return
    rows = []
    for n in args.sizes:
        command = [sys.executable, __file__, "--one", str(n), "--steps", str(args.steps),
                   "--load-share", str(args.load_share)]
        output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
        rows.append(json.loads(output.strip().splitlines()[-1]))
    print(f"{'buses':>7} {'loads':>6} {'step ms':>9} {'update ms':>10} {'solve ms':>9} "
          f"{'sweeps':>7} {'ns/call':>8}  checksum")
    for r in rows:
        per_call = 1e6 * r["update_ms"] / max(r["loads"], 1)
        print(f"{r['buses']:>7} {r['loads']:>6} {r['step_ms']:>9.3f} {r['update_ms']:>10.3f} "
              f"{r['solve_ms']:>9.3f} {r['sweeps']:>7.0f} {per_call:>8.0f}  {r['checksum']:.12e}")
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(rows, indent=2))
    print(f"written: {out}")


if __name__ == "__main__":
    main()
