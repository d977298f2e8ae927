"""CySimplifiedLine, CyShuntLine and CyBackwardForward, on a radial four-wire feeder."""

import numpy as np
import pytest
from conftest import (PHASE_VOLTAGES, Z_PER_KM, assert_feeder_laws, build_feeder, carray,
                      feeder_line_matrices)

from tarvelo import cy_engine as ce

SOLVERS = {
    "newton": (lambda network: ce.CyNewton(network, True), 1e-10),
    "goldstein": (lambda network: ce.CyNewtonGoldstein(network, False, 0.1, 0.9), 1e-10),
    "sweep": (lambda network: ce.CyBackwardForward(network), 1e-11),
}


def solve(feeder, name, limit=100):
    make, tolerance = SOLVERS[name]
    solver = make(feeder.network())
    iterations, residual = solver.solve_load_flow(limit, tolerance)
    assert residual <= tolerance and iterations < limit
    return solver, iterations


def test_the_three_solvers_solve_the_feeder_alike():
    solutions = {}
    for name in SOLVERS:
        feeder = build_feeder()
        _, iterations = solve(feeder, name)
        assert iterations >= 2
        assert_feeder_laws(feeder)
        solutions[name] = feeder.potentials()
    # The far end sags: the lines carry real current.
    far = solutions["newton"][-4:]
    assert abs(far[0] - far[3]) < 0.97 * abs(PHASE_VOLTAGES[0])
    for name in ("goldstein", "sweep"):
        np.testing.assert_allclose(solutions[name], solutions["newton"], rtol=0, atol=1e-6)


@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_line_updates_between_solves_equal_a_fresh_solver(name):
    feeder = build_feeder()
    make, tolerance = SOLVERS[name]
    solver = make(feeder.network())
    solver.solve_load_flow(100, tolerance)
    before = feeder.potentials()

    # Every line becomes 1.5 times longer.
    for index, (line, _, _) in enumerate(feeder.lines):
        z, y = feeder_line_matrices(index + 1, 1.5)
        if y is None:
            line.update_line_parameters(carray(z.ravel()))
        else:
            line.update_line_parameters(carray(y.ravel()), z_line=carray(z.ravel()))
        feeder.lines[index] = (line, z, y)
    iterations, residual = solver.solve_load_flow(100, tolerance)
    assert residual <= tolerance and iterations < 100
    assert_feeder_laws(feeder)
    after = feeder.potentials()
    assert np.max(np.abs(after - before)) > 1.0

    fresh = build_feeder(line_scale=1.5)
    fresh_solver, _ = solve(fresh, name)  # kept: the potentials live in the solver
    np.testing.assert_allclose(after, fresh.potentials(), rtol=0, atol=1e-6)


def single_conductor_feeder(z, y):
    """
    source ══ b0 (phase, n)       phase: b0 ─s─ b1 ─S─ b2 ── load
      │n                         ─s─ simplified and ─S─ shunt line of one conductor;
    ref_n ══ n of load, ground-side port of ─S─
    """
    source = ce.CyVoltageSource(2, carray([230.0]))
    ref = ce.CyPotentialRef()
    b0 = ce.CyBus(2, carray([230.0, 0]))
    b1, b2 = (ce.CyBus(1, carray([230.0])) for _ in range(2))
    simplified = ce.CySimplifiedLine(1, carray([z]))
    shunt = ce.CyShuntLine(1, carray([y]), carray([z]))
    load = ce.CyPowerLoad(2, carray([4000 + 1000j]))
    b0.connect(source, [(0, 0), (1, 1)])
    ref.connect(b0, [(0, 1)])
    simplified.connect_side(b0, [(0, 0)], True)
    simplified.connect_side(b1, [(0, 0)], False)
    shunt.connect_side(b1, [(0, 0)], True)
    shunt.connect_side(b2, [(0, 0)], False)
    ref.connect(shunt, [(0, 2)])
    b2.connect(load, [(0, 0)])
    ref.connect(load, [(0, 1)])
    elements = [source, ref, b0, simplified, b1, shunt, b2, load]
    return ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements)), elements


