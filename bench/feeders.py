"""Generator of radial three-phase four-wire feeders for the benchmarks.

A feeder of n buses: a 400 V star source whose neutral is held at zero, bus 0 at the source, then
a random tree of buses, each joined to an earlier one by 5 to 20 m of four-wire cable
(`CySimplifiedLine`, a full 4 x 4 impedance matrix with mutual terms), with an unbalanced star
power load on most buses. The total load is about 150 kW whatever the size, so that every size
is a feeder that a 400 V source can supply and the solvers converge.

Elements are listed parent before child, so the list is also a valid sweep order.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from tarvelo import cy_engine as cy

PHASE_VOLTAGE = 230.0
TOTAL_LOAD = 150e3  # W
# A 150 mm2 aluminium four-wire cable, ohm per km: self and mutual impedances.
Z_SELF = 0.206 + 0.08j
Z_MUTUAL = 0.03 + 0.05j
FOUR_WIRES = [(k, k) for k in range(4)]


@dataclasses.dataclass
class Feeder:
    elements: list
    loads: list
    buses: list
    network: cy.CyElectricalNetwork


def source_voltages() -> np.ndarray:
    angles = np.array([0.0, -2.0 * np.pi / 3.0, 2.0 * np.pi / 3.0])
    return PHASE_VOLTAGE * np.exp(1j * angles)


def cable_matrix(length_km: float) -> np.ndarray:
    """The 4 x 4 impedance matrix of a length of cable, row by row."""
    z = np.full((4, 4), Z_MUTUAL, dtype=np.complex128)
    np.fill_diagonal(z, Z_SELF)
    return np.ascontiguousarray((z * length_km).ravel())


def random_powers(rng: np.random.Generator, n_loads: float, count: int = 1) -> np.ndarray:
    """Unbalanced powers of `count` star loads (a row of three phases each), drawn so that
    n_loads such loads draw TOTAL_LOAD on average, with power factors of 0.95 and more."""
    mean_phase_power = TOTAL_LOAD / (3.0 * max(n_loads, 1.0))
    magnitudes = mean_phase_power * rng.uniform(0.5, 1.5, (count, 3))
    return magnitudes * np.exp(1j * rng.uniform(0.0, 0.3, (count, 3)))


def build_feeder(n_buses: int, seed: int = 1, load_share: float = 0.8) -> Feeder:
    rng = np.random.default_rng(seed)
    u = source_voltages()
    starting = np.append(u, 0.0).astype(np.complex128)
    source = cy.CyVoltageSource(4, np.ascontiguousarray(u))
    reference = cy.CyPotentialRef()
    source.connect(reference, [(3, 0)])
    bus0 = cy.CyBus(4, starting)
    bus0.connect(source, FOUR_WIRES)
    elements, buses, loads = [source, reference, bus0], [bus0], []
    expected_loads = load_share * (n_buses - 1)
    for i in range(1, n_buses):
        bus = cy.CyBus(4, starting)
        line = cy.CySimplifiedLine(4, cable_matrix(rng.uniform(0.005, 0.02)))
        line.connect_side(buses[int(rng.integers(0, i))], FOUR_WIRES, True)
        line.connect_side(bus, FOUR_WIRES, False)
        elements += [line, bus]
        buses.append(bus)
        if rng.random() < load_share:
            load = cy.CyPowerLoad(4, random_powers(rng, expected_loads)[0])
            bus.connect(load, FOUR_WIRES)
            elements.append(load)
            loads.append(load)
    array = np.empty(len(elements), dtype=object)
    array[:] = elements
    return Feeder(elements, loads, buses, cy.CyElectricalNetwork(array, len(elements)))


@dataclasses.dataclass
class FeederDescription:
    """The numbers behind `build_feeder`, for engines other than tarvelo: bus i > 0 hangs from
    bus parents[i] by lengths_km[i] of cable (parents[0] = -1, lengths_km[0] = 0); load j sits at
    bus load_buses[j] and draws powers[j] (VA, phases a, b, c, star to the bus's neutral)."""

    parents: np.ndarray
    lengths_km: np.ndarray
    load_buses: np.ndarray
    powers: np.ndarray

    @property
    def n_buses(self) -> int:
        return len(self.parents)


def describe_feeder(n_buses: int, seed: int = 1, load_share: float = 0.8) -> FeederDescription:
    """The feeder that `build_feeder` builds with the same arguments, as plain arrays: the same
    draws from the same generator in the same order."""
    rng = np.random.default_rng(seed)
    parents = np.full(n_buses, -1, dtype=np.int64)
    lengths = np.zeros(n_buses)
    load_buses, powers = [], []
    expected_loads = load_share * (n_buses - 1)
    for i in range(1, n_buses):
        lengths[i] = rng.uniform(0.005, 0.02)
        parents[i] = int(rng.integers(0, i))
        if rng.random() < load_share:
            powers.append(random_powers(rng, expected_loads)[0])
            load_buses.append(i)
    return FeederDescription(parents, lengths, np.array(load_buses, dtype=np.int64),
                             np.array(powers, dtype=np.complex128).reshape(-1, 3))
