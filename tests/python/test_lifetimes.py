# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; deleting the solver that
# last linked a network hands its links to the newest solver still alive on it, or, when none is
# left, unlinks it, so reads fall back to the stored (starting) potentials.

import gc
import itertools
import weakref

import numpy as np
from conftest import START, carray, four_wire, objects, same

from tarvelo import cy_engine as ce

ELEMENTS = ["source", "pref", "bus1", "branch", "bus2", "star", "delta"]


def test_every_deletion_order_reads_solver_values_then_stored_values():
    # Every place of the network and of the solver among the element deletions, in both orders.
    for network_at, solver_at in itertools.permutations(range(len(ELEMENTS) + 2), 2):
        net = four_wire()
        held = {name: getattr(net, name) for name in ELEMENTS} | {"network": net.network()}
        held["solver"] = ce.CyNewtonGoldstein(held["network"], False, 0.1, 0.9)
        held["solver"].solve_load_flow(20, 1e-10)
        solved = net.bus2.get_potentials(4)
        assert not np.allclose(solved, START)
        del net
        order = list(ELEMENTS)
        for at, name in sorted([(network_at, "network"), (solver_at, "solver")]):
            order.insert(at, name)
        for name in order:
            del held[name]  # no cycles: the object goes now, unless another holds it
            if "solver" in held:  # solve and read through every object still held
                assert held["solver"].solve_load_flow(20, 1e-10)[1] <= 1e-10
            for reader in ("bus2", "star"):  # on the same nodes, whichever goes first
                if reader in held:
                    expected = solved if order.index("solver") > order.index(name) else START
                    np.testing.assert_allclose(held[reader].get_potentials(4), expected, atol=1e-9)


# source(0) ─ line ─ bus(0) == load(0); the neutrals joined along the line, the source's held by
# a reference. Listed as source, reference, line, bus, load.
def single_phase_elements(power):
    source, reference = ce.CyVoltageSource(2, carray([230])), ce.CyPotentialRef()
    source.connect(reference, [(1, 0)])
    line, bus = ce.CySimplifiedLine(2, carray([0.4 + 0.1j, 0.02j, 0.02j, 0.4 + 0.1j])), ce.CyBus(
        2, carray([230, 0]))
    line.connect_side(source, same(2), True)
    line.connect_side(bus, same(2), False)
    load = ce.CyPowerLoad(2, carray([power]))
    bus.connect(load, same(2))
    return objects(source, reference, line, bus, load), bus, load


def single_phase(power):
    elements, bus, load = single_phase_elements(power)
    return ce.CyElectricalNetwork(elements, 5), bus, load


def assert_draws(load, power):
    v, i = load.get_potentials(2), load.get_currents(1)[0]
    np.testing.assert_allclose((v[0] - v[1]) * np.conj(i), power, rtol=1e-9)


def test_an_older_solver_takes_the_links_over_with_the_present_values():
    network, bus, load = single_phase(1e3)
    newton = ce.CyNewton(network, False)
    newton.solve_load_flow(20, 1e-10)
    sweep = ce.CyBackwardForward(network)
    load.update_power(3e3)
    sweep.solve_load_flow(100, 1e-12)
    swept = bus.get_potentials(2)
    del sweep  # the Newton solver starts from the sweep's potentials and the updated power
    np.testing.assert_array_equal(bus.get_potentials(2), swept)
    assert newton.solve_load_flow(20, 1e-10)[1] <= 1e-10
    np.testing.assert_allclose(bus.get_potentials(2), swept, atol=1e-9)
    load.update_power(5e3)
    assert newton.solve_load_flow(20, 1e-10)[1] <= 1e-10
    fresh_network, fresh_bus, _ = single_phase(5e3)
    fresh = ce.CyNewton(fresh_network, False)
    fresh.solve_load_flow(20, 1e-10)
    np.testing.assert_allclose(bus.get_potentials(2), fresh_bus.get_potentials(2), atol=1e-9)
    drop = bus.get_potentials(2) @ [1, -1]
    assert abs(drop * np.conj(load.get_currents(1)[0]) - 5e3) < 1e-6  # the load draws its power
    del newton  # no solver left: the stored values, the last the sweep wrote
    np.testing.assert_array_equal(bus.get_potentials(2), swept)


