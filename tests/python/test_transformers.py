# The transformers and CySingleVoltageRegulator.

import numpy as np
import pytest
from conftest import (A, SOLVERS, assert_kirchhoff, assert_law, assert_refusals, carray, phases,
                      same, solve, two_bus)

from tarvelo import cy_engine as ce

SQRT3 = np.sqrt(3)
# Catalogue of a 160 kVA 20 kV / 400 V distribution transformer, and the series impedance of a
# star (or two-winding) low-voltage side that it gives.
UHV, ULV, SN, P0, I0, PSC, VSC = 20e3, 400.0, 160e3, 460.0, 0.023, 2350.0, 0.04
R2 = PSC * ULV**2 / SN**2
Z2 = R2 + 1j * np.sqrt((VSC * ULV**2 / SN) ** 2 - R2**2)
K_DYN = ULV / (SQRT3 * UHV)  # a delta winding sees the line voltage
HV_PHASES = UHV / SQRT3 * np.array([1, A, A**2])
LV_NO_LOAD = ULV / UHV * HV_PHASES * np.exp(-11j * np.pi / 6)  # clock 11: 330 degrees behind
SWEEP_REFUSED = "2 No backward-forward method has been defined for transformers yet."


def magnetising(windings):  # ym of each of `windings` windings under the full rated voltage UHV
    g = P0 / (windings * UHV**2)
    return g - 1j * np.sqrt((I0 * SN / (windings * UHV**2)) ** 2 - g**2)


def three_phase(windings, clock, ym, k):  # "Dy": "D" high, "y" low, on ports to fit
    whv, wlv = windings
    return ce.CyThreePhaseTransformer(3 + (whv == "Y"), 3 + (wlv != "d"), whv, wlv, Z2, ym, k,
                                      clock)


# source(0..3) == hv(0..3) == side 1 (D, ports 0..2) ┐ trafo ┌ side 2 (yn) == lv(0..3) == loads
#     │ hv(3)                                                                  │ lv(3)
#  PotentialRef                                                             PotentialRef
@pytest.mark.parametrize("name", ["newton", "goldstein"])
def test_dyn11_from_no_load_to_load_and_updates(name):
    star, delta = ce.CyPowerLoad(4, carray([0, 0, 0])), ce.CyDeltaPowerLoad(3, carray([0, 0, 0]))
    net = two_bus(three_phase("Dy", 11, magnetising(3), K_DYN), 7, [(star, 4), (delta, 3)],
                  HV_PHASES, same(3), start2=[*0.95 * LV_NO_LOAD, 0], lv_ref=True)
    network = net.network()
    assert_refusals([(lambda: ce.CyBackwardForward(network).solve_load_flow(9, 1), RuntimeError,
                      SWEEP_REFUSED)])  # no sweep step
    solver = SOLVERS[name](network)
    solver.solve_load_flow(20, 1e-10)
    assert_kirchhoff(net, atol=1e-7)
    v1, v2 = net.branch.get_side_potentials(3, 4)
    np.testing.assert_allclose(v2[:3] - v2[3], LV_NO_LOAD, rtol=1e-9)
    # The HV side takes the catalogue's no-load losses and current.
    i1 = net.branch.get_side_currents(3, 4)[0]
    assert np.sum(v1 * np.conj(i1)).real == pytest.approx(P0, rel=1e-9)
    np.testing.assert_allclose(np.abs(i1) / (SN / (SQRT3 * UHV)), I0, rtol=1e-9)

    def loaded(star_powers=carray([30e3 + 5e3j, 20e3 + 2e3j, 40e3 - 1e3j]),
               delta_powers=carray([10e3 + 1e3j, 0, 15e3 + 3e3j])):
        star.update_powers(star_powers)
        delta.update_powers(delta_powers)
        solver.solve_load_flow(20, 1e-10)
        assert_kirchhoff(net, atol=1e-7)
        assert_law("power", star, star_powers, rtol=0, atol=1e-5)
        assert_law("power", delta, delta_powers, rtol=0, atol=1e-5)
        return net.bus2.get_potentials(4)

    # Loaded, with ym = 0: the LV winding currents are the phase currents, and z2 takes all the
    # power entering through the ports.
    net.branch.update_transformer_parameters(Z2, 0, K_DYN)
    before = loaded()
    v, i = net.branch.get_potentials(7), net.branch.get_currents(7)
    losses = Z2 * np.sum(np.abs(i[3:6]) ** 2)
    assert abs(np.sum(v * np.conj(i)) - losses) < 1e-6 * abs(losses)
    # A 2.5 % higher ratio; the three-phase model ignores the imaginary part of k.
    net.branch.update_transformer_parameters(1.5 * Z2, 2 * magnetising(3), 1.025 * K_DYN + 0.3j)
    after = loaded()
    assert np.min(np.abs(after[:3]) - np.abs(before[:3])) > 3
    net.branch.update_transformer_parameters(1.5 * Z2, 2 * magnetising(3), 1.025 * K_DYN)
    solver = SOLVERS[name](network)
    np.testing.assert_allclose(loaded(), after, atol=1e-8)
    # A test on a linked transformer writes its potentials into the solver's unknowns (the
    # three HV phase nodes, then the three LV phase nodes).
    net.branch.compute_open_circuit_parameters(UHV, ULV, SN)
    x = solver.get_variables()
    np.testing.assert_allclose(x[6:12:2] + 1j * x[7:12:2], LV_NO_LOAD, rtol=1e-12)


