# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; a solver that goes hands
# each node and record it holds to the newest solver still alive, on any network, whose network
# holds it; what none takes keeps the value it holds then as its stored value.

import gc
import itertools
import weakref

import numpy as np
import pytest
from conftest import START, carray, four_wire, objects, same

from tarvelo import cy_engine as ce

ELEMENTS = ["source", "pref", "bus1", "branch", "bus2", "star", "delta"]


def test_every_deletion_order_reads_the_solution_before_and_after_the_solver_goes():
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
                    np.testing.assert_allclose(held[reader].get_potentials(4), solved, atol=1e-9)


# source(0) ─ line ─ bus(0) == load(0); the neutrals joined along the line, the source's held by
# a reference. Listed as source, reference, line, bus, load. The line's conductors have the
# impedance z and the mutual impedance m; the bus starts at `start` volts.
def single_phase_elements(power, start=230, z=0.4 + 0.1j, m=0.02j):
    source, reference = ce.CyVoltageSource(2, carray([230])), ce.CyPotentialRef()
    source.connect(reference, [(1, 0)])
    line, bus = ce.CySimplifiedLine(2, carray([z, m, m, z])), ce.CyBus(2, carray([start, 0]))
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
    solved = bus.get_potentials(2)
    assert abs(solved @ [1, -1] * np.conj(load.get_currents(1)[0]) - 5e3) < 1e-6  # its power
    del newton  # no solver left: its solution stays, as stored values
    np.testing.assert_array_equal(bus.get_potentials(2), solved)


def test_the_newest_solver_left_holding_the_records_solves_them_on_either_network():
    # Two networks over the same elements: an older solver and a linker on the first, then a
    # solver of the second, kept or dropped (which hands the records back to the linker). The
    # load is updated and the linker goes: the newest solver left that holds the records (the
    # second network's, or the older one on the first) solves the updated network.
    fresh_network, fresh_bus, _ = single_phase(5e3)
    fresh = ce.CyNewton(fresh_network, False)
    assert fresh.solve_load_flow(20, 1e-10)[1] <= 1e-10
    for make_heir, keep in itertools.product(
            (ce.CyBackwardForward, lambda network: ce.CyNewton(network, False)), (True, False)):
        elements, bus, load = single_phase_elements(1e3)
        first, second = ce.CyElectricalNetwork(elements, 5), ce.CyElectricalNetwork(elements, 5)
        heir, linker, other = make_heir(first), ce.CyNewton(first, False), ce.CyNewton(second, False)
        if not keep:
            del other
        load.update_power(5e3)
        del linker
        holder = other if keep else heir
        assert holder.solve_load_flow(300, 1e-10)[1] <= 1e-10
        np.testing.assert_allclose(bus.get_potentials(2), fresh_bus.get_potentials(2), atol=1e-8)


def reproducer_feeder():  # 0.1 ohm per conductor, the bus started at 200 V, a 1 kW load
    return single_phase_elements(1e3, start=200, z=0.1, m=0)


def test_a_solver_that_goes_hands_its_records_to_the_newest_holding_them_on_any_network():
    # A second network over the same elements takes every record from the first one's Newton:
    # its solver goes (dropped, or its constructor failing after linking, on a flexible load
    # whose P control is a reactive one), and the first Newton must solve the updated load.
    q_u = ce.CyControl("q_u", 200, 210, 240, 250, 100, 1e-4)

    def failing(elements):
        bad = ce.CyFlexibleLoad(2, carray([100]), objects(
            ce.CyFlexibleParameter(q_u, CONSTANT, EUCLIDEAN, 1e4, -1e3, 1e3)))
        with pytest.raises(RuntimeError, match="^Bad control type for P$"):
            ce.CyNewton(ce.CyElectricalNetwork(objects(*elements, bad), 6), False)

    for second in (failing, lambda elements: ce.CyNewton(ce.CyElectricalNetwork(elements, 5), 0),
                   lambda elements: ce.CyBackwardForward(ce.CyElectricalNetwork(elements, 5))):
        elements, bus, load = reproducer_feeder()
        newest = ce.CyNewton(ce.CyElectricalNetwork(elements, 5), False)
        assert newest.solve_load_flow(20, 1e-9)[1] <= 1e-9
        second(elements)  # a solver built there goes at once
        load.update_power(3e3)
        assert newest.solve_load_flow(20, 1e-9)[1] <= 1e-9
        assert bus.get_potentials(2)[0] == pytest.approx(228.68, abs=5e-3)
    # The first network lists the load twice: its power goes back to the slot that the tape
    # reads, the last one, as after a fresh link.
    elements, bus, load = reproducer_feeder()
    first = ce.CyNewton(ce.CyElectricalNetwork(objects(*elements, load), 6), False)
    ce.CyNewton(ce.CyElectricalNetwork(elements, 5), False)
    load.update_power(3e3)
    assert first.solve_load_flow(20, 1e-9)[1] <= 1e-9
    assert bus.get_potentials(2)[0] == pytest.approx(228.68, abs=5e-3)
    # The last solver goes: its solution stays, and a solver built afterwards starts from it.
    elements, bus, load = reproducer_feeder()
    network = ce.CyElectricalNetwork(elements, 5)
    solver = ce.CyNewton(network, False)
    assert solver.solve_load_flow(20, 1e-9)[1] <= 1e-9
    del solver
    assert bus.get_potentials(2)[0] == pytest.approx(229.56, abs=5e-3)
    assert ce.CyNewton(network, False).solve_load_flow(20, 1e-9)[0] == 0
    # A join made since holds the bus neutral at zero: the older solver's layout no longer fits,
    # so it takes nothing, and its solves leave the values the newer one left.
    elements, bus, load = reproducer_feeder()
    network = ce.CyElectricalNetwork(elements, 5)
    older, newer = ce.CyNewton(network, False), ce.CyNewton(network, False)
    assert newer.solve_load_flow(20, 1e-9)[1] <= 1e-9
    source_currents = elements[0].get_currents(2)
    bus.connect(ce.CyPotentialRef(), [(1, 0)])
    del newer
    assert older.solve_load_flow(20, 1e-9)[1] <= 1e-9
    np.testing.assert_array_equal(elements[0].get_currents(2), source_currents)


