# CyElement, CyBranch, the bus and the ground; the index and length checks of every class.

import numpy as np
from conftest import assert_refusals, carray, objects, same

from tarvelo import cy_engine as ce


def test_joins_keep_the_surviving_potentials_and_refusals_keep_the_pairs_applied():
    for survivor, forms in [(0, tuple(map(tuple, same(3)))), (1, ([i, i] for i in range(3))),
                            (1, np.array(same(3), np.int64))]:
        buses = [ce.CyBus(3, carray([1, 2, 3])), ce.CyBus(3, carray([4, 5, 6]))]
        buses[survivor].connect(buses[1 - survivor], forms)
        assert [bus.get_port_potential(2) for bus in buses] == [3 + 3 * survivor] * 2
    a, b = ce.CyBus(1, carray([7])), ce.CyBus(2, carray([8, 9]))
    assert_refusals([(lambda bad=bad: a.connect(b, bad), error, message)
                     for bad, error, message in [
        ([(0, 1), (0, 5)], IndexError, None),
        ([(0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([iter([0, 1, 2])], ValueError, "too many values to unpack (expected 2)"),
        ([[0]], ValueError, "need more than 1 value to unpack"),
        ([[]], ValueError, "need more than 0 values to unpack"),
        ([5], TypeError, "'int' object is not iterable"),
        ([("0", 1)], TypeError, "an integer is required"),
        (map(int, "x"), ValueError, "invalid literal for int() with base 10: 'x'"),
        ([type("NoLength", (list,), {"__len__": lambda self: 1 // 0})([0, 1])],
         ZeroDivisionError, "integer division or modulo by zero")]])
    np.testing.assert_array_equal(b.get_potentials(2), [8, 7])  # the first pair stays applied
    bus = ce.CyBus(3, carray([1, 2, 3]))
    bus.connect_ports(None)
    bus.connect_ports(np.array([2, 0, 1], dtype=np.int32))
    np.testing.assert_array_equal(bus.get_potentials(3), [3, 3, 3])
    ce.CyBus(1, carray([9])).connect(bus, [(0, 0)])
    bus.disconnect()
    assert bus.get_port_potential(0) == 9  # still reads its old node
    bus = ce.CyBus(2, carray([1, 2]))
    bus.initialize_potentials(carray([5, 6, 7]))
    np.testing.assert_array_equal(bus.get_potentials(2), [5, 6])


def test_every_index_check_at_its_limits():
    # A centre-tapped transformer: 2 ports on side 1, 3 on side 2. Indices at the limits work.
    centre, bus = ce.CyCenterTransformer(1, 0, 1), ce.CyBus(3, carray([1, 2, 3]))
    centre.connect_side(bus, [(1, 2)], True)
    centre.connect_side(bus, [(2, 0)], False)
    bus.connect(ce.CyBus(3, carray([4, 5, 6])), [(1, 2)])
    ce.CyBus(2, carray([0, 0])).connect_ports(np.array([1, 0], np.int32))
    np.testing.assert_array_equal(np.concatenate(centre.get_side_potentials(2, 3)), [0, 3, 0, 0, 1])
    assert [len(i) for i in centre.get_side_currents(n1=2, n2=3)] == [2, 3]
    assert bus.get_port_potential(2) == 3 and bus.get_port_current(2) == 0
    assert bus.get_potentials(3)[1] == 2 and bus.get_currents(3).shape == (3,)
    # Refused by the condition each check names; -1 where the engine reads an int.
    refused = [
        ("size1 <= ports1", lambda: centre.get_side_potentials(3, 3),
         lambda: centre.get_side_currents(3, 3)),
        ("size2 <= ports2", lambda: centre.get_side_potentials(2, 4),
         lambda: centre.get_side_currents(2, 4)),
        ("i < side_ports", lambda: centre.connect_side(bus, [(2, 0)], True),
         lambda: centre.connect_side(bus, [(3, 0)], False)),
        ("j < element.ports", lambda: centre.connect_side(bus, [(0, 3)], True),
         lambda: centre.connect_side(bus, [(0, -1)], False), lambda: bus.connect(centre, [(0, 5)])),
        ("i < ports", lambda: bus.connect(centre, [(3, 0)])),
        ("ports_index[0] < ports", lambda: bus.connect_ports(np.int32([3, 0]))),
        ("ports_index[i] < ports", lambda: bus.connect_ports(np.int32([0, 3]))),
        ("size <= ports", lambda: bus.get_potentials(4), lambda: bus.get_currents(4)),
        ("index < ports", lambda: bus.get_port_potential(3), lambda: bus.get_port_current(3),
         lambda: bus.get_port_potential(-1))]
    assert_refusals([(call, IndexError, f"(size_t){text}.size()") for text, *calls in refused
                     for call in calls])


def test_every_length_check_at_its_limits():
    # Each call takes an array of exactly the count it needs and refuses one value fewer.
    fixed = ce.CyFlexibleParameter(*[ce.CyControl("constant", 0, 0, 0, 0, 1, 1)] * 2,
                                   ce.CyProjection("euclidean", 1, 1), 1, 0, 0)
    solver = ce.CyNewton(ce.CyElectricalNetwork(objects(ce.CyVoltageSource(3, carray([1, 2]))), 1),
                         False)
    arrays = {"variables": np.ones, "elements": lambda k: objects(*[ce.CyGround()] * k),
              "parameters": lambda k: objects(*[fixed] * k)}
    z = carray(np.eye(2).ravel())
    shunt = ce.CyShuntLine(2, z, z)
    cases = [(lambda a: ce.CyBus(3, a), "potentials", 3),
             (ce.CyBus(3, carray([0] * 3)).initialize_potentials, "potentials", 3),
             (solver.set_variables, "variables", solver.get_variables().size),
             (lambda a: ce.CyElectricalNetwork(a, 2), "elements", 2),
             (lambda a: ce.CyFlexibleLoad(3, carray([1, 2]), a), "parameters", 2),
             (lambda a: ce.CySimplifiedLine(1, a), "z_line", 1),
             (ce.CySimplifiedLine(2, z).update_line_parameters, "z_line", 4),
             (lambda a: ce.CyShuntLine(2, a, z), "y_shunt", 4),
             (lambda a: ce.CyShuntLine(1, carray([1]), a), "z_line", 1),
             (lambda a: shunt.update_line_parameters(a, z), "y_shunt", 4),
             (lambda a: shunt.update_line_parameters(z, a), "z_line", 4)]
    for source in (ce.CyVoltageSource, ce.CyDeltaVoltageSource):
        cases += [(lambda a, s=source: s(4, a), "voltages", 3),
                  (source(4, carray([1, 2, 3])).update_voltages, "voltages", 3)]
    # One template serves the star and delta loads of every law; the flexible ones have their own.
    for load in (ce.CyPowerLoad, ce.CyDeltaPowerLoad, ce.CyFlexibleLoad, ce.CyDeltaFlexibleLoad):
        kind = load.__name__
        n, extra = 4 - ("Delta" in kind), [objects(*[fixed] * 3)] * ("Flexible" in kind)
        cases += [(lambda a, load=load, n=n, extra=extra: load(n, a, *extra), "powers", 3),
                  (load(n, carray([1] * 3), *extra).update_powers, "powers", 3)]
    for call, name, count in cases:
        make = arrays.get(name, lambda k: carray(np.ones(k)))
        call(make(count))
        assert_refusals([(lambda: call(make(count - 1)), ValueError, f"{name}: expected "
                          f"at least {count} value{'s' * (count > 1)}, got {count - 1}")])
    # A single value goes to an element holding one; one holding several refuses it.
    ce.CyShuntLine(1, carray([1]), carray([1])).update_single_line_parameters(0, 5)
    assert_refusals([(lambda: ce.CyPowerLoad(3, carray([1, 2])).update_power(5), ValueError,
                      "update_power(): expected an element holding at most one value, this one "
                      "holds 2")])
