# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; deleting the solver that
# last linked a network unlinks it, so reads fall back to the stored (starting) potentials.

import itertools

import numpy as np
from conftest import PHASE_VOLTAGES, START, STAR_POWERS, carray, four_wire

from tarvelo import cy_engine as ce

ELEMENTS = ["source", "pref", "bus1", "branch", "bus2", "star", "delta"]


def test_every_deletion_order_reads_solver_values_then_stored_values():
    # Every place of the network and of the solver among the element deletions, in both orders.
    for network_at, solver_at in itertools.permutations(range(len(ELEMENTS) + 2), 2):
        net = four_wire()
        held = {name: getattr(net, name) for name in ELEMENTS}
        held["network"] = net.network()
        first = ce.CyNewton(held["network"], False)
        first.solve_load_flow(20, 1e-10)
        # A second solver takes the links over and starts from the stored values; dropping the
        # replaced one changes nothing.
        held["solver"] = ce.CyNewtonGoldstein(held["network"], False, 0.1, 0.9)
        np.testing.assert_allclose(net.bus2.get_potentials(4), START)
        held["solver"].solve_load_flow(20, 1e-10)
        solved = net.bus2.get_potentials(4)
        del first
        assert not np.allclose(solved, START) and np.all(net.bus2.get_potentials(4) == solved)
        del net
        order = list(ELEMENTS)
        for at, name in sorted([(network_at, "network"), (solver_at, "solver")]):
            order.insert(at, name)
        for name in order:
            del held[name]  # no cycles: the object goes now, unless another holds it
            # Solve, read and update (to the same values) through every object still held.
            if "solver" in held:
                assert held["solver"].solve_load_flow(20, 1e-10)[1] <= 1e-10
            for reader in ("bus2", "star"):  # on the same nodes, whichever goes first
                if reader in held:
                    expected = solved if order.index("solver") > order.index(name) else START
                    np.testing.assert_allclose(held[reader].get_potentials(4), expected, atol=1e-9)
            if "star" in held:
                held["star"].update_powers(carray(STAR_POWERS))
            if "source" in held:
                held["source"].update_voltages(carray(PHASE_VOLTAGES))