def test_networks_without_an_element_in_common_hand_over_the_nodes_and_parameters_they_share():
    # The feeder's Newton is older than a solver of a second network, which holds either the
    # feeder's bus nodes (a line from the bus to another one) or only the parameter of a flexible
    # load on the bus (a lone load under it). The parameter is updated and that solver goes: the
    # feeder's Newton solves with the parameter as updated, and the bus reads its solution.
    consumption = ce.CyControl("p_max_u_consumption", 180, 200, 0, 0, 200, 1e-4)

    def power_parameter(s_max):
        return ce.CyFlexibleParameter(consumption, CONSTANT, EUCLIDEAN, s_max, -1e3, 1e3)

    def flexible_load(parameter):
        return ce.CyFlexibleLoad(2, carray([2e3]), objects(parameter))

    def feeder(parameter):  # the reproducer's feeder and a flexible load on its bus
        elements, bus, _ = reproducer_feeder()
        flexible = flexible_load(parameter)
        bus.connect(flexible, same(2))
        newton = ce.CyNewton(ce.CyElectricalNetwork(objects(*elements, flexible), 6), False)
        assert newton.solve_load_flow(20, 1e-9)[1] <= 1e-9
        return newton, bus, flexible

    def line_from_the_bus(bus, _):
        tap, far = ce.CySimplifiedLine(2, carray([0.1, 0, 0, 0.1])), ce.CyBus(2, carray([230, 0]))
        tap.connect_side(bus, same(2), True)
        tap.connect_side(far, same(2), False)
        return objects(tap, far)

    def lone_load_under_the_parameter(_, parameter):
        far, far_load = ce.CyBus(2, carray([230, 0])), flexible_load(parameter)
        far.connect(far_load, same(2))
        return objects(far, far_load)

    _, fresh_bus, fresh_flexible = feeder(power_parameter(5e3))
    for second in (line_from_the_bus, lone_load_under_the_parameter):
        parameter = power_parameter(1e4)
        newton, bus, flexible = feeder(parameter)
        other = second(bus, parameter)
        solver = ce.CyBackwardForward(ce.CyElectricalNetwork(other, len(other)))
        parameter.update_parameters(5e3, -1e3, 1e3)
        del solver
        assert newton.solve_load_flow(20, 1e-9)[1] <= 1e-9
        np.testing.assert_allclose(bus.get_potentials(2), fresh_bus.get_potentials(2), atol=1e-9)
        np.testing.assert_allclose(flexible.get_powers(2), fresh_flexible.get_powers(2), atol=1e-6)


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
    # NaN in the sweep's own node slots while a newer Newton on its network holds the nodes: the
    # sweep neither reads nor writes those slots, and converges.
    elements, bus, load = reproducer_feeder()
    network = ce.CyElectricalNetwork(elements, 5)
    sweep = ce.CyBackwardForward(network)
    sweep.set_variables(np.full(len(sweep.get_variables()), np.nan))
    newton = ce.CyNewton(network, False)
    assert sweep.solve_load_flow(50, 1e-9)[1] <= 1e-9
    assert bus.get_potentials(2)[0] == pytest.approx(229.56, abs=5e-3)
    assert newton.solve_load_flow(20, 1e-9)[0] == 1  # from the sweep's solution, in its slots


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

