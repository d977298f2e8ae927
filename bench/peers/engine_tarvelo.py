"""tarvelo in the side-by-side benchmark: the four-wire feeder built element by element from
Python, solved by Newton-Raphson (variant "newton", on the optimised tape) or by the
backward-forward sweep (variant "sweep"). Runs in the repository's .venv, or with PYTHONPATH
pointing at another revision's build (bench_peers.py --before).
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

import common  # noqa: E402
from feeders import FOUR_WIRES, build_feeder, cable_matrix, source_voltages  # noqa: E402

from tarvelo import cy_engine as cy  # noqa: E402

MAX_SWEEPS = 1000


def build_network(data: dict, neutral_at_earth: bool = False):
    """The feeder of `data` (bench/feeders.py's numbers). With `neutral_at_earth`, every bus's
    neutral is held at zero as well: the three-wire equivalent that power-grid-model solves."""
    parents, lengths = data["parents"], data["lengths_km"]
    load_at = {int(bus): j for j, bus in enumerate(data["load_buses"])}
    powers = data["powers"]
    u = source_voltages()
    starting = np.append(u, 0.0).astype(np.complex128)
    source = cy.CyVoltageSource(4, np.ascontiguousarray(u))
    reference = cy.CyPotentialRef()
    source.connect(reference, [(3, 0)])
    buses = [cy.CyBus(4, starting) for _ in range(len(parents))]
    buses[0].connect(source, FOUR_WIRES)
    elements, loads = [source, reference, buses[0]], []
    for i in range(1, len(parents)):
        line = cy.CySimplifiedLine(4, cable_matrix(float(lengths[i])))
        line.connect_side(buses[int(parents[i])], FOUR_WIRES, True)
        line.connect_side(buses[i], FOUR_WIRES, False)
        elements += [line, buses[i]]
        if neutral_at_earth:
            earth = cy.CyPotentialRef()
            buses[i].connect(earth, [(3, 0)])
            elements.append(earth)
        if i in load_at:
            load = cy.CyPowerLoad(4, np.ascontiguousarray(powers[load_at[i]]))
            buses[i].connect(load, FOUR_WIRES)
            elements.append(load)
            loads.append(load)
    array = np.empty(len(elements), dtype=object)
    array[:] = elements
    return cy.CyElectricalNetwork(array, len(elements)), buses, loads


def potentials(buses) -> np.ndarray:
    return np.array([bus.get_potentials(4) for bus in buses])


class Engine:
    def __init__(self, variant: str):
        if variant not in ("newton", "sweep"):
            raise SystemExit(f"unknown tarvelo variant {variant!r}")
        self.variant = variant

    def build(self, data):
        (self.network, self.buses, self.loads), network_s = common.timed(
            lambda: build_network(data))
        self.solver, solver_s = common.timed(self._solver)
        return {"build_network_s": network_s, "build_solver_s": solver_s}

    def _solver(self, network=None):
        network = network or self.network
        if self.variant == "newton":
            return cy.CyNewton(network, True)
        return cy.CyBackwardForward(network)

    def first_solve(self):
        return self.solve()

    def prepare(self, powers):
        return [np.ascontiguousarray(row) for row in powers]

    def update(self, prepared):
        for load, powers in zip(self.loads, prepared):
            load.update_powers(powers)

    def solve(self):
        limit = common.MAX_ITERATIONS if self.variant == "newton" else MAX_SWEEPS
        iterations, residual = self.solver.solve_load_flow(limit, common.TOLERANCE_V)
        if not residual <= common.TOLERANCE_V:
            raise SystemExit(f"tarvelo {self.variant}: no convergence, {iterations} iterations, "
                             f"residual {residual}")
        return iterations

    def voltages(self):
        return potentials(self.buses)

    def check_arrays(self, data):
        """Two more solutions for the check: the three-wire equivalent (first solve and step 1)
        for power-grid-model, and the first solve of bench/feeders.py's own builder, which must
        be the feeder of `data`."""
        network, buses, loads = build_network(data, neutral_at_earth=True)
        solver = cy.CyNewton(network, False)
        solver.solve_load_flow(common.MAX_ITERATIONS, common.TOLERANCE_V)
        arrays = {"three_wire_first": potentials(buses)}
        for load, powers in zip(loads, self.prepare(data["series"][0])):
            load.update_powers(powers)
        solver.solve_load_flow(common.MAX_ITERATIONS, common.TOLERANCE_V)
        arrays["three_wire_step1"] = potentials(buses)
        del solver
        feeder = build_feeder(len(data["parents"]))
        reference = cy.CyNewton(feeder.network, False)
        reference.solve_load_flow(common.MAX_ITERATIONS, common.TOLERANCE_V)
        arrays["feeders_first"] = potentials(feeder.buses)
        return arrays

    def describe(self):
        tolerance = ("residual 1e-6 A (Kirchhoff's currents)" if self.variant == "newton"
                     else "largest potential change 1e-6 V")
        return {"engine": "tarvelo", "module": cy.__file__, "tolerance": tolerance,
                "model": "four-wire, neutral held at zero at the source only"}


if __name__ == "__main__":
    common.main(Engine)
