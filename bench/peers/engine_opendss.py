"""OpenDSS (the DSS C-API engine of dss-python) in the side-by-side benchmark. Runs in the
peers' environment only (build/bench-peers/venv).

The same four-wire feeder as tarvelo's: every line a 4-phase line of the same 4 x 4 impedance
matrix (no Kron reduction, no capacitance), the neutral of bus 0 joined to earth (node 0), every
other neutral floating; every star load three single-phase constant-power loads (model 1),
phase to the bus's neutral node, with the voltage band of constant power opened wide so that
they never turn into impedances. The source is a three-phase Vsource of 1e-10 ohm, the nearest
OpenDSS has to an ideal source.

Variants:
  yearly    OpenDSS's own time series: every load follows a load shape of actual kW and kvar
            (the whole series handed over before the first solve, its time reported apart),
            mode yearly, one hour per solve. A step is one Solve(): no Python update in it.
  updates   snapshot solves, every load's kW then kvar set from Python through the Loads
            interface before each solve (the update in the step time, as for tarvelo).
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import common  # noqa: E402
import dss  # noqa: E402
from dss import DSS  # noqa: E402

FREQUENCY = 50.0
SOURCE_OHM = 1e-10
# Loads keep constant power between these per-unit voltages (the defaults 0.95 and 1.05 would
# turn them into impedances on the long, unbalanced branches).
V_MIN_PU, V_MAX_PU = 0.5, 2.0
Z_SELF = 0.206 + 0.08j  # ohm/km, bench/feeders.py
Z_MUTUAL = 0.03 + 0.05j


def lower_triangle(values) -> str:
    rows = [" ".join(repr(values(Z_SELF if c == r else Z_MUTUAL)) for c in range(r + 1))
            for r in range(4)]
    return "[" + " | ".join(rows) + "]"


class Engine:
    def __init__(self, variant: str):
        if variant not in ("yearly", "updates"):
            raise SystemExit(f"unknown OpenDSS variant {variant!r}")
        self.variant = variant
        # OpenDSS's tolerance is a per-unit voltage change: 1e-6 V on the phase voltage.
        self.tolerance_pu = common.TOLERANCE_V / common.PHASE_VOLTAGE

    def build(self, data):
        parents, lengths = data["parents"], data["lengths_km"]
        load_buses, powers = data["load_buses"], data["powers"]
        self.n_buses = len(parents)
        base_kv = common.PHASE_VOLTAGE * np.sqrt(3.0) / 1e3
        commands = [
            "clear",
            f"set defaultbasefrequency={FREQUENCY!r}",
            f"new circuit.feeder bus1=b0 phases=3 basekv={float(base_kv)!r} pu=1 angle=0 "
            f"r1={SOURCE_OHM!r} x1=0 r0={SOURCE_OHM!r} x0=0",
            f"new linecode.cable nphases=4 units=km basefreq={FREQUENCY!r} "
            f"rmatrix={lower_triangle(lambda z: z.real)} "
            f"xmatrix={lower_triangle(lambda z: z.imag)} "
            "cmatrix=[0 | 0 0 | 0 0 0 | 0 0 0 0]",
        ]
        for i in range(1, self.n_buses):
            parent = int(parents[i])
            side1 = "b0.1.2.3.0" if parent == 0 else f"b{parent}.1.2.3.4"
            commands.append(f"new line.l{i} phases=4 bus1={side1} bus2=b{i}.1.2.3.4 "
                            f"linecode=cable length={float(lengths[i])!r} units=km")
        phase_kv = common.PHASE_VOLTAGE / 1e3
        for j, bus in enumerate(load_buses):
            for k in range(3):
                s = complex(powers[j, k]) / 1e3
                commands.append(
                    f"new load.d{j}_{k} phases=1 bus1=b{bus}.{k + 1}.4 kv={phase_kv!r} "
                    f"kw={s.real!r} kvar={s.imag!r} model=1 vminpu={V_MIN_PU} "
                    f"vmaxpu={V_MAX_PU}")
        commands += ["set controlmode=off", f"set tolerance={self.tolerance_pu!r}",
                     f"set maxiterations={common.MAX_ITERATIONS}"]
        DSS.Text.Commands("\n".join(commands))
        self.base_powers = np.asarray(powers)
        self.solution = DSS.ActiveCircuit.Solution
        self.loads = DSS.ActiveCircuit.Loads
        if self.variant == "updates":
            DSS.Text.Commands("set mode=snapshot")
        return {}

    def load_series(self, series):
        """Yearly variant: load shape i gives load i its actual kW and kvar, hour 1 the
        feeder's own powers (the first solve), hour k + 1 step k of the series."""
        if self.variant != "yearly":
            return False
        shapes = DSS.ActiveCircuit.LoadShapes
        everything = np.concatenate([self.base_powers[None], series]) / 1e3  # kVA by hour
        flat = everything.reshape(len(everything), -1)  # column i: load d{j}_{k}, i = 3j + k
        for i in range(flat.shape[1]):
            name = f"s{i}"
            shapes.New(name)
            shapes.Npts = flat.shape[0]
            shapes.HrInterval = 1.0
            shapes.Pmult = flat[:, i].real.copy()
            shapes.Qmult = flat[:, i].imag.copy()
            shapes.UseActual = True
            self.loads.idx = i + 1
            self.loads.Yearly = name
        DSS.Text.Commands("set mode=yearly number=1 stepsize=1h hour=0 sec=0")
        return True

    def first_solve(self):
        return self.solve()

    def prepare(self, powers):
        if self.variant == "yearly":
            return None
        flat = np.asarray(powers).reshape(-1) / 1e3
        return list(zip(flat.real.tolist(), flat.imag.tolist()))

    def update(self, prepared):
        if prepared is None:
            return
        loads = self.loads
        for i, (kw, kvar) in enumerate(prepared, start=1):
            loads.idx = i
            loads.kW = kw  # OpenDSS keeps the power factor here: kvar follows, then is set
            loads.kvar = kvar

    def solve(self):
        self.solution.Solve()
        if not self.solution.Converged:
            raise SystemExit(f"OpenDSS {self.variant}: no convergence")
        return self.solution.Iterations

    def voltages(self):
        circuit = DSS.ActiveCircuit
        values = np.asarray(circuit.AllBusVolts)
        values = values[0::2] + 1j * values[1::2]
        result = np.zeros((self.n_buses, 4), dtype=np.complex128)
        for name, value in zip(circuit.AllNodeNames, values):
            bus, node = name.split(".")
            result[int(bus[1:]), int(node) - 1] = value
        return result

    def describe(self):
        return {"engine": "OpenDSS", "version": DSS.Version.split(" revision")[0],
                "dss_python": dss.__version__,
                "tolerance": f"{self.tolerance_pu:.3g} pu voltage change (1e-6 V)",
                "model": "four-wire, neutral held at zero at the source only"}


if __name__ == "__main__":
    common.main(Engine)