# Each model built from the catalogue (a star HV winding sees uhv / sqrt(3), a delta one uhv) and
# its short-circuit losses and voltage; a delta LV side reports a third of the voltage.
@pytest.mark.parametrize("make, losses, vsc", [
    (lambda: three_phase("Dy", 11, magnetising(3), K_DYN), PSC + P0 * VSC**2, VSC),
    (lambda: three_phase("Dd", 0, magnetising(3), ULV / UHV), PSC / 3 + P0 * VSC**2 / 9, VSC / 3),
    (lambda: ce.CySingleTransformer(Z2, magnetising(1), ULV / UHV * np.exp(0.4j)),
     PSC + P0 * VSC**2, VSC),
    (lambda: ce.CyCenterTransformer(Z2, magnetising(1), ULV / UHV), PSC + P0 * VSC**2, VSC),
], ids=["Dyn11", "Dd0", "single", "centre"])
def test_open_and_short_circuit_tests_give_back_the_catalogue(make, losses, vsc):
    assert make().compute_open_circuit_parameters(UHV, ULV, SN) == pytest.approx((P0, I0), rel=1e-9)
    # The short-circuit test also feeds the magnetising branch at vsc times the rated voltage.
    assert make().compute_short_circuit_parameters(uhv=UHV, ulv=ULV, sn=SN) == \
        pytest.approx((losses, vsc), rel=1e-9)


# source(0, 1) == bus1 == side 1 ─ side 2 == bus2 == load; source and load neutrals (port 1) on a
# PotentialRef each; a centre tap's end b (side-2 port 1) left open.
def single_phase(branch, voltage, power, centre=False):
    load = ce.CyPowerLoad(2, carray([power]))
    net = two_bus(branch, 4 + centre, [(load, 2)], [voltage], side2=[(0, 0), (1 + centre, 1)],
                  lv_ref=True)
    if centre:
        assert_refusals([(lambda: ce.CyBackwardForward(net.network()).solve_load_flow(9, 1),
                          RuntimeError, SWEEP_REFUSED)])  # no sweep step
    return net, load


def assert_two_winding_laws(branch, k, z2, ym, load, power):
    # I2 = (U2 - k U1) / z2 and I1 = ym U1 - conj(k) I2
    assert_law("power", load, [power], atol=1e-6)
    v, i = branch.get_potentials(4), branch.get_currents(4)
    u1, u2 = v[0] - v[1], v[2] - v[3]
    assert abs(i[2] - (u2 - k * u1) / z2) < 1e-8
    assert abs(i[0] - (ym * u1 - np.conj(k) * i[2])) < 1e-8


