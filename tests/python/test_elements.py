"""CyElement, CyBranch, switches, the bus, the ground, references and voltage sources."""

import numpy as np
import pytest
from conftest import A, carray, node_current_sums

from tarvelo import cy_engine as ce


def solve(*elements):
    network = ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    solver = ce.CyNewton(network, False)
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert residual <= 1e-10
    return solver


def test_joins_keep_the_surviving_potentials():
    a_potentials, b_potentials = carray([1, 2, 3]), carray([4, 5, 6])
    pairs = [(0, 0), (1, 1), (2, 2)]
    for survivor, absorbed, forms in [("a", "b", pairs), ("b", "a", tuple(map(tuple, pairs))),
                                      ("a", "b", ([i, i] for i in range(3))),
                                      ("b", "a", np.array(pairs, dtype=np.int64))]:
        buses = {"a": ce.CyBus(3, a_potentials), "b": ce.CyBus(3, b_potentials)}
        buses[survivor].connect(buses[absorbed], forms)
        expected = a_potentials if survivor == "a" else b_potentials
        for bus in buses.values():
            np.testing.assert_array_equal(bus.get_potentials(3), expected)

    # A branch side joins into the other element's nodes.
    a, b, switch = ce.CyBus(1, carray([7])), ce.CyBus(1, carray([8])), ce.CySwitch(1)
    switch.connect_side(a, [(0, 0)], True)
    switch.connect_side(element=b, connections=[(0, 0)], beginning=False)
    assert switch.get_side_potentials(1, 1) == (carray([7]), carray([8]))


