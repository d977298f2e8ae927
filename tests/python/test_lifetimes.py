# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; a solver that goes hands
# each node and record it holds to the newest solver still alive, on any network, whose network
# holds it; what none takes keeps the value it holds then as its stored value.

import gc
import itertools
import weakref

import numpy as np
import pytest
from conftest import (SOLVERS, STAR_POWERS, START, assert_kirchhoff, assert_law, behind_line,
                      carray, four_wire, objects, same)

from tarvelo import cy_engine as ce

ELEMENTS = ["source", "pref", "bus1", "branch", "bus2", "star", "delta"]
CONSTANT, EUCLIDEAN = ce.CyControl("constant", 0, 0, 0, 0, 1, 1), ce.CyProjection("euclidean", 1, 1)


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
    # so it takes nothing, and it refuses to solve; the bus reads what the newer one left.
    elements, bus, load = reproducer_feeder()
    network = ce.CyElectricalNetwork(elements, 5)
    older, newer = ce.CyNewton(network, False), ce.CyNewton(network, False)
    assert newer.solve_load_flow(20, 1e-9)[1] <= 1e-9
    solved = bus.get_potentials(2)
    bus.connect(ce.CyPotentialRef(), [(1, 0)])
    del newer
    with pytest.raises(RuntimeError, match="^The network's connections changed after it was"):
        older.solve_load_flow(20, 1e-9)
    np.testing.assert_array_equal(bus.get_potentials(2), [solved[0], 0])


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

    def feeder(parameter, second=None):  # the reproducer's feeder and a flexible load on its bus
        elements, bus, _ = reproducer_feeder()
        flexible = flexible_load(parameter)
        bus.connect(flexible, same(2))
        other = second(bus, parameter) if second else None  # joined first, not listed
        newton = ce.CyNewton(ce.CyElectricalNetwork(objects(*elements, flexible), 6), False)
        assert newton.solve_load_flow(20, 1e-9)[1] <= 1e-9
        return newton, bus, flexible, other

    def line_from_the_bus(bus, _):
        tap, far = ce.CySimplifiedLine(2, carray([0.1, 0, 0, 0.1])), ce.CyBus(2, carray([230, 0]))
        tap.connect_side(bus, same(2), True)
        tap.connect_side(far, same(2), False)
        return objects(tap, far)

    def lone_load_under_the_parameter(_, parameter):
        far, far_load = ce.CyBus(2, carray([230, 0])), flexible_load(parameter)
        far.connect(far_load, same(2))
        return objects(far, far_load)

    _, fresh_bus, fresh_flexible, _ = feeder(power_parameter(5e3))
    for second in (line_from_the_bus, lone_load_under_the_parameter):
        parameter = power_parameter(1e4)
        newton, bus, flexible, other = feeder(parameter, second)
        solver = ce.CyBackwardForward(ce.CyElectricalNetwork(other, len(other)))
        parameter.update_parameters(5e3, -1e3, 1e3)
        del solver
        assert newton.solve_load_flow(20, 1e-9)[1] <= 1e-9
        np.testing.assert_allclose(bus.get_potentials(2), fresh_bus.get_potentials(2), atol=1e-9)
        np.testing.assert_allclose(flexible.get_powers(2), fresh_flexible.get_powers(2), atol=1e-6)


def test_the_sweep_reports_nan_potentials_wherever_they_live():
    # A second sweep solver built and dropped; a bus joined after the network was built, which
    # the sweep refuses to solve over.
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
    with pytest.raises(RuntimeError, match="^The network's connections changed after it was"):
        sweep.solve_load_flow(100, 1e-10)
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


# ---- every solve solves what the elements read; a call that fails changes nothing ----

CHANGED = "The network's connections changed after it was built: build a new network and a new " \
    "solver."


def producing(parameter):  # behind a line, a flexible load producing 8 kW a phase
    net = behind_line([(ce.CyFlexibleLoad(4, carray([-8e3] * 3), objects(*[parameter] * 3)), 4)])
    net.load = net.elements[-1]
    return net