@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_single_conductor_lines_and_their_single_value_updates(name):
    make, tolerance = SOLVERS[name]
    z, y, new_z, new_y = 0.05 + 0.02j, 2e-3j, 0.08 + 0.03j, 5e-3j
    results = []
    for single in (True, False):
        network, (_, ref, b0, simplified, b1, shunt, b2, load) = single_conductor_feeder(z, y)
        solver = make(network)
        solver.solve_load_flow(100, tolerance)
        if single:
            simplified.update_single_line_parameters(new_z)
            shunt.update_single_line_parameters(y_shunt=new_y, z_line=new_z)
        else:
            simplified.update_line_parameters(carray([new_z]))
            shunt.update_line_parameters(carray([new_y]), carray([new_z]))
        assert solver.solve_load_flow(100, tolerance)[1] <= tolerance
        # Each line obeys its law with the new values; the load draws its power.
        v = np.array([b0.get_port_potential(0), b1.get_port_potential(0), b2.get_port_potential(0)])
        np.testing.assert_allclose(simplified.get_currents(2), [(v[0] - v[1]) / new_z,
                                                                 (v[1] - v[0]) / new_z], atol=1e-6)
        i1 = (v[1] - v[2]) / new_z + new_y / 2 * v[1]
        i2 = (v[2] - v[1]) / new_z + new_y / 2 * v[2]
        np.testing.assert_allclose(shunt.get_currents(3), [i1, i2, -i1 - i2], atol=1e-6)
        assert abs(v[2] * np.conj(load.get_port_current(0)) - (4000 + 1000j)) < 1e-6
        assert abs(ref.get_current()) < 1e-8
        results.append(v)
    np.testing.assert_array_equal(results[0], results[1])

    fresh, (_, _, b0, _, b1, _, b2, _) = single_conductor_feeder(new_z, new_y)
    fresh_solver = make(fresh)  # kept: the potentials live in the solver
    fresh_solver.solve_load_flow(100, tolerance)
    np.testing.assert_allclose(
        [b0.get_port_potential(0), b1.get_port_potential(0), b2.get_port_potential(0)],
        results[0], rtol=0, atol=1e-6)


def test_line_construction_and_refusals():
    z3 = Z_PER_KM[:3, :3].ravel()
    assert len(ce.CySimplifiedLine(3, carray(z3)).get_potentials(6)) == 6
    ce.CySimplifiedLine(3, carray(np.append(z3, 99.0)))  # values beyond n * n are ignored
    with pytest.raises(ValueError, match="z_line: expected at least 9 values, got 8"):
        ce.CySimplifiedLine(3, carray(z3[:8]))
    with pytest.raises(ValueError, match="y_shunt: expected at least 9 values, got 0"):
        ce.CyShuntLine(3, None, carray(z3))
    with pytest.raises(ValueError, match="z_line: expected at least 4 values, got 3"):
        ce.CyShuntLine(2, carray(z3[:4]), carray(z3[:3]))
    with pytest.raises(ValueError, match="^SimplifiedLine: expected at least 1 conductor, got 0$"):
        ce.CySimplifiedLine(0, None)
    with pytest.raises(ValueError, match="^ShuntLine: expected at least 1 conductor, got 0$"):
        ce.CyShuntLine(0, None, None)
    with pytest.raises(RuntimeError):  # the engine's length error, whatever the arrays
        ce.CySimplifiedLine(-1, None)
    with pytest.raises(TypeError):  # a list offers no buffer
        ce.CySimplifiedLine(1, [1.0])
    with pytest.raises(ValueError, match="dtype mismatch|Item size"):
        ce.CySimplifiedLine(1, np.ones(2))

    # One conductor: port 0 on side 1, port 1 on side 2, then the ground-side port.
    line = ce.CyShuntLine(1, carray([1e-3j]), carray([0.1 + 0.1j]))
    bus = ce.CyBus(3, carray([1, 2, 3]))
    bus.connect(line, [(0, 0), (1, 1), (2, 2)])
    np.testing.assert_array_equal(line.get_potentials(3), [1, 2, 3])
    assert [a.tolist() for a in line.get_side_potentials(1, 1)] == [[1], [2]]
    with pytest.raises(IndexError):
        line.get_potentials(4)
    with pytest.raises(IndexError):
        line.get_side_currents(2, 1)


