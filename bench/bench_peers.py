"""tarvelo side by side with OpenDSS and power-grid-model on a time series of load flows.

The job it measures: thousands of load flows on one network, every load changed between two
solves. The feeders are bench/feeders.py's random radial four-wire feeders (4 x 4 coupled
cables, an unbalanced star power load on most buses); every engine builds the same feeder from
the same numbers and follows the same random series, in which every load changes at every step.
Each engine, variant and size runs in a process of its own (bench/peers/engine_*.py): tarvelo in
the repository's .venv, the peers in an environment of their own (bench/peers/setup.sh), never
installed beside tarvelo.

First a check at every size that has peers: the first solve and step 1 of every engine are
compared with tarvelo's Newton solution (OpenDSS on the same four-wire network;
power-grid-model, which has no explicit neutral, with tarvelo's three-wire equivalent: the
neutral held at zero at every bus). Then, per engine and size: network build (with the solver
objects), first solve, time step (median; the Python update of every load included), iterations,
peak resident memory of the process and its baseline (interpreter, modules and the feeder's
data, before the build), each against the best peer. A process that would not fit in memory is
skipped, or stopped when it grows past the limit, and the table says so.

    .venv/bin/python bench/bench_peers.py --peer-python build/bench-peers/venv/bin/python \
        [--before REV] [--sizes 1000 10000] [--tarvelo-sizes 100000]

Writes bench/results/peers.md and bench/results/peers.json.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import json
import math
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
WORK = ROOT / "build" / "bench-peers"
sys.path.insert(0, str(HERE))

from feeders import describe_feeder, random_powers  # noqa: E402

SERIES_SEED = 7
# At most this many load changes (loads x steps) are drawn ahead for one size.
SERIES_LOAD_STEPS = 2_000_000
ESTIMATE_MARGIN = 1.15
MEMORY_RESERVE_MB = 2048  # never let the machine's available memory fall below half of this


@dataclasses.dataclass
class Run:
    key: str
    label: str
    engine: str  # tarvelo, opendss, pgm
    variant: str
    python: str
    peer: bool
    env: dict = dataclasses.field(default_factory=dict)
    extra_sizes: bool = False  # also run at --tarvelo-sizes


def available_mb() -> float:
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) / 1024.0
    return float("inf")


def total_mb() -> float:
    with open("/proc/meminfo") as meminfo:
        return int(meminfo.readline().split()[1]) / 1024.0


def process_rss_mb(pid: int) -> float:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def write_feeder(n_buses: int, steps: int) -> pathlib.Path:
    """The feeder of n buses and its series, as every engine process reads them."""
    description = describe_feeder(n_buses)
    n_loads = len(description.load_buses)
    rows = max(1, min(steps, SERIES_LOAD_STEPS // max(n_loads, 1)))
    rng = np.random.default_rng(SERIES_SEED)
    series = np.empty((rows, n_loads, 3), dtype=np.complex128)
    for k in range(rows):  # every load changes, by up to 50 % around a level of +-10 %
        series[k] = random_powers(rng, n_loads / rng.uniform(0.9, 1.1), n_loads)
    path = WORK / "data" / f"feeder-{n_buses}.npz"
    path.parent.mkdir(parents=True, exist_ok=True)
    np.savez(path, parents=description.parents, lengths_km=description.lengths_km,
             load_buses=description.load_buses, powers=description.powers, series=series)
    return path


def git(*args: str) -> str:
    return subprocess.run(["git", "-C", str(ROOT), *args], check=True, text=True,
                          stdout=subprocess.PIPE).stdout.strip()


def build_revision(revision: str, jobs: int) -> tuple[str, pathlib.Path]:
    """tarvelo as it was at `revision`, built with pip into build/bench-peers/rev-<sha>/site
    (never into .venv). Returns the short hash and the folder to put first on PYTHONPATH."""
    sha = git("rev-parse", "--verify", f"{revision}^{{commit}}")
    short = sha[:9]
    folder = WORK / f"rev-{short}"
    site = folder / "site"
    if not list(site.glob("tarvelo/cy_engine*.so")):
        print(f"building tarvelo at {revision} ({short}) into {folder}", flush=True)
        shutil.rmtree(folder, ignore_errors=True)
        source = folder / "src"
        source.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", sha], check=True,
                                 stdout=subprocess.PIPE).stdout
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=str(jobs))
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                        "--no-deps", "--target", str(site), "-C",
                        f"build-dir={folder / 'build'}", str(source)], check=True, env=env)
    # The module finds CppAD's library beside its package, as it does in .venv: the same
    # library that it was built against here.
    prefix = site / "cmeel.prefix"
    if not prefix.exists():
        prefix.symlink_to(pathlib.Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix")
    return short, site


def run_process(run: Run, data: pathlib.Path, mode: str, args, limit_mb: float,
                voltages: pathlib.Path | None = None) -> dict:
    """One engine process under a memory and time guard. Returns its JSON result, or a
    result whose "status" says why there is none."""
    script = HERE / "peers" / f"engine_{run.engine}.py"
    command = [run.python, str(script), "--data", str(data), "--variant", run.variant,
               "--mode", mode, "--steps", str(args.steps), "--min-steps", str(args.min_steps),
               "--budget", str(args.budget)]
    if voltages is not None:
        command += ["--voltages", str(voltages)]
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1",
               **run.env)
    # The limit shrinks to what the machine has free now: others may be using it too.
    limit_mb = min(limit_mb, available_mb() - MEMORY_RESERVE_MB)
    start = time.monotonic()
    seen_mb = 0.0
    status = "ok"
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env, text=True)
        while process.poll() is None:
            rss = process_rss_mb(process.pid)
            seen_mb = max(seen_mb, rss)
            if rss > limit_mb:
                status = f"stopped at {rss / 1024:.1f} GB (limit {limit_mb / 1024:.1f} GB)"
            elif available_mb() < MEMORY_RESERVE_MB / 2:
                status = (f"stopped at {rss / 1024:.1f} GB: the machine's free memory ran "
                          f"out (others used {(total_mb() - available_mb() - rss) / 1024:.0f}"
                          " GB)")
            elif time.monotonic() - start > args.timeout:
                status = f"timed out after {args.timeout:.0f} s"
            if status != "ok":
                process.kill()
                process.wait()
                break
            time.sleep(0.05)
        out.seek(0)
        err.seek(0)
        lines = out.read().strip().splitlines()
        errors = err.read().strip()
    if status == "ok" and process.returncode != 0:
        status = "failed: " + (errors.splitlines()[-1] if errors else f"exit {process.returncode}")
    if status != "ok":
        print(f"  {run.label}: {status}", flush=True)
        return {"status": status, "seen_mb": seen_mb}
    result = json.loads(lines[-1])
    result["status"] = "ok"
    return result


# ---- the check ----

def largest_difference(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.max(np.abs(a - b)))


def check(runs: list[Run], sizes: list[int], data: dict, args, limit_mb: float) -> list[dict]:
    """Every engine's first solve and step 1 against tarvelo's Newton solution."""
    records = []
    folder = WORK / "check"
    folder.mkdir(parents=True, exist_ok=True)
    reference = next(r for r in runs if r.key == "tarvelo-newton")
    for n in sizes:
        print(f"check at {n:,} buses", flush=True)
        solutions = {}
        for run in runs:
            path = folder / f"{run.key}-{n}.npz"
            result = run_process(run, data[n], "check", args, limit_mb, path)
            if result["status"] != "ok":
                records.append({"buses": n, "engine": run.label, "status": result["status"]})
                continue
            with np.load(path) as arrays:
                solutions[run.key] = {key: arrays[key] for key in arrays.files}
        if reference.key not in solutions:
            raise SystemExit("check: tarvelo's Newton solution is missing")
        ours = solutions[reference.key]
        comparisons = [(reference.label, "bench/feeders.py's build_feeder, same solver",
                        largest_difference(ours["first"], ours["feeders_first"]), None)]
        for run in runs:
            if run.key == reference.key or run.key not in solutions:
                continue
            theirs = solutions[run.key]
            if run.engine == "pgm":  # three-wire: the phases against tarvelo's equivalent
                against = "tarvelo Newton, three-wire equivalent"
                first = largest_difference(theirs["first"], ours["three_wire_first"][:, :3])
                step1 = largest_difference(theirs["step1"], ours["three_wire_step1"][:, :3])
            else:
                against = "tarvelo Newton, four-wire"
                first = largest_difference(theirs["first"], ours["first"])
                step1 = largest_difference(theirs["step1"], ours["step1"])
            comparisons.append((run.label, against, first, step1))
        # What the three-wire equivalent changes: phase-to-neutral magnitudes, four-wire
        # against three-wire, both solved by tarvelo.
        four = ours["first"]
        three = ours["three_wire_first"]
        neutral_effect = float(np.max(np.abs(np.abs(four[:, :3] - four[:, 3:])
                                             - np.abs(three[:, :3]))))
        for label, against, first, step1 in comparisons:
            worst = first if step1 is None else max(first, step1)
            verdict = "agrees" if worst <= args.check_limit else "DISAGREES"
            step_text = "" if step1 is None else f", step 1 {step1:.2e} V"
            print(f"  {label} vs {against}: largest |dV| first solve {first:.2e} V{step_text}"
                  f"  {verdict}", flush=True)
            records.append({"buses": n, "engine": label, "against": against,
                            "first_max_dv": first, "step1_max_dv": step1,
                            "status": "ok" if worst <= args.check_limit else "disagrees"})
        print(f"  (the three-wire equivalent moves phase-to-neutral voltage magnitudes by up "
              f"to {neutral_effect:.3f} V from the four-wire solution)", flush=True)
        records.append({"buses": n, "engine": "three-wire equivalent",
                        "phase_to_neutral_shift_v": neutral_effect, "status": "ok"})
    bad = [r for r in records if r["status"] != "ok"]
    if bad:
        for r in bad:
            print(f"check failed: {r}", file=sys.stderr)
        raise SystemExit("the engines do not solve the same feeders; nothing timed")
    return records


# ---- the timing ----

def expected_mb(rows: list[dict], run: Run, n: int) -> float | None:
    """The peak memory a run should need at n buses, grown linearly from its largest smaller
    size that completed, with a margin (Newton's tape grew by 11 x from 10,000 to 100,000
    buses)."""
    done = [r for r in rows if r["key"] == run.key and r["status"] == "ok" and r["buses"] < n]
    if not done:
        return None
    last = max(done, key=lambda r: r["buses"])
    grown = (last["peak_mb"] - last["baseline_mb"]) * n / last["buses"]
    return last["baseline_mb"] + ESTIMATE_MARGIN * grown


def measure(runs: list[Run], sizes: list[int], tarvelo_sizes: list[int], data: dict, args,
            limit_mb: float) -> list[dict]:
    """Every run at every size it has, each --repeat times (the runs taking turns, so that a
    busy moment of the machine does not fall on one of them only); the repetition with the
    fastest median step stands, the others' medians are kept beside it."""
    rows = []
    for n in sorted(set(sizes) | set(tarvelo_sizes)):
        print(f"timing at {n:,} buses", flush=True)
        here = [run for run in runs if n in sizes or (run.extra_sizes and n in tarvelo_sizes)]
        results = {run.key: [] for run in here}
        skipped = {}
        for run in here:
            estimate = expected_mb(rows, run, n)
            free_mb = min(limit_mb, available_mb() - MEMORY_RESERVE_MB)
            if estimate is not None and estimate > free_mb:
                skipped[run.key] = (f"skipped: about {estimate / 1024:.0f} GB expected "
                                    f"(limit {free_mb / 1024:.0f} GB)")
                print(f"  {run.label}: {skipped[run.key]}", flush=True)
        for _ in range(args.repeat):
            for run in here:
                if run.key in skipped or any(r["status"] != "ok" for r in results[run.key]):
                    continue
                result = run_process(run, data[n], "time", args, limit_mb)
                results[run.key].append(result)
                if result["status"] == "ok":
                    print(f"  {run.label}: build {result['build_s']:.3f} s, first solve "
                          f"{result['first_solve_s']:.3f} s, step {ms(result['step_s'])} over "
                          f"{result['steps']} steps, peak {result['peak_mb']:.0f} MB",
                          flush=True)
        for run in here:
            row = {"key": run.key, "label": run.label, "buses": n, "peer": run.peer}
            done = results[run.key]
            if run.key in skipped:
                row["status"] = skipped[run.key]
            elif any(r["status"] != "ok" for r in done):
                row.update(next(r for r in done if r["status"] != "ok"))
            else:
                row.update(min(done, key=lambda r: r["step_s"]))
                row["step_s_repeats"] = [r["step_s"] for r in done]
            rows.append(row)
    add_ratios(rows)
    return rows


