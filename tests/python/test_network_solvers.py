# CyElectricalNetwork, the solver bases, CyNewton and CyNewtonGoldstein.

import numpy as np
from conftest import STAR_POWERS, assert_law, assert_refusals, carray, four_wire, objects

from tarvelo import cy_engine as ce


def test_network_and_solver_arguments_variables_and_failures():
    net = four_wire()
    net.star.update_powers(carray(2 * STAR_POWERS))  # before any solver: the stored values
    solver = ce.CyNewtonGoldstein(net.network(), 1, 0.1, 0.9)
    solver.update_params(m1=0.2, m2=0.8)
    start = solver.get_variables()
    assert start.dtype == np.float64 and start.shape == (28,)  # 7 nodes off zero, 7 unknowns
    iterations, residual = solver.solve_load_flow(0, 1e-10)  # no step: starting residual
    assert iterations == 0 and residual > 1
    np.testing.assert_array_equal(solver.get_variables(), start)
    solver.solve_load_flow(20, 1e-10)
    assert_law("power", net.star, 2 * STAR_POWERS, atol=1e-6)
    solver.reset_inputs()
    np.testing.assert_array_equal(solver.get_variables(), start)
    longer = np.arange(30, dtype=np.float64)
    solver.set_variables(longer)
    np.testing.assert_array_equal(solver.get_variables(), longer[:28])
    assert net.bus1.get_port_potential(0) == complex(longer[0], longer[1])  # read live
    empty = ce.CyElectricalNetwork(None, 0)
    assert ce.CyNewton(empty, False).get_variables().shape == (0,)
    assert ce.CyBackwardForward(empty).solve_load_flow(3, 1e-9) == (1, 0.0)
    elements = objects(net.bus1, None)
    ce.CyElectricalNetwork(elements, 1)  # only the first nb_elements are read
    # A bus joined to nothing floats: a singular Jacobian, and the engine's coded text.
    floating = ce.CyNewton(four_wire().network(extra=[ce.CyBus(1, carray([1.0]))]), False)
    assert_refusals([
        (lambda: floating.solve_load_flow(5, 1e-10), RuntimeError,
         "1 Decomposition failed, singular matrix at iteration 0. "),
        (lambda: ce.CyElectricalNetwork(elements, -1), RuntimeError, "...nb_elements..."),
        (lambda: ce.CyElectricalNetwork(elements, 2), TypeError,
         "elements[1]: expected tarvelo.cy_engine.CyElement..."),
        (lambda: ce.CyElectricalNetwork([net.bus1], 1), TypeError, "...bytes-like..."),
    ])


def test_logging_configuration(capfd):
    assert ce.cy_set_logging_config("debug") is None
    try:
        ce.CyNewton(four_wire().network(), True)
        out = capfd.readouterr().out
        assert "debug Number of tape operators:" in out and "Tape optimization" in out
    finally:
        ce.cy_set_logging_config(severity="warning")
    assert_refusals([(lambda bad=bad: ce.cy_set_logging_config(bad), RuntimeError,
                      f"Unknown severity string {bad}.") for bad in ("warn", "Info")] + [
        (lambda: ce.cy_set_logging_config(b"info"), TypeError,
         "Argument 'severity' has incorrect type (expected str, got bytes)")])
