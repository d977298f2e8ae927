"""What every engine process of the side-by-side benchmark shares: the command line, the feeder
data, the clock and the memory readings, and the one JSON line it prints at the end.

An engine module defines a class with
    build(data)               build the network and the solver from the feeder's arrays
    load_series(series)       optional: hand the whole series over before the first solve;
                              returns whether it did
    first_solve()             solve the feeder's own loads; returns the iterations
    prepare(powers)           untimed: the step's powers in the form the engine takes them
    update(prepared)          timed: give every load its new powers
    solve()                   timed: solve; returns the iterations (None when not told)
    voltages()                potentials of every bus, one row per bus, phases a, b, c[, n]
    describe()                a dict of facts about the engine (version, settings)
    after_first_solve(), after_series()   optional, untimed: facts a solve does not return
and calls `main(EngineClass)`. This module needs NumPy only, so that it runs in the tarvelo
environment and in the peers' environment alike.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import sys
import time

import numpy as np

PHASE_VOLTAGE = 230.0  # V, the source's phase-to-neutral voltage (bench/feeders.py)
TOLERANCE_V = 1e-6  # the accuracy every engine is asked for, in volts or amperes
MAX_ITERATIONS = 100


def rss_mb(field: str = "VmRSS") -> float:
    """The process's resident memory (VmRSS) or its peak so far (VmHWM), in MB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def load_data(path: str) -> dict:
    with np.load(path) as archive:
        return {key: archive[key] for key in archive.files}


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def run_series(engine, series: np.ndarray, steps: int, min_steps: int, budget_s: float) -> dict:
    """Steps 1, 2, ... of the series: every load gets new powers, then a solve. Stops after
    `steps` steps, or once `budget_s` seconds of steps are spent and `min_steps` are done."""
    updates, solves, iterations = [], [], []
    spent = 0.0
    for k in range(min(steps, len(series))):
        if k >= min_steps and spent >= budget_s:
            break
        prepared = engine.prepare(series[k])
        _, update_s = timed(lambda: engine.update(prepared))
        it, solve_s = timed(engine.solve)
        updates.append(update_s)
        solves.append(solve_s)
        iterations.append(it)
        spent += update_s + solve_s
    total = [u + s for u, s in zip(updates, solves)]
    known = [i for i in iterations if i is not None]
    return {
        "steps": len(total),
        "step_s": statistics.median(total),
        "step_min_s": min(total),
        "step_update_s": statistics.median(updates),
        "step_solve_s": statistics.median(solves),
        "step_iterations": statistics.median(known) if known else None,
        "step_iterations_max": max(known) if known else None,
    }


def main(engine_class) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", required=True, help="the feeder's .npz (bench_peers.py)")
    parser.add_argument("--variant", required=True)
    parser.add_argument("--mode", choices=["time", "check"], default="time")
    parser.add_argument("--steps", type=int, default=100)
    parser.add_argument("--min-steps", type=int, default=5)
    parser.add_argument("--budget", type=float, default=20.0, help="seconds of time steps")
    parser.add_argument("--voltages", help="check mode: where to write the voltages (.npz)")
    args = parser.parse_args()

    data = load_data(args.data)
    engine = engine_class(args.variant)
    baseline = rss_mb()
    result = {"variant": args.variant, "buses": int(len(data["parents"])),
              "loads": int(len(data["load_buses"])), "baseline_mb": baseline}
    extra, result["build_s"] = timed(lambda: engine.build(data))
    result.update(extra or {})
    if hasattr(engine, "load_series"):
        loaded, series_s = timed(lambda: engine.load_series(data["series"]))
        if loaded:
            result["series_s"] = series_s
    result["first_iterations"], result["first_solve_s"] = timed(engine.first_solve)
    if hasattr(engine, "after_first_solve"):  # untimed: what the first solve did not tell
        result["first_iterations"] = engine.after_first_solve()

    if args.mode == "check":
        # The first solve, then step 1 of the series: both states are compared across engines.
        arrays = {"first": engine.voltages()}
        engine.update(engine.prepare(data["series"][0]))
        result["check_step_iterations"] = engine.solve()
        arrays["step1"] = engine.voltages()
        if hasattr(engine, "check_arrays"):
            arrays.update(engine.check_arrays(data))
        np.savez(args.voltages, **arrays)
    else:
        result.update(run_series(engine, data["series"], args.steps, args.min_steps,
                                 args.budget))
    if hasattr(engine, "after_series"):
        result.update(engine.after_series() or {})
    result["peak_mb"] = rss_mb("VmHWM")
    result.update(engine.describe())
    sys.stdout.flush()
    print(json.dumps(result))