def test_join_refusals_keep_the_pairs_already_applied():
    a, b = ce.CyBus(2, carray([1, 2])), ce.CyBus(2, carray([3, 4]))
    with pytest.raises(IndexError, match=r"\(size_t\)j < element.ports.size\(\)"):
        a.connect(b, [(0, 0), (1, 5)])
    np.testing.assert_array_equal(b.get_potentials(2), [1, 4])
    with pytest.raises(IndexError, match=r"\(size_t\)i < side_ports.size\(\)"):
        ce.CySwitch(1).connect_side(a, [(1, 0)], True)
    for bad, error, message in [
        ([(0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([[0]], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
        ([iter([0, 1, 2])], ValueError, "too many values to unpack (expected 2)"),
        ([5], TypeError, "'int' object is not iterable"),
        ([("0", 1)], TypeError, "an integer is required"),
        (5, TypeError, "'int' object is not iterable"),
    ]:
        with pytest.raises(error) as refusal:
            a.connect(b, bad)
        assert str(refusal.value) == message
    with pytest.raises(TypeError, match=r"Argument 'element' has incorrect type \(expected "
                       r"tarvelo.cy_engine.CyElement, got list\)"):
        ce.CySwitch(1).connect_side([], [(0, 0)], True)


def test_connect_ports_disconnect_and_port_reads():
    bus = ce.CyBus(3, carray([1, 2, 3]))
    bus.connect_ports(None)
    bus.connect_ports(np.array([], dtype=np.int32))
    np.testing.assert_array_equal(bus.get_potentials(3), [1, 2, 3])
    bus.connect_ports(np.array([2, 0, 1], dtype=np.int32))
    np.testing.assert_array_equal(bus.get_potentials(3), [3, 3, 3])
    with pytest.raises(IndexError):
        bus.connect_ports(np.array([0, 3], dtype=np.int32))
    for read in (bus.get_potentials, bus.get_currents):
        assert read(0).shape == (0,)
        with pytest.raises(IndexError, match=r"\(size_t\)size <= ports.size\(\)"):
            read(4)
    for read in (bus.get_port_potential, bus.get_port_current):
        with pytest.raises(IndexError, match=r"\(size_t\)index < ports.size\(\)"):
            read(3)
        with pytest.raises(IndexError):
            read(-1)

    other = ce.CyBus(1, carray([9]))
    other.connect(bus, [(0, 0)])
    bus.disconnect()
    assert bus.get_port_potential(0) == 9  # still reads its old node

    switch = ce.CySwitch(0)
    assert switch.get_side_currents(0, 0)[0].shape == (0,)
    with pytest.raises(IndexError, match=r"\(size_t\)size1 <= ports1.size\(\)"):
        switch.get_side_currents(1, 0)
    assert ce.CyOpenSwitch(2).get_side_potentials(2, 1)[1].shape == (1,)

    bus = ce.CyBus(2, carray([1, 2]))
    bus.initialize_potentials(carray([5, 6, 7]))
    np.testing.assert_array_equal(bus.get_potentials(2), [5, 6])
    with pytest.raises(ValueError, match="potentials: expected at least 2 values, got 1"):
        bus.initialize_potentials(carray([1]))


def test_constructor_refusals_of_the_engine():
    assert ce.CyGround(1, 2, key=3).get_potentials(1).shape == (1,)
    assert ce.CyPotentialRef(None).get_current() == 0
    with pytest.raises(RuntimeError, match="vector::reserve"):
        ce.CyBus(-1, None)
    with pytest.raises(RuntimeError):
        ce.CyVoltageSource(0, None)
    with pytest.raises(ValueError, match="at least 1 port"):
        ce.CyDeltaPotentialRef(0)
    with pytest.raises(ValueError, match="voltages: expected at least 3 values, got 2"):
        ce.CyVoltageSource(4, carray([1, 2]))
    with pytest.raises(ValueError, match="voltages: expected at least 2 values, got 0"):
        ce.CyDeltaVoltageSource(3, None)


# source(0) == bus(0) == load(0)
# source(1) == bus(1) == load(1) == PotentialRef
def test_single_voltage_update_and_source_without_records():
    source, bus = ce.CyVoltageSource(2, carray([230])), ce.CyBus(2, carray([200, 0]))
    pref, load = ce.CyPotentialRef(), ce.CyPowerLoad(2, carray([1000 + 500j]))
    bus.connect(source, [(0, 0), (1, 1)])
    bus.connect(load, [(0, 0), (1, 1)])
    bus.connect(pref, [(1, 0)])
    solver = solve(source, pref, bus, load)
    source.update_voltage(voltage=240)
    solver.solve_load_flow(20, 1e-10)
    v = source.get_potentials(2)
    assert v[0] - v[1] == pytest.approx(240)
    assert (v[0] - v[1]) * np.conj(load.get_port_current(0)) == pytest.approx(1000 + 500j)
    assert pref.get_current() == pytest.approx(0, abs=1e-9)

    lone = ce.CyVoltageSource(1, None)
    lone.update_voltages(None)
    lone.update_voltage(5)
    three_phase = ce.CyVoltageSource(4, carray([230, 230 * A, 230 * A**2]))
    with pytest.raises(ValueError, match=r"update_voltage\(\): .* holds 3"):
        three_phase.update_voltage(1)
    with pytest.raises(ValueError, match="voltages: expected at least 3 values, got 2"):
        three_phase.update_voltages(carray([1, 2]))


# delta source (0..2) == delta load (0..2) == DeltaPotentialRef (0..2)
def test_delta_source_reference_and_load():
    u = carray([400, 400 * A])
    source, ref = ce.CyDeltaVoltageSource(3, u), ce.CyDeltaPotentialRef(3)
    load = ce.CyDeltaPowerLoad(3, carray([1000, 2000 + 100j, 500]))
    bus = ce.CyBus(3, carray([230, 230 * A, 230 * A**2]))
    for element in (source, load, ref):
        bus.connect(element, [(i, i) for i in range(3)])
    solver = solve(source, ref, bus, load)  # potentials are read from the live solver
    v = source.get_potentials(3)
    np.testing.assert_allclose([v[0] - v[1], v[1] - v[2]], u, atol=1e-9)
    assert abs(v.sum()) < 1e-9
    assert abs(ref.get_current()) < 1e-9
    nodes = [[(source, i), (ref, i), (load, i)] for i in range(3)]
    np.testing.assert_allclose(node_current_sums(nodes), 0, atol=1e-9)
    np.testing.assert_allclose((v - np.roll(v, -1)) * np.conj(load.get_inner_currents(3)),
                               [1000, 2000 + 100j, 500], atol=1e-6)


# source == switch side 1 ─ side 2 == bus == load; PotentialRef on source port 1
def test_switch_side_currents_balance():
    source, pref = ce.CyVoltageSource(2, carray([230])), ce.CyPotentialRef()
    switch, load = ce.CySwitch(2), ce.CyPowerLoad(2, carray([2000]))
    bus1, bus2 = ce.CyBus(2, carray([230, 0])), ce.CyBus(2, carray([230, 0]))
    bus1.connect(source, [(0, 0), (1, 1)])
    bus1.connect(pref, [(1, 0)])
    switch.connect_side(bus1, [(0, 0), (1, 1)], True)
    switch.connect_side(bus2, [(0, 0), (1, 1)], False)
    bus2.connect(load, [(0, 0), (1, 1)])
    solver = solve(source, pref, bus1, switch, bus2, load)  # kept alive while reading
    i1, i2 = switch.get_side_currents(2, 2)
    np.testing.assert_allclose(i1, -i2)
    np.testing.assert_allclose(i2, -load.get_currents(2), atol=1e-12)
    assert i1[0] * 230 == pytest.approx(2000)