def test_an_heir_starts_from_what_the_records_hold_when_a_second_network_took_them():
    # Two networks over the same elements. A solver of the second takes the records, kept or
    # dropped (which gives them back to their stored values); the load is updated; then the
    # first network's linker goes, and its heir must solve the updated network.
    for make_heir, keep in itertools.product(
            (ce.CyBackwardForward, lambda network: ce.CyNewton(network, False)), (True, False)):
        elements, bus, load = single_phase_elements(1e3)
        first, second = ce.CyElectricalNetwork(elements, 5), ce.CyElectricalNetwork(elements, 5)
        heir, linker, other = make_heir(first), ce.CyNewton(first, False), ce.CyNewton(second, False)
        if not keep:
            del other
        load.update_power(5e3)
        del linker
        assert heir.solve_load_flow(300, 1e-10)[1] <= 1e-10
        assert_draws(load, 5e3)


def test_the_sweep_reports_nan_potentials_wherever_they_live():
    # A second sweep solver built and dropped; a bus joined after the network was built.
    network, bus, load = single_phase(1e3)
    sweep = ce.CyBackwardForward(network)
    ce.CyBackwardForward(network)
    load.update_power(float("nan"))
    assert np.isnan(sweep.solve_load_flow(100, 1e-10)[1])
    network, bus, load = single_phase(1e3)
    sweep = ce.CyBackwardForward(network)
    assert sweep.solve_load_flow(100, 1e-10)[1] <= 1e-10
    extra = ce.CyBus(2, carray([0, 0]))
    extra.connect(bus, same(2))
    assert np.isnan(sweep.solve_load_flow(100, 1e-10)[1])
    # A NaN power on a bus fed straight from the source: no line carries the NaN current into a
    # potential, and the sweep measures no change, but the solve fails all the same; also with
    # the bus listed twice, which leaves the sweep to the elements' own steps.
    source, reference = ce.CyVoltageSource(2, carray([230])), ce.CyPotentialRef()
    bus, load = ce.CyBus(2, carray([230, 0])), ce.CyPowerLoad(2, carray([float("nan")]))
    bus.connect(source, same(2))
    bus.connect(reference, [(1, 0)])
    bus.connect(load, same(2))
    for elements in (objects(source, reference, bus, load), objects(source, reference, bus, load,
                                                                    bus)):
        network = ce.CyElectricalNetwork(elements, len(elements))
        assert np.isnan(ce.CyBackwardForward(network).solve_load_flow(100, 1e-10)[1])
    # A NaN in the source's current, an unknown the sweep neither reads nor writes, inherited
    # from a Newton solver that goes: the sweep converges, at every call.
    network, bus, load = single_phase(1e3)
    sweep, newton = ce.CyBackwardForward(network), ce.CyNewton(network, False)
    x = newton.get_variables()
    x[-2:] = np.nan
    newton.set_variables(x)
    del newton
    for _ in range(2):
        assert sweep.solve_load_flow(100, 1e-10)[1] <= 1e-10
    assert_draws(load, 1e3)


# ---- cycles: the collector sees what the module keeps alive ----

CONSTANT, EUCLIDEAN = ce.CyControl("constant", 0, 0, 0, 0, 1, 1), ce.CyProjection("euclidean", 1, 1)


def test_cycles_closed_by_the_host_are_collected():
    # tracer -> solver -> network -> tracer: the host keeps its solver on a subclass of an element;
    # parameter -> load -> parameter: a flexible parameter refers back to its load;
    # switch -> its class -> switch: a class attribute holds an instance.
    class Tracer(ce.CyBus):
        def __del__(self):  # a finalizer in the cycle still solves
            residuals.append(self.solver.solve_load_flow(20, 1e-10)[1])

    residuals = []
    gc.disable()
    try:
        net = four_wire()
        tracer = Tracer(1, carray([5]))
        tracer.connect(net.bus2, [(0, 3)])
        tracer.solver = ce.CyNewton(net.network(extra=(tracer,)), False)
        parameter = type("Parameter", (ce.CyFlexibleParameter,), {})(
            CONSTANT, CONSTANT, EUCLIDEAN, 1e4, 0, 0)
        parameter.load = ce.CyFlexibleLoad(2, carray([100]), objects(parameter))
        held = type("Held", (ce.CySwitch,), {})
        held.instance = held(1)
        refs = [weakref.ref(o) for o in (tracer, parameter, held.instance)]
        del net, tracer, parameter, held
        assert all(ref() is not None for ref in refs)  # only the cycles hold them now
        gc.collect()
        assert [ref() for ref in refs] == [None] * 3 and residuals[0] <= 1e-10

        class Collecting(ce.CyElectricalNetwork):
            def __del__(self):  # runs while the solver that kept it is being deallocated
                gc.collect()

        for _ in range(3):  # each solver goes at once, and only once
            ce.CyNewton(Collecting(None, 0), False)
    finally:
        gc.enable()

