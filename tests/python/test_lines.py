# CySimplifiedLine, CyShuntLine and CyBackwardForward, on a radial four-wire feeder.

import numpy as np
import pytest
from conftest import (SOLVERS, Z_PER_KM, assert_feeder_laws, assert_kirchhoff, assert_law,
                      assert_refusals, build_feeder, carray, expected_line_currents,
                      feeder_line_matrices, solve, two_bus)

from tarvelo import cy_engine as ce


def test_the_three_solvers_solve_the_feeder_alike():
    solutions = {}
    for name in SOLVERS:
        feeder = build_feeder()
        solve(feeder, SOLVERS[name])
        assert_feeder_laws(feeder)
        solutions[name] = feeder.potentials()
    far = solutions["newton"][-4:]  # the far end sags: the lines carry real current
    assert abs(far[0] - far[3]) < 0.97 * 230
    for name in ("goldstein", "sweep"):
        np.testing.assert_allclose(solutions[name], solutions["newton"], rtol=0, atol=1e-6)
    # The sweep makes one sweep even when no iteration is allowed.
    sweep = ce.CyBackwardForward(build_feeder().network())
    start = sweep.get_variables()
    iterations, change = sweep.solve_load_flow(0, 1e-9)
    assert iterations == 1 and change > 1 and not np.array_equal(sweep.get_variables(), start)


@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_line_updates_between_solves_equal_a_fresh_solver(name):
    feeder = build_feeder()
    solver = solve(feeder, SOLVERS[name])
    before = feeder.potentials()
    assert_refusals([  # refused updates change nothing
        (lambda: feeder.lines[0][0].update_line_parameters(carray(Z_PER_KM.ravel()), None),
         ValueError, "z_line: expected at least 16 values, got 0"),
        (lambda: ce.CySimplifiedLine(0, None), ValueError,
         "SimplifiedLine: expected at least 1 conductor, got 0"),
        (lambda: ce.CyShuntLine(0, None, None), ValueError,
         "ShuntLine: expected at least 1 conductor, got 0")])
    solver.solve_load_flow(100, 1e-10)
    np.testing.assert_allclose(feeder.potentials(), before, rtol=0, atol=1e-9)

    for index, (line, _, _) in enumerate(feeder.lines):  # every line 1.5 times longer
        z, y = feeder_line_matrices(index + 1, 1.5)
        line.update_line_parameters(*[carray(m.ravel()) for m in (y, z) if m is not None])
        feeder.lines[index] = (line, z, y)
    assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert_feeder_laws(feeder)
    fresh = build_feeder(line_scale=1.5)
    solve(fresh, SOLVERS[name])
    np.testing.assert_allclose(feeder.potentials(), fresh.potentials(), rtol=0, atol=1e-6)


# source(0, n) == b1(0) ─ line ─ b2(0) == load(0); the neutrals of source and load on a
# PotentialRef each, the first also holding the ground-side port 2 of a shunt line.
@pytest.mark.parametrize("name", ["newton", "sweep"])
@pytest.mark.parametrize("y", [5e-3j, 0], ids=["shunt", "no shunt"])
def test_single_conductor_lines_and_their_updates(y, name):
    z, power = 0.08 + 0.03j, 4000 + 1000j
    for line, single in [(ce.CyShuntLine(1, carray([2e-3j]), carray([0.05])), True),
                         (ce.CyShuntLine(1, carray([2e-3j]), carray([0.05])), False),
                         (ce.CySimplifiedLine(1, carray([0.05])), y == 0)]:
        shunt, load = isinstance(line, ce.CyShuntLine), ce.CyPowerLoad(2, carray([power]))
        net = two_bus(line, 2 + shunt, [(load, 2)], [230], [(0, 0)], [(0, 0)], lv_ref=True)
        if shunt:
            net.join(net.pref, line, [(0, 2)])
        solver = solve(net, SOLVERS[name])
        arguments = (y, z) if shunt else (z,)
        if single:
            line.update_single_line_parameters(*arguments)
        else:
            line.update_line_parameters(*[carray([value]) for value in arguments])
        assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        assert_kirchhoff(net)
        assert_law("power", load, [power], atol=1e-6)
        expected = expected_line_currents(np.array([[z]]), np.array([[y]]) if shunt else None,
                                          line.get_potentials(2 + shunt))
        np.testing.assert_allclose(line.get_currents(2 + shunt), expected, rtol=0, atol=1e-6)
