"""CyLoad, CyPowerLoad and CyDeltaPowerLoad."""

import numpy as np
import pytest
from conftest import DELTA_POWERS, PHASE_VOLTAGES, STAR_POWERS, assert_solution, \
    build_four_wire, carray

from tarvelo import cy_engine as ce


def solved_four_wire(**powers):
    net = build_four_wire(**powers)
    solver = ce.CyNewton(net.network(), False)
    solver.solve_load_flow(20, 1e-10)
    return net, solver


def test_inner_currents_sizes():
    net, solver = solved_four_wire()
    star = net.star.get_inner_currents(size=5)
    assert star.dtype == np.complex128 and star.shape == (5,)
    np.testing.assert_array_equal(star[:3], net.star.get_currents(3))
    for load, phases in ((net.star, 3), (net.delta, 3)):
        for size in (phases - 1, -1):
            with pytest.raises(ValueError, match=f"size: expected at least {phases}, got {size}"):
                load.get_inner_currents(size)
    assert ce.CyPowerLoad(1, None).get_inner_currents(0).shape == (0,)
    with pytest.raises(ValueError, match="size: expected at least 2, got 1"):
        ce.CyDeltaPowerLoad(2, carray([1, 2])).get_inner_currents(1)


def test_plural_updates_take_the_first_values_or_nothing():
    net, solver = solved_four_wire()
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 2"):
        net.star.update_powers(carray([1, 2]))
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 0"):
        net.delta.update_powers(None)
    with pytest.raises(ValueError, match="dtype mismatch"):
        net.delta.update_powers(np.ones(3))
    with pytest.raises(ValueError, match="holds 3"):
        net.star.update_power(1)
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, STAR_POWERS, DELTA_POWERS)  # nothing changed

    new_star, new_delta = STAR_POWERS + 500, DELTA_POWERS * 0.5
    net.star.update_powers(carray(list(new_star) + [1e9]))
    net.delta.update_powers(carray(list(new_delta) + [1e9, 1e9]))
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, new_star, new_delta)


def test_updates_before_any_solver_and_copied_arrays():
    star, delta = carray(STAR_POWERS), carray(DELTA_POWERS)
    net = build_four_wire(star=star, delta=delta)
    star[:] = delta[:] = 0  # the engine copied them
    net.star.update_powers(carray(2 * STAR_POWERS))
    solver = ce.CyNewton(net.network(), True)
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, 2 * STAR_POWERS, DELTA_POWERS)


# source(0) == bus(0) == load(0); source(1) == bus(1) == load(1) == PotentialRef
def test_single_power_update():
    source, bus = ce.CyVoltageSource(2, carray([230])), ce.CyBus(2, carray([220, 0]))
    pref, load = ce.CyPotentialRef(), ce.CyPowerLoad(2, carray([1000]))
    for element in (source, load):
        bus.connect(element, [(0, 0), (1, 1)])
    bus.connect(pref, [(1, 0)])
    solver = ce.CyNewton(ce.CyElectricalNetwork(np.array([source, pref, bus, load], object), 4),
                         False)
    # A real number is a power with no imaginary part.
    for power in (1000, 3000 - 400j, 0.5, np.float32(700), np.complex128(800 + 10j)):
        load.update_power(power)
        solver.solve_load_flow(20, 1e-10)
        v = bus.get_potentials(2)
        assert (v[0] - v[1]) * np.conj(load.get_inner_currents(1)[0]) == pytest.approx(power)

    three_phase = ce.CyPowerLoad(4, carray(STAR_POWERS))
    with pytest.raises(ValueError, match=r"^update_power\(\): expected an element holding at "
                       r"most one value, this one holds 3$"):
        three_phase.update_power(1)
    ce.CyPowerLoad(1, None).update_power(1)  # no phase: nothing to change
    with pytest.raises(RuntimeError):
        ce.CyPowerLoad(0, None)
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 2"):
        ce.CyDeltaPowerLoad(3, carray([1, 2]))
    with pytest.raises(AttributeError):
        ce.CyDeltaPowerLoad(3, carray([1, 2, 3])).update_power(1)
