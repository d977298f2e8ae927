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


# ---- a radial four-wire feeder with both line models (lines, sweep and diagnostics) ----

FOUR_WIRES = [(k, k) for k in range(4)]
FEEDER_STAR = np.array([2000 + 400j, 1500 + 200j, 2500 + 600j])
FEEDER_DELTA = np.array([3000 + 600j, 2000 + 0j, 2500 + 300j])


def symmetric(diagonal, ab, bc, ac, an, bn, cn):
    return np.array([[diagonal[0], ab, ac, an], [ab, diagonal[1], bc, bn],
                     [ac, bc, diagonal[2], cn], [an, bn, cn, diagonal[3]]], dtype=np.complex128)


# Per km, conductors a, b, c, n of a cable laid flat (b in the middle): series impedances (ohm)
# and shunt admittances (S). The couplings differ from pair to pair, so balanced voltages still
# drive some shunt current to earth.
Z_PER_KM = symmetric([0.21 + 0.09j, 0.21 + 0.085j, 0.21 + 0.09j, 0.32 + 0.1j],
                     0.02 + 0.07j, 0.02 + 0.07j, 0.02 + 0.05j, 0.02 + 0.06j, 0.02 + 0.055j,
                     0.02 + 0.06j)
Y_PER_KM = symmetric([3e-3j, 3.2e-3j, 3e-3j, 2.5e-3j],
                     -9e-4j, -9e-4j, -4e-4j, -6e-4j, -5e-4j, -6e-4j)


@dataclass
class Feeder:
    """A radial four-wire feeder of 20 buses (see build_feeder); `nodes` lists the (element, port)
    of every node not held at zero; `lines` holds (line, Z, Y or None); loads hold (load, bus,
    powers)."""

    source: ce.CyVoltageSource
    neutral_ref: ce.CyPotentialRef
    ground: ce.CyGround
    ground_ref: ce.CyPotentialRef
    buses: list = field(default_factory=list)
    lines: list = field(default_factory=list)
    stars: list = field(default_factory=list)
    deltas: list = field(default_factory=list)
    elements: list = field(default_factory=list)
    nodes: list = field(default_factory=list)

    def network(self, extra=()):
        elements = np.array(self.elements + list(extra), dtype=object)
        return ce.CyElectricalNetwork(elements, len(elements))

    def potentials(self):
        return np.concatenate([bus.get_potentials(4) for bus in self.buses])


# Parent of each bus 1..19 and its line model: "S" shunt line, "s" simplified line.
FEEDER_TREE = ([(i - 1, "S") for i in range(1, 10)] + [(3, "s")]
               + [(i - 1, "s") for i in range(11, 15)]
               + [(6, "s"), (15, "S"), (16, "s"), (17, "S"), (18, "s")])
FEEDER_DELTA_BUSES = (5, 9, 12, 17)


def feeder_line_matrices(i, scale=1.0):
    """Z and Y (None for a simplified line) of the line feeding bus i."""
    length = scale * (0.03 + 0.01 * (i % 4))
    z = Z_PER_KM * length
    y = Y_PER_KM * length if FEEDER_TREE[i - 1][1] == "S" else None
    return z, y