RATIO_KEYS = (("step_s", "step_ratio"), ("first_solve_s", "first_ratio"),
              ("build_s", "build_ratio"), ("peak_mb", "peak_ratio"))


def add_ratios(rows: list[dict]) -> None:
    """Each value against the best peer's at the same size."""
    for n in {r["buses"] for r in rows}:
        here = [r for r in rows if r["buses"] == n and r["status"] == "ok"]
        peers = [r for r in here if r["peer"]]
        for value_key, ratio_key in RATIO_KEYS:
            if not peers:
                continue
            best = min(peers, key=lambda r: r[value_key])
            for r in here:
                r[ratio_key] = r[value_key] / best[value_key]
                r[ratio_key + "_to"] = best["label"]


# ---- the report ----

def ms(seconds: float) -> str:
    value = 1e3 * seconds
    return f"{value:.3g} ms" if value < 100 else f"{value:,.0f} ms"


def seconds(value: float) -> str:
    return f"{value:.3g} s" if value < 100 else f"{value:,.0f} s"


def iterations(value) -> str:
    if value is None:
        return "?"
    return f"{value:g}"


def ratio(row: dict, key: str) -> str:
    return f"{row[key]:.2f}" if key in row else "-"


def summary_table(rows: list[dict], runs: list[Run]) -> list[str]:
    """Time per step, buses by engine: the table of the issue."""
    present = [run for run in runs if any(r["key"] == run.key for r in rows)]
    lines = ["| buses | " + " | ".join(run.label for run in present) + " |",
             "|---:|" + "---:|" * len(present)]
    for n in sorted({r["buses"] for r in rows}):
        cells = []
        for run in present:
            row = next((r for r in rows if r["key"] == run.key and r["buses"] == n), None)
            if row is None:
                cells.append("-")
            elif row["status"] != "ok":
                cells.append(row["status"])
            else:
                text = ms(row["step_s"])
                if "step_ratio" in row and not row["peer"]:
                    text += f" ({row['step_ratio']:.1f}x best peer)"
                cells.append(text)
        lines.append(f"| {n:,} | " + " | ".join(cells) + " |")
    return lines


