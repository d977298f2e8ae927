"""CyElectricalNetwork, the solver bases, CyNewton and CyNewtonGoldstein."""

import numpy as np
import pytest
from conftest import (DELTA_POWERS, PHASE_VOLTAGES, STAR_POWERS, assert_solution,
                      build_four_wire, carray)

from tarvelo import cy_engine as ce

SOLVERS = {
    "newton": lambda network: ce.CyNewton(network, True),
    "goldstein": lambda network: ce.CyNewtonGoldstein(network, False, 0.1, 0.9),
}


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
def test_four_wire_network_obeys_every_law(make_solver):
    net = build_four_wire()
    solver = make_solver(net.network())
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert isinstance(iterations, int) and 1 <= iterations < 20
    assert isinstance(residual, float) and residual <= 1e-10
    assert_solution(net, PHASE_VOLTAGES, STAR_POWERS, DELTA_POWERS)


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
def test_updates_between_solves_reach_the_same_solver(make_solver):
    net = build_four_wire()
    network = net.network()
    solver = make_solver(network)
    solver.solve_load_flow(20, 1e-10)
    first = net.star.get_currents(4)

    voltages = PHASE_VOLTAGES * 1.05
    star = STAR_POWERS * 2 + 100
    delta = DELTA_POWERS[::-1].copy()
    net.source.update_voltages(carray(voltages))
    net.star.update_powers(carray(star))
    net.delta.update_powers(carray(delta))
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, voltages, star, delta)
    second = net.star.get_currents(4)
    assert np.max(np.abs(second - first)) > 1

    # A solver built after the updates starts from the stored values and agrees.
    potentials, currents = net.bus2.get_potentials(4), net.delta.get_currents(3)
    fresh = make_solver(network)
    fresh.solve_load_flow(20, 1e-10)
    np.testing.assert_allclose(net.bus2.get_potentials(4), potentials, atol=1e-9)
    np.testing.assert_allclose(net.delta.get_currents(3), currents, atol=1e-9)


def test_solver_variables_reset_set_and_limits():
    net = build_four_wire()
    solver = ce.CyNewton(net.network(), False)
    start = solver.get_variables()
    assert start.dtype == np.float64 and start.shape == (28,)  # 7 nodes off zero, 7 unknowns

    iterations, residual = solver.solve_load_flow(0, 1e-10)  # no step: starting residual
    assert iterations == 0 and residual > 1
    np.testing.assert_array_equal(solver.get_variables(), start)

    solver.solve_load_flow(20, 1e-10)
    assert not np.allclose(solver.get_variables(), start)
    solver.reset_inputs()
    np.testing.assert_array_equal(solver.get_variables(), start)

    longer = np.arange(30, dtype=np.float64)
    solver.set_variables(longer)
    np.testing.assert_array_equal(solver.get_variables(), longer[:28])
    # The potentials are read live from the solver's variables.
    assert net.bus1.get_port_potential(0) == complex(longer[0], longer[1])
    with pytest.raises(ValueError, match="variables: expected at least 28 values, got 27"):
        solver.set_variables(np.zeros(27))
    with pytest.raises(ValueError):
        solver.set_variables(None)
    with pytest.raises(TypeError):
        solver.set_variables(np.zeros(28, dtype=np.float32).tolist())


def test_goldstein_parameters_and_failed_solves():
    net = build_four_wire()
    solver = ce.CyNewtonGoldstein(net.network(), 1, 0.1, 0.9)
    solver.update_params(m1=0.2, m2=0.8)
    assert solver.solve_load_flow(20, 1e-10)[1] <= 1e-10

    # A bus floating on its own gives a singular Jacobian: the engine's coded text comes back.
    floating = ce.CyBus(1, carray([1.0]))
    load = ce.CyPowerLoad(2, carray([100.0]))
    load.connect(floating, [(0, 0)])
    elements = np.array([floating, load], dtype=object)
    with pytest.raises(RuntimeError, match=r"^1 .* at iteration 0\. $"):
        ce.CyNewton(ce.CyElectricalNetwork(elements, 2), False).solve_load_flow(5, 1e-10)


def test_network_arguments_are_refused_before_the_engine():
    net = build_four_wire()
    elements = np.array(net.elements, dtype=object)
    empty = ce.CyElectricalNetwork(None, 0)
    assert ce.CyNewton(empty, False).get_variables().shape == (0,)
    assert ce.CyNewton(empty, False).solve_load_flow(3, 1e-9) == (0, 0.0)
    # Only the first nb_elements entries are read.
    ce.CyElectricalNetwork(np.array([net.bus1, None], dtype=object), 1)

    with pytest.raises(RuntimeError, match="nb_elements"):
        ce.CyElectricalNetwork(elements, -1)
    with pytest.raises(ValueError, match="elements: expected at least 8 values, got 7"):
        ce.CyElectricalNetwork(elements, 8)
    with pytest.raises(TypeError, match=r"elements\[1\]: expected tarvelo.cy_engine.CyElement"):
        ce.CyElectricalNetwork(np.array([net.bus1, None], dtype=object), 2)
    with pytest.raises(TypeError, match=r"elements\[0\] holds no engine object"):
        ce.CyElectricalNetwork(np.array([ce.CyBranch()], dtype=object), 1)
    with pytest.raises(TypeError, match="bytes-like"):
        ce.CyElectricalNetwork(net.elements, 7)
    with pytest.raises(ValueError, match="expected Python object but got 'double'"):
        ce.CyElectricalNetwork(np.zeros(3), 0)
    with pytest.raises(TypeError, match=r"Argument 'network' has incorrect type \(expected "
                       r"tarvelo.cy_engine.CyElectricalNetwork, got NoneType\)"):
        ce.CyNewton(None, True)
    with pytest.raises(TypeError, match="got tarvelo.cy_engine.CyBus"):
        ce.CyNewtonGoldstein(net.bus1, True, 0.1, 0.9)
    # optimize_tape is converted before network is checked.
    with pytest.raises(TypeError, match="must be real number"):
        ce.CyNewtonGoldstein(None, True, "x", 0.9)


def test_bare_solver_bases_refuse_every_method():
    for bare in (ce.CyAbstractSolver(1, 2, key=3), ce.CyAbstractNewton()):
        for call in (lambda s: s.solve_load_flow(1, 1.0), lambda s: s.reset_inputs(),
                     lambda s: s.get_variables(), lambda s: s.set_variables(None)):
            with pytest.raises(TypeError, match="holds no engine object"):
                call(bare)


def test_logging_configuration(capfd):
    assert ce.cy_set_logging_config("debug") is None
    try:
        ce.CyNewton(build_four_wire().network(), True)
        out = capfd.readouterr().out
        assert "debug Number of tape operators:" in out
        assert "Tape optimization" in out
    finally:
        ce.cy_set_logging_config(severity="warning")
    for bad in ("warn", "Info"):
        with pytest.raises(RuntimeError, match=f"^Unknown severity string {bad}\\.$"):
            ce.cy_set_logging_config(bad)

    class Severity(str):
        pass

    for refused, got in ((Severity("info"), "Severity"), (b"info", "bytes"), (None, "NoneType")):
        with pytest.raises(TypeError, match=rf"Argument 'severity' has incorrect type \(expected "
                           rf"str, got .*{got}\)"):
            ce.cy_set_logging_config(refused)
    with pytest.raises(UnicodeEncodeError):
        ce.cy_set_logging_config("\ud800")
    assert ce.cy_set_logging_config.__doc__ == "cy_set_logging_config(str severity)"
