"""Dropping elements, networks and solvers in any order never reaches freed engine memory.

The network keeps its element objects alive and a solver its network; deleting the solver that
last linked a network unlinks it, so reads fall back to the stored (starting) potentials.
"""

import itertools

import numpy as np
from conftest import PHASE_VOLTAGES, START, STAR_POWERS, build_four_wire, carray

from tarvelo import cy_engine as ce


ELEMENTS = ["source", "pref", "bus1", "switch", "bus2", "star", "delta"]


def exercise(objects, expected_bus2):
    """Solves, reads and updates (to the same values) through every object still held."""
    if "solver" in objects:
        assert objects["solver"].solve_load_flow(20, 1e-10)[1] <= 1e-10
    if "bus2" in objects:
        np.testing.assert_allclose(objects["bus2"].get_potentials(4), expected_bus2, atol=1e-9)
    if "star" in objects:
        objects["star"].update_powers(carray(STAR_POWERS))
        objects["star"].get_inner_currents(3)
    if "source" in objects:
        objects["source"].get_currents(4)
        objects["source"].update_voltages(carray(PHASE_VOLTAGES))
    if "switch" in objects:
        objects["switch"].get_side_potentials(4, 4)


def test_every_deletion_order_reads_solver_values_then_stored_values():
    # Every place of the network and the solver among the element deletions, in both orders.
    for network_at, solver_at in itertools.permutations(range(len(ELEMENTS) + 2), 2):
        net = build_four_wire()
        objects = {name: getattr(net, name) for name in ELEMENTS}
        objects["network"] = net.network()
        objects["solver"] = ce.CyNewton(objects["network"], False)
        objects["solver"].solve_load_flow(20, 1e-10)
        solved = net.bus2.get_potentials(4)
        assert not np.allclose(solved, START)
        del net

        order = list(ELEMENTS)
        order.insert(min(network_at, solver_at), "network" if network_at < solver_at else "solver")
        order.insert(max(network_at, solver_at), "solver" if network_at < solver_at else "network")
        solver_alive = True
        for name in order:
            del objects[name]  # no cycles: the object goes now, unless another holds it
            solver_alive = solver_alive and name != "solver"
            exercise(objects, solved if solver_alive else START)


def test_second_solver_takes_over_the_links():
    net = build_four_wire()
    network = net.network()
    first = ce.CyNewton(network, False)
    first.solve_load_flow(20, 1e-10)
    second = ce.CyNewtonGoldstein(network, False, 0.1, 0.9)
    # The second solver starts from the stored values, and its variables are the ones read.
    np.testing.assert_allclose(net.bus2.get_potentials(4), START)
    second.solve_load_flow(20, 1e-10)
    solved = net.bus2.get_potentials(4)

    del first  # not the linker: the links stay
    np.testing.assert_allclose(net.bus2.get_potentials(4), solved)
    net.star.update_powers(carray(2 * STAR_POWERS))
    second.solve_load_flow(20, 1e-10)
    v = net.bus2.get_potentials(4)
    np.testing.assert_allclose((v[:3] - v[3]) * np.conj(net.star.get_currents(3)),
                               2 * STAR_POWERS, atol=1e-6)

    del network, second
    np.testing.assert_allclose(net.bus2.get_potentials(4), START)
    net.source.update_voltages(carray([1, 2, 3]))  # stored values only now
    # A network built again from the same elements solves from the stored values.
    ce.CyNewton(net.network(), True).solve_load_flow(20, 1e-10)


def test_elements_outlive_their_network_and_joined_elements_die_first():
    net = build_four_wire()
    extra = ce.CyBus(4, carray(START))
    extra.connect(net.bus2, [(i, i) for i in range(4)])  # extra's nodes survive the join
    network = net.network()
    solver = ce.CyNewton(network, False)
    solver.solve_load_flow(20, 1e-10)
    # The extra bus is on the network's nodes without being listed: it reads the solution.
    np.testing.assert_allclose(extra.get_potentials(4), net.bus2.get_potentials(4))
    del extra  # its ports leave the nodes
    solver.solve_load_flow(20, 1e-10)
    del solver, network
    np.testing.assert_allclose(net.star.get_potentials(4), START)
