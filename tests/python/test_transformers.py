# The transformers and CySingleVoltageRegulator.

import itertools

import numpy as np
import pytest
from conftest import (SOLVERS, assert_kirchhoff, assert_law, assert_refusals, carray, same, solve,
                      two_bus)

from tarvelo import cy_engine as ce

SWEEP_REFUSED = "2 No backward-forward method has been defined for transformers yet."
# The winding matrices, built here from the vector-group tables: R maps (a, b, c) to (c, a, b),
# S gives the phase-to-neutral voltages of a star whose neutral is the fourth port.
I3, R = np.eye(3), np.roll(np.eye(3), 1, axis=0)
RT, S = R.T, np.hstack([np.eye(3), -np.ones((3, 1))])


def winding_matrices(whv, wlv, clock):  # hv_winding, hv_map, lv_winding, lv_map, couplings
    sign = -1 if 4 <= clock <= 8 else 1
    first = clock in (0, 1, 2, 6, 7, 8)
    hv = (S, I3) if whv == "Y" else (I3 - RT, I3 - R) if clock in (0, 4, 5, 6, 10, 11) else (
        I3 - R, I3 - RT)
    lv, couplings = (S, I3), (I3, -I3)
    if wlv == "y" and clock % 6 in (2, 4):
        lv, sign = ((RT @ S, R) if clock % 6 == 2 else (R @ S, RT)), -sign
    elif wlv == "z":
        couplings = (I3 - R, RT - I3) if first else (I3 - RT, R - I3)
    elif wlv == "d":
        lv = (I3 - RT, I3 - R) if first else (I3 - R, I3 - RT)
    return hv, lv, couplings, sign


def model_currents(whv, wlv, clock, v1, v2, z2, ym, kr):  # both sides, neutrals included
    (hw, hm), (lw, lm), (vc, cc), sign = winding_matrices(whv, wlv, clock)
    u1 = hw @ v1
    j = (lw @ v2 - sign * kr * vc @ u1) / z2 * sign
    x, y = hm @ (ym * u1 + kr * cc @ j), sign * lm @ j
    return [np.append(c, -c.sum())[:n] for c, n in ((x, len(v1)), (y, len(v2)))]


# source(0..3) == bus1 == side 1 (a, b, c[, n]) ┐ trafo ┌ side 2 == bus2 == load (delta for "d")
#   │ n: PotentialRef               bus2(3): PotentialRef; for "d" a DeltaPotentialRef on (0..2)
def test_every_vector_group_at_every_clock():
    z2, ym, kr, loads = 0.02 + 0.04j, 2e-4 - 8e-4j, 0.25, np.array([3e3 + 1e3j, 5e3, 1e3 - 2e3j])
    uhv, ulv, sn = 400.0, 100.0, 50e3
    for whv, wlv, clock in itertools.product("YD", "ydz", range(12)):
        n1, n2 = 3 + (whv == "Y"), 3 + (wlv != "d")
        trafo = ce.CyThreePhaseTransformer(n1, n2, whv, wlv, 2 * z2, 0, 0.8 * kr, clock)
        load = (ce.CyPowerLoad if n2 == 4 else ce.CyDeltaPowerLoad)(n2, carray([0] * 3))
        net = two_bus(trafo, n1 + n2, [(load, n2)] + [(ce.CyDeltaPotentialRef(3), 3)] * (n2 == 3),
                      side1=same(n1), side2=same(n2), lv_ref=True)
        solver = ce.CyNewton(network := net.network(), False)
        # Loaded, after an update that the recorded tape takes up (the imaginary part of k is
        # not used); a solver built afterwards agrees.
        trafo.update_transformer_parameters(z2, ym, kr + 0.3j)
        load.update_powers(carray(loads))
        assert solver.solve_load_flow(50, 1e-9)[1] <= 1e-9
        assert_kirchhoff(net, atol=1e-9)
        assert_law("power", load, loads, rtol=1e-10)
        (v1, v2), currents = trafo.get_side_potentials(n1, n2), trafo.get_side_currents(n1, n2)
        for got, want in zip(currents, model_currents(whv, wlv, clock, v1, v2, z2, ym, kr)):
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-9)
        solve(net)
        np.testing.assert_allclose(net.bus2.get_potentials(n2), v2, rtol=0, atol=1e-9)
        assert_refusals([(lambda: ce.CyBackwardForward(network).solve_load_flow(9, 1),
                          RuntimeError, SWEEP_REFUSED)])  # no sweep step
        # The open-circuit test writes rated potentials, the low-voltage side clock x 30 degrees
        # behind, into the solver's unknowns.
        trafo.compute_open_circuit_parameters(uhv, ulv, sn)
        v1, v2 = trafo.get_side_potentials(n1, n2)
        rated = np.array([1, np.exp(-2j * np.pi / 3), np.exp(2j * np.pi / 3)]) / np.sqrt(3)
        np.testing.assert_allclose(v1[:3], uhv * rated, rtol=1e-15)
        np.testing.assert_allclose(v2[:3], ulv * rated * np.exp(-1j * np.pi / 6 * clock),
                                   rtol=1e-14)


