"""Generator of radial three-phase four-wire feeders for the benchmarks.

A feeder of n buses: a 400 V star source whose neutral is held at zero, bus 0 at the source, then
a random tree of buses, each joined to an earlier one by 5 to 20 m of four-wire cable
(`CySimplifiedLine`, a full 4 x 4 impedance matrix with mutual terms), with an unbalanced star
power load on most buses. The total load is about 150 kW whatever the size, so that every size
is a feeder a 400 V source can supply and the solvers converge.

Elements are listed parent before child, so the list is also a valid sweep order.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from tarvelo import cy_engine as cy

PHASE_VOLTAGE = 230.0
# A 150 mm2 aluminium four-wire cable, ohm per km: self and mutual impedances.
Z_SELF = 0.206 + 0.08j
Z_MUTUAL = 0.03 + 0.05j


def source_voltages() -> np.ndarray:
    angles = np.array([0.0, -2.0 * np.pi / 3.0, 2.0 * np.pi / 3.0])
    return PHASE_VOLTAGE * np.exp(1j * angles)


def cable_matrix(length_km: float) -> np.ndarray:
    z = np.full((4, 4), Z_MUTUAL, dtype=np.complex128)
    np.fill_diagonal(z, Z_SELF)
    return np.ascontiguousarray((z * length_km).ravel())


@dataclasses.dataclass
class Feeder:
    elements: list
    loads: list
    buses: list
    network: object


TOTAL_LOAD = 150e3  # W


def build_feeder(n_buses: int, seed: int = 1, load_share: float = 0.8) -> Feeder:
    rng = np.random.default_rng(seed)
    mean_phase_power = TOTAL_LOAD / (3.0 * load_share * max(n_buses - 1, 1))
    u = source_voltages()
    starting = np.ascontiguousarray(np.append(u, 0.0).astype(np.complex128))
    source = cy.CyVoltageSource(4, np.ascontiguousarray(u))
    reference = cy.CyPotentialRef()
    source.connect(reference, [(3, 0)])
    bus0 = cy.CyBus(4, starting)
    bus0.connect(source, [(k, k) for k in range(4)])
    elements = [source, reference, bus0]
    buses, loads = [bus0], []
    pairs = [(k, k) for k in range(4)]
    for i in range(1, n_buses):
        parent = buses[int(rng.integers(0, i))]
        bus = cy.CyBus(4, starting)
        line = cy.CySimplifiedLine(4, cable_matrix(rng.uniform(0.005, 0.02)))
        line.connect_side(parent, pairs, True)
        line.connect_side(bus, pairs, False)
        elements += [line, bus]
        buses.append(bus)
        if rng.random() < load_share:
            magnitudes = mean_phase_power * rng.uniform(0.5, 1.5, 3)
            powers = magnitudes * np.exp(1j * rng.uniform(0.0, 0.3, 3))
            load = cy.CyPowerLoad(4, np.ascontiguousarray(powers.astype(np.complex128)))
            bus.connect(load, pairs)
            elements.append(load)
            loads.append(load)
    array = np.empty(len(elements), dtype=object)
    array[:] = elements
    network = cy.CyElectricalNetwork(array, len(elements))
    return Feeder(elements, loads, buses, network)
