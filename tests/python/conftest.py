# Shared builders of test networks and their physical checks.

import functools
import re

import numpy as np
import pytest

from tarvelo import cy_engine as ce

A = np.exp(-2j * np.pi / 3)
PHASE_VOLTAGES = 230.0 * np.array([1, A, A**2])
STAR_POWERS = np.array([1000 + 200j, 2000 - 300j, 500j])
DELTA_POWERS = np.array([3000 + 0j, 1000 + 100j, 2000 - 500j])
# Starting potentials away from the solution, so that solved and stored values differ.
START = np.append(0.9 * PHASE_VOLTAGES, 5.0)
SOLVERS = {"newton": lambda network: ce.CyNewton(network, True), "sweep": ce.CyBackwardForward,
           "goldstein": lambda network: ce.CyNewtonGoldstein(network, False, 0.1, 0.9)}


def pytest_configure(config):  # a warning is an error: the module warns only of faults
    config.addinivalue_line("filterwarnings", "error")


carray = functools.partial(np.array, dtype=np.complex128)


def objects(*items):
    return np.array(items, dtype=object)


def same(n):
    return [(k, k) for k in range(n)]


def solve(net, make=SOLVERS["newton"]):
    # A new solver, kept on `net`: the potentials are read live from it.
    net.solver = make(net.network())
    iterations, residual = net.solver.solve_load_flow(200, 1e-10)
    assert iterations < 200 and residual <= 1e-10
    return net.solver


def assert_refusals(cases):
    # Each (call, exception, message) case raises that exception with exactly that message, "..."
    # standing for any text; a message of None is not checked.
    for call, error, message in cases:
        with pytest.raises(error) as refusal:
            call()
        if message is not None:
            pattern = ".*".join(map(re.escape, message.split("...")))
            assert re.fullmatch(pattern, str(refusal.value), re.S), str(refusal.value)


class Net:
    # Elements in the order added (also the sweep order) and the nodes their joins make.
    def __init__(self):
        self.elements, self.ports, self.side1, self.parent = [], {}, {}, {}

    def add(self, element, ports):
        self.elements.append(element)
        self.ports[id(element)] = (element, ports)
        self.parent.update({(id(element), k): (id(element), k) for k in range(ports)})
        return element

    def root(self, key):
        return key if self.parent[key] == key else self.root(self.parent[key])

    def join(self, a, b, pairs, beginning=None):  # connect, or connect_side given `beginning`
        a.connect(b, pairs) if beginning is None else a.connect_side(b, pairs, beginning)
        if beginning:  # side 2 starts after the ports of side 1
            self.side1[id(a)] = len(pairs)
        offset = self.side1[id(a)] if beginning is False else 0
        for i, j in pairs:
            self.parent[self.root((id(a), i + offset))] = self.root((id(b), j))

    def nodes(self):
        groups = {}
        for key in self.parent:
            groups.setdefault(self.root(key), []).append((self.ports[key[0]][0], key[1]))
        return groups.values()

    def network(self, extra=()):
        return ce.CyElectricalNetwork(objects(*self.elements, *extra), len(self.elements) + len(
            extra))


# source(0..w-1) == bus1 == branch side 1 ─ side 2 == bus2 == each load, port k on bus2 port k
#   │ last port (neutral)                                   │ last port, with lv_ref
# PotentialRef                                            PotentialRef
# `side1`, `side2`: the (branch port, bus port) pairs of each side, all wires by default.
def two_bus(branch, ports, loads=(), voltages=PHASE_VOLTAGES, side1=None, side2=None, lv_ref=False):
    w, start = len(voltages) + 1, np.append(0.9 * np.asarray(voltages), 5.0)
    net = Net()
    net.source, net.pref = net.add(ce.CyVoltageSource(w, carray(voltages)), w), net.add(
        ce.CyPotentialRef(), 1)
    net.bus1, net.branch = net.add(ce.CyBus(w, carray(start)), w), net.add(branch, ports)
    net.bus2 = net.add(ce.CyBus(w, carray(start)), w)
    net.join(net.bus1, net.source, same(w))
    net.join(net.pref, net.bus1, [(0, w - 1)])
    net.join(branch, net.bus1, side1 or same(w), True)
    net.join(branch, net.bus2, side2 or same(w), False)
    for load, n in loads:
        net.join(net.bus2, net.add(load, n), same(n))
    if lv_ref:
        net.join(net.bus2, net.add(ce.CyPotentialRef(), 1), [(w - 1, 0)])
    return net