# Catalogue of a 160 kVA 20 kV / 400 V transformer; the z2 and ym that give it (a delta winding
# sees the line voltage, a star one the phase voltage).
UHV, ULV, SN, P0, I0, PSC, VSC = 20e3, 400.0, 160e3, 460.0, 0.023, 2350.0, 0.04
Z2 = PSC * ULV**2 / SN**2 + 1j * np.sqrt((VSC * ULV**2 / SN) ** 2 - (PSC * ULV**2 / SN**2) ** 2)


def magnetising(windings):  # ym of each of `windings` windings under the full rated voltage UHV
    g = P0 / (windings * UHV**2)
    return g - 1j * np.sqrt((I0 * SN / (windings * UHV**2)) ** 2 - g**2)


# Each model's tests give the catalogue back; the short-circuit test also feeds the magnetising
# branch at vsc times the rated voltage, and a delta LV side reports a third of the voltage. Each
# test leaves its voltage across the first two ports of side 1: a line voltage of a three-phase
# winding, 30 degrees ahead.
@pytest.mark.parametrize("make, losses, vsc, shift", [
    (lambda: ce.CyThreePhaseTransformer(3, 4, "D", "y", Z2, magnetising(3),
                                        ULV / (np.sqrt(3) * UHV), 11), PSC + P0 * VSC**2, VSC, 1),
    (lambda: ce.CyThreePhaseTransformer(4, 3, "Y", "d", Z2, magnetising(1),
                                        np.sqrt(3) * ULV / UHV, 11),
     PSC / 3 + P0 * VSC**2 / 9, VSC / 3, 1),
    (lambda: ce.CySingleTransformer(Z2, magnetising(1), ULV / UHV * np.exp(0.4j)),
     PSC + P0 * VSC**2, VSC, 0),
    (lambda: ce.CyCenterTransformer(Z2, magnetising(1), ULV / UHV), PSC + P0 * VSC**2, VSC, 0),
], ids=["Dyn11", "Yd11", "single", "centre"])
def test_open_and_short_circuit_tests_give_back_the_catalogue(make, losses, vsc, shift):
    transformer = make()
    for test, expected in (("open", (P0, I0)), ("short", (losses, vsc))):
        got = getattr(transformer, f"compute_{test}_circuit_parameters")(uhv=UHV, ulv=ULV, sn=SN)
        assert got == pytest.approx(expected, rel=1e-9)
        v1 = transformer.get_side_potentials(2, 0)[0]
        assert v1[0] - v1[1] == pytest.approx(UHV * (got[1] if test == "short" else 1) *
                                              np.exp(1j * np.pi / 6 * shift), rel=1e-12)
    # A negative voltage gives NaN, never plausible numbers; an infinite one no NaN part; no
    # rated power an infinite per-unit current.
    assert transformer.compute_open_circuit_parameters(UHV, ULV, 0)[1] == np.inf
    assert np.isnan(transformer.compute_open_circuit_parameters(-UHV, ULV, SN)).all()
    transformer.compute_open_circuit_parameters(np.inf, ULV, SN)
    assert transformer.get_side_potentials(2, 0)[0][0] == np.inf


# source(0, 1) == bus1 == side 1 ┐ branch ┌ side 2 (0) == bus2(0) == load(0)
#   │ 1: PotentialRef                        └ side 2 (last) == bus2(1) == load(1) ── PotentialRef
# With `return_line` the side-2 return reaches bus2(1) through a line listed before the branch,
# so that the sweep sets its potential first. A centre tap's end b (side-2 port 1) is left open.
def single_phase(branch, ports, power, voltage=230, return_line=False):
    load = ce.CyPowerLoad(2, carray([power]))
    net = two_bus(branch, ports, [(load, 2)], [voltage], side1=same(2),
                  side2=[(0, 0)] + [(ports - 3, 1)] * (not return_line), lv_ref=True)
    if return_line:
        line = net.add(ce.CySimplifiedLine(1, carray([0.3 + 0.1j])), 2)
        net.elements.insert(3, net.elements.pop())
        net.join(branch, line, [(1, 1)], False)
        net.join(line, net.bus2, [(0, 1)], True)
    net.load = load
    return net