def test_line_updates_refused_before_the_engine():
    """A refused update changes nothing: the next solve gives the same potentials."""
    feeder = build_feeder()
    solver = ce.CyNewton(feeder.network(), False)
    solver.solve_load_flow(20, 1e-10)
    before = feeder.potentials()
    shunt, simplified = feeder.lines[0][0], feeder.lines[9][0]
    assert isinstance(shunt, ce.CyShuntLine) and isinstance(simplified, ce.CySimplifiedLine)
    message = (r"^update_single_line_parameters\(\): expected an element holding at most one "
               r"value, this one holds 16$")
    with pytest.raises(ValueError, match=message):
        shunt.update_single_line_parameters(1e-3j, 1.0)
    with pytest.raises(ValueError, match=message):
        simplified.update_single_line_parameters(1.0)
    with pytest.raises(ValueError, match="z_line: expected at least 16 values, got 15"):
        shunt.update_line_parameters(carray(np.ones(16)), carray(np.ones(15)))
    with pytest.raises(ValueError, match="z_line: expected at least 16 values, got 0"):
        simplified.update_line_parameters(None)
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'z'"):
        simplified.update_line_parameters(z=carray(np.ones(16)))
    solver.solve_load_flow(20, 1e-10)
    np.testing.assert_array_equal(feeder.potentials(), before)

    assert ce.CySimplifiedLine.update_line_parameters.__doc__ == (
        "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)")
    assert ce.CySimplifiedLine.update_single_line_parameters.__doc__ == (
        "CySimplifiedLine.update_single_line_parameters(self, double complex z_line)")
    assert ce.CyShuntLine.update_line_parameters.__doc__ == (
        "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, "
        "double complex[::1] z_line)")
    assert ce.CyShuntLine.update_single_line_parameters.__doc__ == (
        "CyShuntLine.update_single_line_parameters(self, double complex y_shunt, "
        "double complex z_line)")


def test_sweep_limits_and_elements_without_a_sweep_step():
    feeder = build_feeder()
    sweep = ce.CyBackwardForward(feeder.network())
    start = sweep.get_variables()
    assert start.shape == (2 * (3 + 4 * 19) + 2 * 3,)  # free nodes, then the source's unknowns
    iterations, change = sweep.solve_load_flow(0, 1e-9)  # one sweep all the same
    assert iterations == 1 and change > 1.0
    assert not np.array_equal(sweep.get_variables(), start)
    sweep.reset_inputs()
    np.testing.assert_array_equal(sweep.get_variables(), start)

    with pytest.raises(TypeError, match="got NoneType"):
        ce.CyBackwardForward(None)
    with pytest.raises(TypeError, match="holds no engine object"):
        ce.CyAbstractSolver().solve_load_flow(1, 1.0)
    with pytest.raises(TypeError, match="no default __reduce__"):
        sweep.__reduce__()


@pytest.mark.skipif(not hasattr(ce, "CyCenterTransformer"), reason="no transformer class yet")
def test_sweep_refuses_an_element_without_a_sweep_step():
    feeder = build_feeder()
    transformer = ce.CyCenterTransformer(0.01 + 0.02j, 1e-5j, 0.5)
    sweep = ce.CyBackwardForward(feeder.network(extra=[transformer]))
    start = sweep.get_variables()
    with pytest.raises(RuntimeError) as failure:
        sweep.solve_load_flow(10, 1e-9)
    assert str(failure.value) == (
        "2 No backward-forward method has been defined for transformers yet.")
    np.testing.assert_array_equal(sweep.get_variables(), start)