# Phases and neutral alike, with equal mutual impedances, so that balanced and zero-sequence
# sets stay so along the line.
Z_LINE = np.full((4, 4), 0.02j) + np.diag([0.3 + 0.15j] * 4)


def behind_line(loads, voltages=PHASE_VOLTAGES):  # a line of as many conductors as the source
    w = len(voltages) + 1
    line = ce.CySimplifiedLine(w, carray(Z_LINE[-w:, -w:].ravel()))
    return two_bus(line, 2 * w, loads, voltages)


def four_wire():  # star and delta loads behind a switch
    net = two_bus(ce.CySwitch(4), 8, [(ce.CyPowerLoad(4, carray(STAR_POWERS)), 4),
                                      (ce.CyDeltaPowerLoad(3, carray(DELTA_POWERS)), 3)])
    net.star, net.delta = net.elements[5:7]
    return net


def assert_kirchhoff(net, atol=1e-8):
    # Kirchhoff's law at every node (a node held by a reference reads 0 instead), one potential
    # per node, and the port currents of every element but the references summing to zero.
    for node in net.nodes():
        potentials = [e.get_port_potential(k) for e, k in node]
        np.testing.assert_allclose(potentials, potentials[0], rtol=0, atol=1e-9)
        current = sum(e.get_port_current(k) for e, k in node)
        held = any(isinstance(e, ce.CyPotentialRef) for e, _ in node)
        assert potentials[0] == 0 if held else abs(current) < atol
    for element, ports in net.ports.values():
        if not isinstance(element, (ce.CyPotentialRef, ce.CyDeltaPotentialRef)):
            assert abs(element.get_currents(ports).sum()) < atol


LAWS = {  # what each law holds fixed, from the voltage across a phase and the current through it
    "power": lambda dv, j: dv * np.conj(j),
    "current": lambda dv, j: j * np.abs(dv) / dv,  # the magnitude; the angle follows the voltage
    "admittance": lambda dv, j: j / dv}


def phases(load, n=3):
    # The voltage across each of the n phases (star) or branches (delta) of a load and the current
    # through it; the port currents must follow from those.
    delta = "Delta" in type(load).__name__
    v, i = load.get_potentials(n + (not delta)), load.get_currents(n + (not delta))
    if delta:
        j = load.get_inner_currents(n)
        np.testing.assert_allclose(i, j - np.roll(j, 1), rtol=1e-12, atol=1e-12)
        return v - np.roll(v, -1), j
    np.testing.assert_array_equal(load.get_inner_currents(n), i[:-1])
    return v[:-1] - v[-1], i[:-1]


def assert_law(kind, load, values, rtol=1e-8, atol=1e-9):  # returns the voltages across phases
    dv, j = phases(load, len(values))
    np.testing.assert_allclose(LAWS[kind](dv, j), values, rtol=rtol, atol=atol)
    return dv


# ---- a radial four-wire feeder with both line models ----

# Per km, conductors a, b, c, n of a cable laid flat (b in the middle): series impedances (ohm)
# and shunt admittances (S). The couplings differ from pair to pair, so balanced voltages still
# drive some shunt current to earth. Neither matrix is symmetric, so that a transposed read
# shows, and the rows of Y do not sum as its columns.
Z_PER_KM = 0.02 + np.diag([0.19, 0.19, 0.19, 0.3]) + 1e-3j * np.array(
    [[90, 74, 50, 60], [70, 85, 73, 55], [50, 70, 90, 64], [60, 55, 60, 100]])
Y_PER_KM = (1e-5 + 1e-4j) * np.array([[30, -8, -4, -6], [-9, 32, -7, -5], [-4, -9, 30, -6],
                                      [-6, -5, -4, 25]])
# Parent of each bus 1..19 and its line model: "S" shunt line, "s" simplified line.
FEEDER_TREE = list(zip([0, 1, 2, 3, 4, 5, 6, 7, 8, 3, 10, 11, 12, 13, 6, 15, 16, 17, 18],
                       "SSSSSSSSSssssssSsSs"))
FEEDER_STAR = np.array([2000 + 400j, 1500 + 200j, 2500 + 600j])
FEEDER_DELTA = np.array([3000 + 600j, 2000 + 0j, 2500 + 300j])


