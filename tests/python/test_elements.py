# CyElement, CyBranch, switches, the bus, the ground, references and voltage sources.

import numpy as np
import pytest
from conftest import A, Net, assert_kirchhoff, assert_law, assert_refusals, carray, same, solve

from tarvelo import cy_engine as ce


def test_joins_keep_the_surviving_potentials_and_refusals_keep_the_pairs_applied():
    for survivor, forms in [(0, tuple(map(tuple, same(3)))), (1, ([i, i] for i in range(3))),
                            (1, np.array(same(3), np.int64))]:
        buses = [ce.CyBus(3, carray([1, 2, 3])), ce.CyBus(3, carray([4, 5, 6]))]
        buses[survivor].connect(buses[1 - survivor], forms)
        for bus in buses:
            np.testing.assert_array_equal(bus.get_potentials(3), [[1, 2, 3], [4, 5, 6]][survivor])
    # A branch side joins into the other element's nodes.
    a, b, switch = ce.CyBus(1, carray([7])), ce.CyBus(2, carray([8, 9])), ce.CySwitch(1)
    switch.connect_side(a, [(0, 0)], True)
    switch.connect_side(element=b, connections=[(0, 0)], beginning=False)
    assert switch.get_side_potentials(1, 1) == (carray([7]), carray([8]))
    with pytest.raises(IndexError, match=r"^\(size_t\)j < element.ports.size\(\)"):
        a.connect(b, [(0, 1), (0, 5)])
    np.testing.assert_array_equal(b.get_potentials(2), [8, 7])  # the first pair stays applied
    assert_refusals([(lambda bad=bad: a.connect(b, bad), error, message)
                     for bad, error, message in [
        ([(0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([[0]], ValueError, "need more than 1 value to unpack"),
        ([5], TypeError, "'int' object is not iterable"),
        ([("0", 1)], TypeError, "an integer is required")]])


def test_port_reads_and_refusals():
    bus, source = ce.CyBus(3, carray([1, 2, 3])), ce.CyVoltageSource(4, carray([230, 230 * A, 1]))
    assert_refusals([
        (lambda: ce.CySwitch(1).connect_side(bus, [(1, 0)], True), IndexError,
         "(size_t)i < side_ports.size()..."),
        (lambda: bus.get_currents(4), IndexError, "(size_t)size <= ports.size()..."),
        (lambda: bus.get_port_potential(3), IndexError, "(size_t)index < ports.size()..."),
        (lambda: ce.CyDeltaVoltageSource(3, None), ValueError,
         "voltages: expected at least 2 values, got 0"),
        (lambda: source.update_voltage(1), ValueError, "update_voltage(): ... holds 3"),
        (lambda: source.update_voltages(carray([1, 2])), ValueError,
         "voltages: expected at least 3 values, got 2"),
    ])
    ce.CyVoltageSource(1, None).update_voltages(None)  # no record: nothing to change
    ce.CyVoltageSource(1, None).update_voltage(5)
    bus.connect_ports(None)
    np.testing.assert_array_equal(bus.get_potentials(3), [1, 2, 3])
    bus.connect_ports(np.array([2, 0, 1], dtype=np.int32))
    np.testing.assert_array_equal(bus.get_potentials(3), [3, 3, 3])
    ce.CyBus(1, carray([9])).connect(bus, [(0, 0)])
    bus.disconnect()
    assert bus.get_port_potential(0) == 9  # still reads its old node
    bus = ce.CyBus(2, carray([1, 2]))
    bus.initialize_potentials(carray([5, 6, 7]))
    np.testing.assert_array_equal(bus.get_potentials(2), [5, 6])
    assert ce.CyGround(1, 2, key=3).get_potentials(1).shape == (1,)  # arguments ignored


# delta source (0..2) == bus (0..2) == delta load (0..2) == DeltaPotentialRef (0..2)
def test_delta_source_reference_and_load():
    u, powers = carray([400, 400 * A]), carray([1000, 2000 + 100j, 500])
    net = Net()
    bus = net.add(ce.CyBus(3, carray([230, 230 * A, 230 * A**2])), 3)
    source, ref, load = (net.add(element, 3) for element in (
        ce.CyDeltaVoltageSource(3, u), ce.CyDeltaPotentialRef(3), ce.CyDeltaPowerLoad(3, powers)))
    for element in (source, ref, load):
        net.join(bus, element, same(3))
    solve(net)
    assert_kirchhoff(net)
    v = source.get_potentials(3)
    np.testing.assert_allclose(-np.diff(v), u, atol=1e-9)
    assert abs(v.sum()) < 1e-9 and abs(ref.get_current()) < 1e-9
    assert_law("power", load, powers, atol=1e-6)
