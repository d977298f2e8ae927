"""Shared helpers: the four-wire test network and its physical checks."""

from dataclasses import dataclass, field

import numpy as np

from tarvelo import cy_engine as ce

A = np.exp(-2j * np.pi / 3)
PHASE_VOLTAGES = 230.0 * np.array([1, A, A**2])
STAR_POWERS = np.array([1000 + 200j, 2000 - 300j, 500j])
DELTA_POWERS = np.array([3000 + 0j, 1000 + 100j, 2000 - 500j])
# Starting potentials away from the solution, so that solved and stored values differ.
START = np.append(0.9 * PHASE_VOLTAGES, 5.0)


def carray(values):
    return np.array(values, dtype=np.complex128)


@dataclass
class FourWire:
    """Source, reference, switch, bus and loads; `nodes` lists the (element, port) of each node.

    source(0..3) == bus1(0..3) == switch side 1 ─ side 2 == bus2(0..3) == star load(0..3)
         │ port 3 (neutral)                                      └─ delta load(0..2)
      PotentialRef
    """

    source: ce.CyVoltageSource
    pref: ce.CyPotentialRef
    bus1: ce.CyBus
    switch: ce.CySwitch
    bus2: ce.CyBus
    star: ce.CyPowerLoad
    delta: ce.CyDeltaPowerLoad
    nodes: list = field(default_factory=list)

    @property
    def elements(self):
        return [self.source, self.pref, self.bus1, self.switch, self.bus2, self.star, self.delta]

    def network(self):
        elements = np.array(self.elements, dtype=object)
        return ce.CyElectricalNetwork(elements, len(elements))


def build_four_wire(voltages=PHASE_VOLTAGES, star=STAR_POWERS, delta=DELTA_POWERS):
    net = FourWire(
        source=ce.CyVoltageSource(4, carray(voltages)),
        pref=ce.CyPotentialRef(),
        bus1=ce.CyBus(4, carray(START)),
        switch=ce.CySwitch(4),
        bus2=ce.CyBus(4, carray(START)),
        star=ce.CyPowerLoad(4, carray(star)),
        delta=ce.CyDeltaPowerLoad(3, carray(delta)),
    )
    net.bus1.connect(net.source, [(i, i) for i in range(4)])
    net.pref.connect(net.bus1, [(0, 3)])
    net.switch.connect_side(net.bus1, [(i, i) for i in range(4)], True)
    net.switch.connect_side(net.bus2, [(i, i) for i in range(4)], False)
    net.bus2.connect(net.star, [(i, i) for i in range(4)])
    net.bus2.connect(net.delta, [(i, i) for i in range(3)])
    for k in range(4):
        upstream = [(net.source, k), (net.bus1, k), (net.switch, k)]
        downstream = [(net.switch, 4 + k), (net.bus2, k), (net.star, k)]
        if k == 3:
            upstream.append((net.pref, 0))
        else:
            downstream.append((net.delta, k))
        net.nodes += [upstream, downstream]
    return net


def node_current_sums(nodes):
    """The sum of the port currents on each node (Kirchhoff's law wants 0)."""
    return np.array([sum(e.get_port_current(i) for e, i in node) for node in nodes])


def assert_node_potentials_agree(nodes):
    for node in nodes:
        potentials = [e.get_port_potential(i) for e, i in node]
        np.testing.assert_allclose(potentials, potentials[0], rtol=0, atol=1e-9)


def assert_solution(net, voltages, star, delta):
    """Every physical law of the solved four-wire network."""
    # Kirchhoff at every node; the reference node balances too, and reports that sum.
    np.testing.assert_allclose(node_current_sums(net.nodes), 0, atol=1e-8)
    assert abs(net.pref.get_current()) < 1e-8
    assert_node_potentials_agree(net.nodes)
    # The reference holds the neutral at 0; the source imposes its voltages.
    v_source = net.source.get_potentials(4)
    assert v_source[3] == 0
    np.testing.assert_allclose(v_source[:3] - v_source[3], voltages, atol=1e-9)
    # The star load draws its power phase to neutral; its inner currents are its phase currents.
    v = net.bus2.get_potentials(4)
    i_star = net.star.get_currents(4)
    np.testing.assert_allclose((v[:3] - v[3]) * np.conj(i_star[:3]), star, atol=1e-6)
    np.testing.assert_allclose(net.star.get_inner_currents(3), i_star[:3], atol=1e-12)
    # The delta load draws its power phase to phase.
    j = net.delta.get_inner_currents(3)
    np.testing.assert_allclose((v[:3] - np.roll(v[:3], -1)) * np.conj(j), delta, atol=1e-6)