def curtailing(s_max=1e4, q_min=-3e3, q_max=3e3):  # P cut back from 240 V, Q from 215 V
    production = ce.CyControl("p_max_u_production", 0, 0, 240, 252, 20, 1e-4)
    q_u = ce.CyControl("q_u", 200, 215, 240, 252, 20, 1e-4)
    return ce.CyFlexibleParameter(production, q_u, ce.CyProjection("euclidean", 1000, 1e-6),
                                  s_max, q_min, q_max)


def test_a_solve_takes_the_parameters_as_last_set_whichever_solver_holds_them():
    # Two feeders share one flexible parameter, which the newer solver (the second feeder's)
    # holds. Updated, it reaches the older solver's next solve all the same.
    shared = curtailing()
    first, second = producing(shared), producing(shared)
    older, newer = ce.CyNewton(first.network(), False), ce.CyNewton(second.network(), False)
    assert older.solve_load_flow(20, 1e-9)[1] <= 1e-9
    shared.update_parameters(2e3, 0, 0)
    fresh = producing(curtailing(2e3, 0, 0))
    ce.CyNewton(fresh.network(), False).solve_load_flow(20, 1e-9)
    for solver, net in ((older, first), (newer, second), (older, first)):
        assert solver.solve_load_flow(20, 1e-9)[1] <= 1e-9
        assert_kirchhoff(net)
        np.testing.assert_allclose(net.bus2.get_potentials(4), fresh.bus2.get_potentials(4),
                                   rtol=0, atol=1e-6)
        np.testing.assert_allclose(net.load.get_powers(4)[:3], [-2e3] * 3, rtol=1e-6)


def failing_load():  # its P law is a reactive one: a Newton constructor fails on it
    q_u = ce.CyControl("q_u", 200, 210, 240, 250, 100, 1e-4)
    return ce.CyFlexibleLoad(2, carray([100]), objects(
        ce.CyFlexibleParameter(q_u, CONSTANT, EUCLIDEAN, 1e4, -1e3, 1e3)))


def test_a_solver_constructor_that_fails_changes_nothing():
    # A Newton on a feeder, then maybe a Newton of a second network over it; a third network adds
    # a load on which a Newton constructor fails after linking. Every record goes back to the
    # solver that held it, with its values: the first Newton's unknowns, the potentials read,
    # and the holder takes a later update.
    for second in (None, lambda network: ce.CyNewton(network, False)):
        net = four_wire()
        first = ce.CyNewton(net.network(), False)
        assert first.solve_load_flow(20, 1e-10)[1] <= 1e-10
        holder = second(net.network()) if second else first
        unknowns, solved = first.get_variables(), net.bus2.get_potentials(4)
        for make in (lambda network: ce.CyNewton(network, True),
                     lambda network: ce.CyNewtonGoldstein(network, False, 0.1, 0.9)):
            with pytest.raises(RuntimeError, match="^Bad control type for P$"):
                make(net.network(extra=[failing_load()]))
            np.testing.assert_array_equal(first.get_variables(), unknowns)
            np.testing.assert_array_equal(net.bus2.get_potentials(4), solved)
        net.star.update_powers(carray(STAR_POWERS / 2))
        assert holder.solve_load_flow(100, 1e-10)[1] <= 1e-10
        assert_law("power", net.star, STAR_POWERS / 2, atol=1e-6)


def test_an_element_the_network_does_not_list_draws_nothing():
    # A load joined to the bus before the network is built, and not listed: it draws nothing in
    # any solver of the network, whatever solver of a network listing it solved before.
    def feeder():
        return behind_line([(ce.CyPowerLoad(4, carray([2e3] * 3)), 4)])

    alone = feeder()
    ce.CyNewton(alone.network(), False).solve_load_flow(20, 1e-10)
    net, unlisted = feeder(), ce.CyPowerLoad(4, carray([8e3] * 3))
    net.bus2.connect(unlisted, same(4))
    for before in (None, "newton", "sweep"):
        if before:  # solved over a network listing it, then dropped
            assert SOLVERS[before](net.network(extra=[unlisted])).solve_load_flow(
                100, 1e-10)[1] <= 1e-10
        for make in SOLVERS.values():
            solver = make(net.network())
            assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
            np.testing.assert_allclose(net.bus2.get_potentials(4), alone.bus2.get_potentials(4),
                                       rtol=0, atol=1e-8)
            assert_kirchhoff(net)
            if before:  # it keeps the currents of the solve that listed it, drawing nothing
                assert abs(unlisted.get_currents(4)).sum() > 1