def before_after_table(rows: list[dict]) -> list[str]:
    """The tarvelo of --before against the present one, measured in this run."""
    pairs = [(kind, name) for kind, name in (("newton", "Newton"), ("sweep", "sweep"))
             if any(r["key"] == f"before-{kind}" for r in rows)]
    if not pairs:
        return []
    lines = ["", "## Before and after (tarvelo, this run)", "",
             "| buses | solver | step before | step after | after / before | first solve "
             "before | after | build before | after | peak MB before | after |",
             "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for n in sorted({r["buses"] for r in rows}):
        for kind, name in pairs:
            old = next((r for r in rows if r["key"] == f"before-{kind}" and r["buses"] == n),
                       None)
            new = next((r for r in rows if r["key"] == f"tarvelo-{kind}" and r["buses"] == n),
                       None)
            if old is None or new is None:
                continue
            if old["status"] != "ok" or new["status"] != "ok":
                lines.append(f"| {n:,} | {name} | {old['status']} | {new['status']} |"
                             + " |" * 7)
                continue
            lines.append(
                f"| {n:,} | {name} | {ms(old['step_s'])} | {ms(new['step_s'])} "
                f"| {new['step_s'] / old['step_s']:.2f} | {seconds(old['first_solve_s'])} "
                f"| {seconds(new['first_solve_s'])} | {seconds(old['build_s'])} "
                f"| {seconds(new['build_s'])} | {old['peak_mb']:,.0f} | {new['peak_mb']:,.0f} |")
    return lines


def detail_table(rows: list[dict], n: int) -> list[str]:
    lines = [f"#### {n:,} buses",
             "",
             "| engine | build | first solve (it) | step (it) | of which update | fastest step "
             "| steps | peak MB | baseline MB | step / best peer | first / best | build / best "
             "| peak / best |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        if row["buses"] != n:
            continue
        if row["status"] != "ok":
            lines.append(f"| {row['label']} | {row['status']} |" + " |" * 11)
            continue
        lines.append(
            f"| {row['label']} | {seconds(row['build_s'])} "
            f"| {seconds(row['first_solve_s'])} ({iterations(row.get('first_iterations'))}) "
            f"| {ms(row['step_s'])} ({iterations(row.get('step_iterations'))}) "
            f"| {ms(row['step_update_s'])} | {ms(row['step_min_s'])} | {row['steps']} "
            f"| {row['peak_mb']:,.0f} | {row['baseline_mb']:,.0f} "
            f"| {ratio(row, 'step_ratio')} | {ratio(row, 'first_ratio')} "
            f"| {ratio(row, 'build_ratio')} | {ratio(row, 'peak_ratio')} |")
    return lines


def agreement_line(checks: list[dict]) -> str:
    """The check in one sentence: the largest difference of each kind of comparison."""
    def worst(select):
        values = [max(c["first_max_dv"], c["step1_max_dv"] or 0.0) for c in checks
                  if "first_max_dv" in c and select(c)]
        return max(values) if values else None

    opendss = worst(lambda c: c["engine"].startswith("OpenDSS"))
    pgm = worst(lambda c: c["engine"].startswith("power-grid-model"))
    parts = []
    if opendss is not None:
        parts.append(f"OpenDSS's potentials agree with tarvelo's (same four-wire network) to "
                     f"{opendss:.2g} V")
    if pgm is not None:
        parts.append(f"power-grid-model's with tarvelo's three-wire equivalent to {pgm:.2g} V")
    return ("Checked before the timing: " + "; ".join(parts) + " (first solve and step 1, "
            "every bus and conductor; details below).") if parts else ""


def report(rows, checks, runs, meta) -> str:
    lines = ["# tarvelo side by side with OpenDSS and power-grid-model", "",
             f"{meta['date']}, {meta['machine']}; load average {meta['load_before']} before, "
             f"{meta['load_after']} after. tarvelo: {meta['tarvelo']}"
             + (f"; before: {meta['before']}" if meta.get("before") else "") + ".", "",
             "Random radial four-wire feeders (bench/feeders.py: 4 x 4 coupled cables, an "
             "unbalanced star power load on 80 % of the buses, about 150 kW in all), a time "
             "series in which every load changes at every step; each engine, variant and "
             "size in a process of its own, on one thread.", "",
             agreement_line(checks), "",
             "## Time per step (median)", ""]
    lines += summary_table(rows, runs)
    lines += before_after_table(rows)
    lines += ["", "## Per size", "",
              "Build: the network from Python and the solver objects (tarvelo: elements, "
              "network and solver, Newton's tape recorded and optimised; OpenDSS: the "
              "circuit's commands; power-grid-model: the model from its arrays). Step: the "
              "update of every load from Python and one solve, median over the steps (it: "
              "median iterations). Peak: the process's peak resident memory; baseline: its "
              "memory before the build (interpreter, modules and the feeder's data). "
              "Ratios: against the best peer at that size.", ""]
    for n in sorted({r["buses"] for r in rows}):
        lines += detail_table(rows, n) + [""]
    lines += ["## Agreement (before the timing)", ""]
    for c in checks:
        if "phase_to_neutral_shift_v" in c:
            lines.append(f"- {c['buses']:,} buses: power-grid-model's three-wire equivalent "
                         f"moves phase-to-neutral magnitudes by up to "
                         f"{c['phase_to_neutral_shift_v']:.3f} V from the four-wire solution.")
        elif "first_max_dv" in c:
            step = ("" if c["step1_max_dv"] is None
                    else f", step 1 {c['step1_max_dv']:.2e} V")
            lines.append(f"- {c['buses']:,} buses: {c['engine']} vs {c['against']}: largest "
                         f"|dV| first solve {c['first_max_dv']:.2e} V{step}.")
    lines += ["", "## Settings", ""] + [f"- {note}" for note in meta["notes"]]
    return "\n".join(lines) + "\n"


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def load_average() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer-python", default=str(WORK / "venv" / "bin" / "python"),
                        help="the Python of the peers' environment (bench/peers/setup.sh)")
    parser.add_argument("--before", help="a git revision whose tarvelo is measured as well")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--tarvelo-sizes", type=int, nargs="*", default=[100000],
                        help="sizes run by tarvelo only")
    parser.add_argument("--steps", type=int, default=100, help="most time steps per run")
    parser.add_argument("--min-steps", type=int, default=5)
    parser.add_argument("--budget", type=float, default=20.0,
                        help="seconds of time steps per run, once --min-steps are done")
    parser.add_argument("--repeat", type=int, default=1,
                        help="time every run this many times and keep its fastest median step")
    parser.add_argument("--memory-limit-gb", type=float, default=16.0)
    parser.add_argument("--timeout", type=float, default=1200.0, help="seconds per process")
    parser.add_argument("--check-limit", type=float, default=1e-4,
                        help="largest voltage difference (V) that counts as agreement")
    parser.add_argument("--jobs", type=int, default=os.cpu_count(),
                        help="build jobs for --before")
    parser.add_argument("--out-dir", default=str(HERE / "results"))
    args = parser.parse_args()

    if not pathlib.Path(args.peer_python).exists():
        raise SystemExit(f"no peers' Python at {args.peer_python}: run bench/peers/setup.sh")
    limit_mb = min(args.memory_limit_gb * 1024, available_mb() - MEMORY_RESERVE_MB)
    load_before = load_average()
    head = git("rev-parse", "--short=9", "HEAD")
    changed = git("status", "--porcelain", "--", "engine", "tarvelo", "src", "cmake",
                  "CMakeLists.txt", "pyproject.toml")
    dirty = " with uncommitted changes to the engine or the module" if changed else ""
    python = sys.executable
    runs = [Run("tarvelo-newton", "tarvelo Newton", "tarvelo", "newton", python, False,
                extra_sizes=True),
            Run("tarvelo-sweep", "tarvelo sweep", "tarvelo", "sweep", python, False,
                extra_sizes=True)]
    before_text = None
    if args.before:
        short, site = build_revision(args.before, args.jobs)
        before_text = f"{args.before} ({short}), built into {site.parent}"
        path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
        runs += [Run(f"before-{kind}", f"tarvelo before ({short}) {name}", "tarvelo", kind,
                     python, False, {"PYTHONPATH": path}, extra_sizes=True)
                 for kind, name in (("newton", "Newton"), ("sweep", "sweep"))]
    peer = args.peer_python
    runs += [Run("opendss-yearly", "OpenDSS yearly mode", "opendss", "yearly", peer, True),
             Run("opendss-updates", "OpenDSS, updates from Python", "opendss", "updates", peer,
                 True),
             Run("pgm-iterative-current", "power-grid-model iterative current (3-wire)", "pgm",
                 "iterative_current", peer, True),
             Run("pgm-newton", "power-grid-model Newton (3-wire)", "pgm", "newton_raphson",
                 peer, True)]

    sizes = sorted(set(args.sizes))
    tarvelo_sizes = sorted(set(args.tarvelo_sizes) - set(sizes))
    print(f"memory limit per process {limit_mb / 1024:.1f} GB; load average {load_before}",
          flush=True)
    data = {n: write_feeder(n, args.steps) for n in sizes + tarvelo_sizes}
    checks = check(runs, sizes, data, args, limit_mb)
    rows = measure(runs, sizes, tarvelo_sizes, data, args, limit_mb)

    modules = sorted({r["module"] for r in rows if r.get("module")})
    for run in runs:  # the before column must have run the before build, and only it
        used = {r.get("module") for r in rows if r["key"] == run.key and r.get("module")}
        if run.key.startswith("before-") and any(str(WORK) not in m for m in used):
            raise SystemExit(f"{run.label} did not load the revision's build: {used}")
    example = {r["key"]: r for r in rows if r["status"] == "ok"}
    notes = [
        "Accuracy: every engine asked for 1e-6 V or A. tarvelo Newton: residual (Kirchhoff's "
        "currents) 1e-6 A; tarvelo sweep: largest potential change 1e-6 V; OpenDSS: tolerance "
        "4.35e-9 pu (1e-6 V on 230 V); power-grid-model: error tolerance 4.33e-9 pu (1e-6 V "
        "on 230.9 V). At most 100 iterations (1,000 sweeps).",
        "tarvelo Newton: CyNewton on the optimised tape (its construction counts in the "
        "build), warm-started from the previous step's solution.",
        "OpenDSS yearly mode: one load shape of actual kW and kvar per single-phase load "
        "(three per star load), the whole series handed over before the first solve "
        "(not in the build time; "
        + ", ".join(f"{r['buses']:,} buses {r['series_s']:.2f} s" for r in rows
                    if r["key"] == "opendss-yearly" and "series_s" in r)
        + "); a step is one Solve() with no Python in it. OpenDSS, updates from Python: "
        "snapshot solves, each load's kW and kvar set through the Loads interface before "
        "every solve (the counterpart of tarvelo's update_powers).",
        "OpenDSS model: 4-phase lines without Kron reduction, single-phase constant-power "
        "loads (model 1, constant power from 0.5 to 2 pu) from each phase to the bus's "
        "neutral node, the neutral earthed at the source bus only, a Vsource of 1e-10 ohm.",
        "power-grid-model: no explicit neutral; asym_line with the full 4 x 4 matrix, whose "
        "neutral it eliminates (Kron reduction: neutral at earth at every bus), asym_load "
        "phase to earth, source of 1e15 VA; asymmetric calculation, the model updated from "
        "Python before every calculation, node results only. Its iterations come from its "
        "diagnostic log, in one more untimed calculation.",
        f"Series: up to {args.steps} steps, at least {args.min_steps}, stopped after "
        f"{args.budget:g} s of steps; the same random series (seed {SERIES_SEED}) for every "
        "engine; drawing the numbers and putting them into each engine's input form is not "
        "timed. "
        + (f"Each run timed {args.repeat} times in turns, the fastest median kept."
           if args.repeat > 1 else "Each run timed once."),
        f"Memory guard: a process is stopped above {limit_mb / 1024:.1f} GB or above what "
        f"the machine has available at its start less {MEMORY_RESERVE_MB / 1024:.0f} GB, or "
        "when the machine's available memory runs low while it runs; a size is skipped when "
        "the run's smaller size, grown linearly, would pass the limit.",
        "Versions: " + "; ".join(filter(None, [
            example.get("opendss-yearly", {}).get("version"),
            "dss-python " + example.get("opendss-yearly", {}).get("dss_python", "?"),
            "power-grid-model " + example.get("pgm-newton", {}).get("version", "?"),
            f"Python {platform.python_version()}"])) + ".",
    ]
    meta = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "machine": f"{os.cpu_count()} cores, {cpu_name()}",
            "load_before": load_before, "load_after": load_average(),
            "tarvelo": f"{head}{dirty}", "before": before_text, "notes": notes,
            "modules": modules, "memory_limit_mb": limit_mb, "args": vars(args)}
    text = report(rows, checks, runs, meta)
    print()
    print(text)
    out = pathlib.Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    (out / "peers.md").write_text(text)
    (out / "peers.json").write_text(json.dumps({"meta": meta, "checks": checks, "rows": rows},
                                               indent=2))
    print(f"written: {out / 'peers.md'}, {out / 'peers.json'}")


if __name__ == "__main__":
    main()
