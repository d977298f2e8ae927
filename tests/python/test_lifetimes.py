# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; deleting the solver that
# last linked a network unlinks it, so reads fall back to the stored (starting) potentials.

import gc
import itertools
import weakref

import numpy as np
from conftest import START, carray, four_wire, objects

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

