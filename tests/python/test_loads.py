# CyLoad, the power, admittance and current loads in star and delta, and CyLoadBalancer.

import numpy as np
import pytest
from conftest import (A, DELTA_POWERS, PHASE_VOLTAGES, SOLVERS, STAR_POWERS, assert_kirchhoff,
                      assert_law, assert_refusals, behind_line, carray, phases, solve)

from tarvelo import cy_engine as ce

FAMILIES = {  # kind: star class, delta class, star values, delta values
    "power": (ce.CyPowerLoad, ce.CyDeltaPowerLoad, STAR_POWERS, DELTA_POWERS),
    "current": (ce.CyCurrentLoad, ce.CyDeltaCurrentLoad, np.array([10, 8 - 3j, 5j]),
                np.array([6, 4 + 2j, 3 - 3j])),
    "admittance": (ce.CyAdmittanceLoad, ce.CyDeltaAdmittanceLoad,
                   np.array([0.05 - 0.02j, 0.08, 0.03 + 0.01j]),
                   np.array([0.01, 0.02 - 0.01j, 0.015j]))}


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("delta", [False, True], ids=["star", "delta"])
@pytest.mark.parametrize("kind", FAMILIES)
def test_each_law_before_and_after_updates_equal_to_a_fresh_solver(kind, delta, name):
    # Made by keyword; values past the records are ignored.
    values = FAMILIES[kind][2 + delta]
    load = FAMILIES[kind][delta](n=4 - delta, **{f"{kind}s": carray([*values, 1e6])})
    net = behind_line([(load, 4 - delta)])
    assert_refusals([(lambda: FAMILIES[kind][0](0, None), RuntimeError, None),  # no neutral
                     (lambda: load.get_inner_currents(2), ValueError, "size: ...least 3, got 2"),
                     (lambda: ce.CyLoadBalancer(Z2, YM, K).get_inner_currents(2), ValueError,
                      "size: ...least 3, got 2")])
    solver = solve(net, SOLVERS[name])
    dv = assert_law(kind, load, values)
    unloaded = PHASE_VOLTAGES - np.roll(PHASE_VOLTAGES, -1) if delta else PHASE_VOLTAGES
    assert np.max(np.abs(dv - unloaded)) > 1  # the line drops a few volts
    values = values[::-1] * (1.5 + 0.2j)
    getattr(load, f"update_{kind}s")(carray([*values, 1e6]))
    net.source.update_voltages(carray(PHASE_VOLTAGES * 1.05))
    for fresh in (False, True):  # the solver, then one built after the updates
        solve(net, SOLVERS[name]) if fresh else solver.solve_load_flow(200, 1e-10)
        assert_kirchhoff(net)
        assert_law(kind, load, values)
        np.testing.assert_allclose(net.source.get_potentials(3), PHASE_VOLTAGES * 1.05, atol=1e-9)
    # One value for a load and a source of one phase.
    load = FAMILIES[kind][0](2, carray(values[:1]))
    net = behind_line([(load, 2)], PHASE_VOLTAGES[:1])
    solver = solve(net, SOLVERS[name])
    getattr(load, f"update_{kind}")(**{kind: 2 * values[0]})
    net.source.update_voltage(voltage=240)
    solver.solve_load_flow(200, 1e-10)
    assert_law(kind, load, 2 * values[:1])
    assert np.diff(net.source.get_potentials(2)) == pytest.approx(-240)


Z2, YM, K = 8 + 4j, 0.05 - 0.08j, 0.9
A_TERM, B_TERM = Z2 + (1 + 1 / K**2) / YM, -1 / (YM * K)  # the balancer's own and mutual terms


@pytest.mark.parametrize("name", SOLVERS)
def test_load_balancer(name):
    # Balanced, zero-sequence and unbalanced voltages: I = Z^-1 dV with the balancer's own and
    # mutual terms.
    z = np.full((3, 3), B_TERM) + np.diag([A_TERM - B_TERM] * 3)
    for voltages in (PHASE_VOLTAGES, np.full(3, 230.0 + 10j), [240, 200 * A, 220 * A**2 + 15]):
        balancer = ce.CyLoadBalancer(z2=Z2, ym=YM, k=K)
        net = behind_line([(balancer, 4)], np.asarray(voltages))
        solve(net, SOLVERS[name])
        assert_kirchhoff(net)
        dv, i = phases(balancer)
        np.testing.assert_allclose(z @ i, dv, rtol=1e-8)