def build_feeder(line_scale=1.0, start=START):
    """
    source ══ b0 ═S═ b1 ═S═ b2 ═S═ b3 ═S═ b4 ═S═ b5 ═S═ b6 ═S═ b7 ═S═ b8 ═S═ b9
      │n                         ║                    ║
    ref_n                        ║                    ╚═s═ b15 ═S═ b16 ═s═ b17 ═S═ b18 ═s═ b19
                                 ╚═s═ b10 ═s═ b11 ═s═ b12 ═s═ b13 ═s═ b14

    ═S═ shunt line (4 x 4 Z and Y, ground-side port on gnd ── ref_g), ═s═ simplified line;
    a star load on every bus but b0, delta loads on b5, b9, b12 and b17. Elements are listed
    parent before child, which is also the sweep order.
    """
    f = Feeder(source=ce.CyVoltageSource(4, carray(PHASE_VOLTAGES)),
               neutral_ref=ce.CyPotentialRef(), ground=ce.CyGround(),
               ground_ref=ce.CyPotentialRef())
    f.buses.append(ce.CyBus(4, carray(start)))
    f.buses[0].connect(f.source, FOUR_WIRES)
    f.neutral_ref.connect(f.buses[0], [(0, 3)])
    f.ground_ref.connect(f.ground, [(0, 0)])
    f.elements = [f.source, f.neutral_ref, f.ground, f.ground_ref, f.buses[0]]
    members = [[[(f.buses[0], k), (f.source, k)] for k in range(4)]]  # per bus, per conductor
    for i, (parent, model) in enumerate(FEEDER_TREE, start=1):
        bus = ce.CyBus(4, carray(start))
        z, y = feeder_line_matrices(i, line_scale)
        if model == "S":
            line = ce.CyShuntLine(4, carray(y.ravel()), carray(z.ravel()))
            f.ground.connect(line, [(0, 8)])
        else:
            line = ce.CySimplifiedLine(4, carray(z.ravel()))
        line.connect_side(f.buses[parent], FOUR_WIRES, True)
        line.connect_side(bus, FOUR_WIRES, False)
        powers = FEEDER_STAR * (0.6 + 0.05 * (i % 7))
        star = ce.CyPowerLoad(4, carray(powers))
        bus.connect(star, FOUR_WIRES)
        conductors = [[(bus, k), (line, 4 + k), (star, k)] for k in range(4)]
        for k in range(4):
            members[parent][k].append((line, k))
        f.elements += [line, bus, star]
        f.stars.append((star, bus, powers))
        if i in FEEDER_DELTA_BUSES:
            delta = ce.CyDeltaPowerLoad(3, carray(FEEDER_DELTA))
            bus.connect(delta, FOUR_WIRES[:3])
            for k in range(3):
                conductors[k].append((delta, k))
            f.elements.append(delta)
            f.deltas.append((delta, bus, FEEDER_DELTA))
        f.buses.append(bus)
        f.lines.append((line, z, y))
        members.append(conductors)
    # The source neutral is held at zero, and so is the ground: neither is a node with rows.
    f.nodes = [node for conductors in members for k, node in enumerate(conductors)
               if not (node[0][0] is f.buses[0] and k == 3)]
    return f


def expected_line_currents(z, y, potentials):
    """The port currents of a line from its potentials: series Z, and half of Y at each end
    returning through the ground-side port (the last port)."""
    v1, v2 = potentials[:4], potentials[4:8]
    i1 = np.linalg.solve(z, v1 - v2)
    i2 = -i1
    if y is None:
        return np.concatenate([i1, i2])
    vg = potentials[8]
    i1 = i1 + y @ (v1 - vg) / 2
    i2 = i2 + y @ (v2 - vg) / 2
    return np.concatenate([i1, i2, [-(i1.sum() + i2.sum())]])


def assert_feeder_laws(f, atol=1e-6):
    """Kirchhoff at every node, the source, every line and every load of a solved feeder."""
    np.testing.assert_allclose(node_current_sums(f.nodes), 0, atol=1e-8)
    assert_node_potentials_agree(f.nodes)
    # What reaches the earth through the ground-side ports returns through the source neutral.
    to_earth = f.ground_ref.get_current()
    assert abs(to_earth) > 5e-3
    assert abs(f.neutral_ref.get_current() + to_earth) < 1e-8
    v_source = f.source.get_potentials(4)
    assert v_source[3] == 0
    np.testing.assert_allclose(v_source[:3], PHASE_VOLTAGES, atol=1e-9)
    for line, z, y in f.lines:
        ports = 8 if y is None else 9
        np.testing.assert_allclose(line.get_currents(ports),
                                   expected_line_currents(z, y, line.get_potentials(ports)),
                                   rtol=0, atol=atol)
    for load, bus, powers in f.stars:
        v, i = bus.get_potentials(4), load.get_currents(4)
        np.testing.assert_allclose((v[:3] - v[3]) * np.conj(i[:3]), powers, rtol=0, atol=atol)
    for load, bus, powers in f.deltas:
        v, j = bus.get_potentials(3), load.get_inner_currents(3)
        np.testing.assert_allclose((v - np.roll(v, -1)) * np.conj(j), powers, rtol=0, atol=atol)