def test_single_phase_and_centre_tapped_transformers_under_newton():
    k, z2, ym = 0.5 * np.exp(0.3j), 0.05 + 0.1j, 1e-4 - 5e-4j
    single = ce.CySingleTransformer(z2, ym, k)
    net, load = single_phase(single, 460, 2000 + 500j)
    solve(net)
    assert_kirchhoff(net)
    assert_two_winding_laws(single, k, z2, ym, load, 2000 + 500j)  # the imaginary part of k counts
    # With ym = 0, what enters through all five ports is the loss in the half windings.
    centre = ce.CyCenterTransformer(z2, 0, 0.5)
    net, load = single_phase(centre, 460, 2000 + 500j, centre=True)
    solve(net)
    assert_kirchhoff(net)  # end b's node included: it carries nothing
    assert_law("power", load, [2000 + 500j], atol=1e-6)
    v, i = centre.get_potentials(5), centre.get_currents(5)
    losses = z2 / 2 * (abs(i[2]) ** 2 + abs(i[3]) ** 2)
    assert abs(np.sum(v * np.conj(i)) - losses) < 1e-8
    assert abs((v[2] - v[4]) - (0.25 * (v[0] - v[1]) + z2 / 2 * i[2])) < 1e-9


@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_regulator_tap_law_and_a_low_voltage_raised_towards_u_ref(name):
    z2, ym = 0.02 + 0.04j, 1e-5 - 1e-4j
    regulator = ce.CySingleVoltageRegulator(z2, ym, u_ref=230.0, u_range=0.1, alpha=10.0, phi=0.0)
    assert regulator.compute_tap(230) == 1.0
    assert regulator.compute_tap(u_out=207) == pytest.approx(1.0761594155955765, rel=1e-15)
    assert regulator.compute_tap(253) == pytest.approx(0.9238405844044235, rel=1e-15)
    assert 0.9 <= regulator.compute_tap(1e9) and regulator.compute_tap(0) <= 1.1
    ce.CyBus(1, carray([7])).connect(regulator, [(0, 3)])  # the side-1 neutral follows
    assert regulator.get_port_potential(1) == regulator.get_port_potential(3) == 7
    net, load = single_phase(regulator, 207, 5000 + 1000j)
    solver = solve(net, SOLVERS[name])
    assert_kirchhoff(net)
    u2, tap = abs(phases(load, 1)[0][0]), regulator.get_tap()
    assert 215 < u2 < 230 and 1 < tap <= 1.1 and tap == regulator.compute_tap(u2)
    assert_two_winding_laws(regulator, tap, z2, ym, load, 5000 + 1000j)
    # A higher reference between two solves of one solver, then a fresh solver.
    regulator.update_parameters(z2, ym, u_ref=250)
    solver.solve_load_flow(100, 1e-10)
    raised = net.bus2.get_potentials(2)
    assert abs(raised[0] - raised[1]) > u2 + 3 and regulator.get_tap() > tap
    solve(net, SOLVERS[name])
    np.testing.assert_allclose(net.bus2.get_potentials(2), raised, atol=1e-7)


def test_winding_names_and_port_counts_are_refused():
    def make(whv, wlv, n1=4, k=0.5):
        return lambda: ce.CyThreePhaseTransformer(n1, 4, whv, wlv, Z2, 0, k, 11)

    assert_refusals([(make(whv, wlv), RuntimeError, message) for whv, wlv, message in [
        ("Y", "D", "Bad LV winding: D"), ("YN", "D", "Bad HV winding: YN"),  # HV first
        ("y", "y", "Bad HV winding: y"), ("", "y", "Bad HV winding: "),
        ("Y", "yn", "Bad LV winding: yn")]] + [
        (make("D", "y"), ValueError, 'ThreePhaseTransformer: HV winding "D" needs 3 ports, got 4'),
        (make("D", "y", 3, 0.5j), TypeError, None)])  # k is real in this model
    # Strings as str, bytes or bytearray.
    ce.CyThreePhaseTransformer(n1=3, n2=3, whv=b"D", wlv=bytearray(b"d"), z2=Z2, ym=0, k=1,
                               clock=0)
