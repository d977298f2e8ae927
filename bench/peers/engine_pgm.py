"""power-grid-model in the side-by-side benchmark. Runs in the peers' environment only
(build/bench-peers/venv).

power-grid-model has no explicit neutral conductor: it solves the three-wire equivalent of the
feeder. Every line is an asym_line given the full 4 x 4 matrix of tarvelo's cable, whose neutral
power-grid-model eliminates (Kron reduction, the neutral taken at earth potential at every bus);
every star load is an asym_load of constant power between each phase and earth. The source has a
short-circuit power of 1e15 VA (1.6e-10 ohm at 400 V), the nearest to an ideal source.

Variants (asymmetric calculation, one scenario per call, the model updated from Python with the
step's powers before each call, as tarvelo's loads are):
  iterative_current   the iterative current method
  newton_raphson      Newton-Raphson
The iterations are not returned by a calculation: they are read from the calculation's
diagnostic log (LoggerType.info), in one more, untimed calculation of the same state.
"""

from __future__ import annotations

import pathlib
import re
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import common  # noqa: E402
import power_grid_model as pgm  # noqa: E402
from power_grid_model import (  # noqa: E402
    CalculationMethod,
    ComponentType,
    DatasetType,
    LoadGenType,
    Logger,
    LoggerType,
    PowerGridModel,
    initialize_array,
)

SOURCE_SK = 1e15  # VA
Z_SELF = 0.206 + 0.08j  # ohm/km, bench/feeders.py
Z_MUTUAL = 0.03 + 0.05j
SELF_PAIRS = ("aa", "bb", "cc", "nn")
MUTUAL_PAIRS = ("ba", "ca", "cb", "na", "nb", "nc")
# The log line of the iteration count of an iterative power flow.
ITERATIONS_TAG = re.compile(r"Tag:3253: (\d+)")


class Engine:
    def __init__(self, variant: str):
        try:
            self.method = CalculationMethod[variant]
        except KeyError:
            raise SystemExit(f"unknown power-grid-model variant {variant!r}") from None
        self.variant = variant
        # The tolerance is a per-unit voltage (base: the phase voltage of 400 V): 1e-6 V.
        self.tolerance_pu = common.TOLERANCE_V / (400.0 / np.sqrt(3.0))

    def build(self, data):
        parents, lengths = data["parents"], data["lengths_km"]
        load_buses, powers = data["load_buses"], data["powers"]
        n, m = len(parents), len(load_buses)
        node = initialize_array(DatasetType.input, ComponentType.node, n)
        node["id"] = np.arange(n)
        node["u_rated"] = common.PHASE_VOLTAGE * np.sqrt(3.0)
        line = initialize_array(DatasetType.input, ComponentType.asym_line, n - 1)
        line["id"] = n + np.arange(n - 1)
        line["from_node"] = parents[1:]
        line["to_node"] = np.arange(1, n)
        line["from_status"] = 1
        line["to_status"] = 1
        length = lengths[1:]
        for pairs, z in ((SELF_PAIRS, Z_SELF), (MUTUAL_PAIRS, Z_MUTUAL)):
            for pair in pairs:
                line["r_" + pair] = z.real * length
                line["x_" + pair] = z.imag * length
        line["c0"] = 0.0
        line["c1"] = 0.0
        source = initialize_array(DatasetType.input, ComponentType.source, 1)
        source["id"] = 2 * n
        source["node"] = 0
        source["status"] = 1
        source["u_ref"] = 1.0
        source["u_ref_angle"] = 0.0
        source["sk"] = SOURCE_SK
        load = initialize_array(DatasetType.input, ComponentType.asym_load, m)
        load["id"] = 2 * n + 1 + np.arange(m)
        load["node"] = load_buses
        load["status"] = 1
        load["type"] = LoadGenType.const_power
        load["p_specified"] = powers.real
        load["q_specified"] = powers.imag
        self.load_ids = load["id"].copy()
        self.model = PowerGridModel({ComponentType.node: node, ComponentType.asym_line: line,
                                     ComponentType.source: source,
                                     ComponentType.asym_load: load})
        return {}

    def _calculate(self):
        return self.model.calculate_power_flow(
            symmetric=False, error_tolerance=self.tolerance_pu,
            max_iterations=common.MAX_ITERATIONS, calculation_method=self.method,
            output_component_types=[ComponentType.node])

    def _logged_iterations(self):
        with Logger(LoggerType.info) as log:
            self._calculate()
        found = ITERATIONS_TAG.findall(log.output or "")
        return int(found[-1]) if found else None

    def first_solve(self):
        self.output = self._calculate()
        return None

    def after_first_solve(self):
        return self._logged_iterations()

    def prepare(self, powers):
        update = initialize_array(DatasetType.update, ComponentType.asym_load, len(self.load_ids))
        update["id"] = self.load_ids
        update["p_specified"] = powers.real
        update["q_specified"] = powers.imag
        return {ComponentType.asym_load: update}

    def update(self, prepared):
        self.model.update(update_data=prepared)

    def solve(self):
        self.output = self._calculate()
        return None

    def after_series(self):
        return {"step_iterations": self._logged_iterations()}

    def voltages(self):
        nodes = self.output[ComponentType.node]
        return nodes["u"] * np.exp(1j * nodes["u_angle"])

    def describe(self):
        return {"engine": "power-grid-model", "version": pgm.__version__, "method": self.variant,
                "tolerance": f"{self.tolerance_pu:.3g} pu voltage (1e-6 V)",
                "model": "three-wire equivalent: neutral Kron-reduced, at earth at every bus"}


if __name__ == "__main__":
    common.main(Engine)