def feeder_line_matrices(i, scale=1.0):  # Z and Y (None for a simplified line) feeding bus i
    length = scale * (0.03 + 0.01 * (i % 4))
    return Z_PER_KM * length, Y_PER_KM * length if FEEDER_TREE[i - 1][1] == "S" else None


# source ══ b0 ═S═ b1 ═S═ b2 ═S═ b3 ═S═ b4 ═S═ b5 ═S═ b6 ═S═ b7 ═S═ b8 ═S═ b9
#   │n                         ║                    ║
# ref_n                        ║                    ╚═s═ b15 ═S═ b16 ═s═ b17 ═S═ b18 ═s═ b19
#                              ╚═s═ b10 ═s═ b11 ═s═ b12 ═s═ b13 ═s═ b14
# ═S═ shunt line (4 x 4 Z and Y, ground-side port on gnd ── ref_g), ═s═ simplified line; a star
# load on every bus but b0, delta loads on b5, b9, b12 and b17; parents listed before children.
def build_feeder(line_scale=1.0):
    net = Net()
    net.source = net.add(ce.CyVoltageSource(4, carray(PHASE_VOLTAGES)), 4)
    net.neutral_ref, net.ground, net.ground_ref = (net.add(element, 1) for element in (
        ce.CyPotentialRef(), ce.CyGround(), ce.CyPotentialRef()))
    net.buses, net.lines, net.loads = [net.add(ce.CyBus(4, carray(START)), 4)], [], []
    net.join(net.buses[0], net.source, same(4))
    net.join(net.neutral_ref, net.buses[0], [(0, 3)])
    net.join(net.ground_ref, net.ground, [(0, 0)])
    for i, (parent, _) in enumerate(FEEDER_TREE, start=1):
        z, y = feeder_line_matrices(i, line_scale)
        line = net.add(ce.CySimplifiedLine(4, carray(z.ravel())) if y is None else
                       ce.CyShuntLine(4, carray(y.ravel()), carray(z.ravel())), 9 - (y is None))
        if y is not None:
            net.join(net.ground, line, [(0, 8)])
        net.buses.append(net.add(ce.CyBus(4, carray(START)), 4))
        net.join(line, net.buses[parent], same(4), True)
        net.join(line, net.buses[i], same(4), False)
        net.lines.append((line, z, y))
        star = FEEDER_STAR * (0.6 + 0.05 * (i % 7))
        for powers in [star] + [FEEDER_DELTA] * (i in (5, 9, 12, 17)):
            ports = 4 - (powers is FEEDER_DELTA)
            load = (ce.CyPowerLoad if ports == 4 else ce.CyDeltaPowerLoad)(ports, carray(powers))
            net.join(net.buses[i], net.add(load, ports), same(ports))
            net.loads.append((load, net.buses[i], powers))
    return net


def expected_line_currents(z, y, v):
    # Series Z, and half of Y at each end returning through the ground-side port (the last).
    n = len(z)
    i1 = np.linalg.solve(z, v[:n] - v[n:2 * n])
    if y is None:
        return np.concatenate([i1, -i1])
    i1, i2 = i1 + y @ (v[:n] - v[2 * n]) / 2, -i1 + y @ (v[n:2 * n] - v[2 * n]) / 2
    return np.concatenate([i1, i2, [-(i1.sum() + i2.sum())]])


def assert_feeder_laws(net, atol=1e-6):  # Kirchhoff, the source, every line and every load
    assert_kirchhoff(net)
    # What reaches the earth through the ground-side ports returns through the source neutral.
    to_earth = net.ground_ref.get_current()  # what the lines' ground-side ports draw
    assert abs(to_earth - sum(line.get_port_current(8) for line, _, y in net.lines if y is not None)
               ) < 1e-10 and abs(to_earth) > 5e-3
    assert abs(net.neutral_ref.get_current() + to_earth) < 1e-8
    np.testing.assert_allclose(net.source.get_potentials(4), np.append(PHASE_VOLTAGES, 0),
                               rtol=0, atol=1e-9)
    for line, z, y in net.lines:
        v, i = line.get_potentials(8 + (y is not None)), line.get_currents(8 + (y is not None))
        np.testing.assert_allclose(i, expected_line_currents(z, y, v), rtol=0, atol=atol)
    for load, _, powers in net.loads:
        assert_law("power", load, powers, rtol=0, atol=atol)