def assert_two_winding_laws(net, k, z2, ym, power):  # I2 = (U2 - k U1) / z2, I1 = ym U1 - k* I2
    assert_kirchhoff(net)
    assert_law("power", net.load, [power], atol=1e-6)
    v, i = net.branch.get_potentials(4), net.branch.get_currents(4)
    u1, u2 = v[0] - v[1], v[2] - v[3]
    np.testing.assert_allclose(i, [ym * u1 - np.conj(k) * i[2], -i[0], (u2 - k * u1) / z2, -i[2]],
                               rtol=1e-9, atol=1e-9)
    return abs(u2)


def tap(u, u_ref=230.0):  # the regulator's: 10 % at most, steepness 10
    return 1 + 0.1 * np.tanh(10 * (u_ref - u) / u_ref)


@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_single_phase_transformer_and_regulator_between_updates(name):
    # A transformer whose return drops a few volts on a line, then new parameters between two
    # solves of one solver.
    k, z2, ym, power = 0.5 * np.exp(0.3j), 0.05 + 0.1j, 1e-4 - 5e-4j, 2000 + 500j
    net = single_phase(ce.CySingleTransformer(z2, ym, k), 4, power, return_line=True)
    solver = solve(net, SOLVERS[name])
    assert_two_winding_laws(net, k, z2, ym, power)
    assert abs(net.branch.get_port_potential(3)) > 2
    net.branch.update_transformer_parameters(2 * z2, 3 * ym, 0.45 * np.exp(-0.2j))
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert_two_winding_laws(net, 0.45 * np.exp(-0.2j), 2 * z2, 3 * ym, power)
    # A regulator with a phase shift raises a low voltage towards u_ref, then towards a higher
    # reference with new impedances.
    z2, ym, phi, power = 0.02 + 0.04j, 1e-5 - 1e-4j, 0.2, 5000 + 1000j
    regulator = ce.CySingleVoltageRegulator(z2, ym, u_ref=230.0, u_range=0.1, alpha=10.0, phi=phi)
    for u in (0, 207, 230, 253, 1e9):
        assert regulator.compute_tap(u_out=u) == pytest.approx(tap(u), rel=1e-15, abs=1e-15)
    net = single_phase(regulator, 4, power, voltage=207)
    solver = solve(net, SOLVERS[name])
    u2 = assert_two_winding_laws(net, regulator.get_tap() * np.exp(1j * phi), z2, ym, power)
    assert 215 < u2 < 230 and regulator.get_tap() == pytest.approx(tap(u2), rel=1e-15)
    regulator.update_parameters(2 * z2, 3 * ym, u_ref=250)
    assert regulator.compute_tap(240) == pytest.approx(tap(240, 250), rel=1e-15)
    solver.solve_load_flow(100, 1e-10)
    raised = assert_two_winding_laws(net, regulator.get_tap() * np.exp(1j * phi), 2 * z2, 3 * ym,
                                     power)
    assert raised > u2 + 3 and regulator.get_tap() == pytest.approx(tap(raised, 250), rel=1e-15)


def test_winding_names_and_port_counts_are_refused():
    def make(whv, wlv, n1=4, k=0.5):
        return lambda: ce.CyThreePhaseTransformer(n1, 4, whv, wlv, Z2, 0, k, 11)

    assert_refusals([(make(whv, wlv), RuntimeError, message) for whv, wlv, message in [
        ("Y", "D", "Bad LV winding: D"), ("YN", "D", "Bad HV winding: YN"),  # HV first
        (bytearray(), "y", "Bad HV winding: "), ("Y", "yn", "Bad LV winding: yn")]] + [
        (make("D", "y"), ValueError, 'ThreePhaseTransformer: HV winding "D" needs 3 ports, got 4'),
        (make("Y", "d"), ValueError, 'ThreePhaseTransformer: LV winding "d" needs 3 ports, got 4')])
    # Strings as str, bytes or bytearray.
    ce.CyThreePhaseTransformer(n1=3, n2=3, whv=b"D", wlv=bytearray(b"d"), z2=Z2, ym=0, k=1, clock=0)