def test_a_solve_after_a_join_that_touches_the_network_is_refused():
    # Solvers of each kind, solved; then a join onto the network's nodes: a new bus keeping its
    # 0 V node, two of its buses joined, a reference on its neutral, a load on one of its buses.
    # Their solves are refused, and so is a solver built on the network afterwards; a new network
    # solves. Joins away from its nodes, and an element it does not list leaving one of its
    # nodes (deleted), change nothing.
    joins = [lambda net: ce.CyBus(4, carray(np.zeros(4))).connect(net.bus2, same(4)),
             lambda net: net.bus2.connect(net.bus1, [(3, 3)]),
             lambda net: ce.CyPotentialRef().connect(net.bus2, [(0, 3)]),
             lambda net: net.bus2.connect(ce.CyPowerLoad(4, carray([1e3] * 3)), same(4))]
    for join in joins:
        net, gone = behind_line([(ce.CyPowerLoad(4, carray([2e3] * 3)), 4)]), ce.CyBus(4, START)
        net.bus2.connect(gone, same(4))
        network = net.network()
        solvers = [make(network) for make in SOLVERS.values()]
        for solver in solvers:
            assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        aside = ce.CyBus(4, carray(START))
        aside.connect(ce.CyPowerLoad(4, carray([1e3] * 3)), same(4))
        del gone
        for solver in solvers:
            assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        join(net)
        for call in [lambda s=solver: s.solve_load_flow(100, 1e-10) for solver in solvers] + [
                lambda m=make: m(network) for make in SOLVERS.values()]:
            with pytest.raises(RuntimeError) as refusal:
                call()
            assert str(refusal.value) == CHANGED
        net.bus2.initialize_potentials(carray(START))  # the new bus's node starts at 0 V
        assert SOLVERS["newton"](net.network()).solve_load_flow(100, 1e-10)[1] <= 1e-10


def test_solvers_of_networks_with_elements_of_their_own_go_in_any_order():
    # Networks over one feeder, each with an element of its own (a bus joined to nothing, or a
    # load on the feeder's bus that the others do not list), a solver each; dropped oldest or
    # newest first. The newest solver left solves its own network, and what the dropped one
    # held alone keeps its last values.
    for newest_first, own in itertools.product((False, True), ("bus", "load")):
        net = behind_line([(ce.CyPowerLoad(4, carray([2e3] * 3)), 4)])
        extras = []
        for k in range(3):
            if own == "bus":
                extras.append(ce.CyBus(4, carray(START + k)))
            else:
                extras.append(ce.CyPowerLoad(4, carray([1e3 * (k + 1)] * 3)))
                net.bus2.connect(extras[-1], same(4))
        solvers = [SOLVERS["sweep"](net.network(extra=[extra])) for extra in extras]
        for solver in solvers:
            assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        order = list(range(3))[::-1] if newest_first else list(range(3))
        for k in order[:-1]:
            kept = extras[k].get_potentials(4)
            solvers[k] = None
            np.testing.assert_array_equal(extras[k].get_potentials(4), kept)
            left = max(i for i, solver in enumerate(solvers) if solver)
            net.elements[-1].update_powers(carray([2e3 + k] * 3))
            assert solvers[left].solve_load_flow(100, 1e-10)[1] <= 1e-10
            fresh = behind_line([(ce.CyPowerLoad(4, carray([2e3 + k] * 3)), 4)] + (
                [(ce.CyPowerLoad(4, carray([1e3 * (left + 1)] * 3)), 4)] if own == "load" else []))
            ce.CyNewton(fresh.network(), False).solve_load_flow(20, 1e-10)
            np.testing.assert_allclose(net.bus2.get_potentials(4), fresh.bus2.get_potentials(4),
                                       rtol=0, atol=1e-6)


# ---- cycles: the collector sees what the module keeps alive ----

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

