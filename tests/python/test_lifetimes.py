# Dropping elements, networks and solvers in any order never reaches freed engine memory.

# The network keeps its element objects alive and a solver its network; deleting the solver that
# last linked a network unlinks it, so reads fall back to the stored (starting) potentials.

import ctypes
import gc
import itertools
import weakref

import numpy as np
from conftest import START, assert_refusals, carray, four_wire, objects

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


def collector_clear(instance):
    # Runs the clear slot of the instance's class as the collector does on the members of a
    # cycle; False if the class has none.
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    slot = get_slot(type(instance), 51)  # Py_tp_clear
    assert not slot or ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(instance) == 0
    return bool(slot)


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


def test_a_cleared_solver_is_a_bare_instance_and_nothing_else_clears():
    # Only the solver holds its network and elements: clearing it deletes the engine solver while
    # they still live, then lets them go.
    solver = ce.CyNewton(four_wire().network(), False)
    solver.solve_load_flow(20, 1e-10)
    assert gc.get_referents(solver)[1:] and collector_clear(solver)
    assert gc.get_referents(solver) == [type(solver)]
    # Everything else stays whole, so a finalizer may still use it; the solver that was cleared
    # refuses as an instance of a base class does.
    net = four_wire()
    solver = ce.CyNewtonGoldstein(network := net.network(), False, 0.1, 0.9)
    solver.solve_load_flow(20, 1e-10)
    solved = net.bus2.get_potentials(4)
    parameter = ce.CyFlexibleParameter(CONSTANT, CONSTANT, EUCLIDEAN, 1e4, 0, 0)
    load = ce.CyFlexibleLoad(2, carray([100]), objects(parameter))
    assert not any(collector_clear(instance) for instance in (
        network, net.bus2, net.star, load, parameter, CONSTANT, EUCLIDEAN))
    assert collector_clear(solver)
    assert_refusals([(lambda: solver.solve_load_flow(20, 1e-10), TypeError, "...no engine..."),
                     (lambda: solver.update_params(0.1, 0.9), TypeError, "...no engine...")])
    np.testing.assert_allclose(net.bus2.get_potentials(4), START)  # unlinked by the solver
    solver = None  # now it goes
    again = ce.CyNewton(network, False)
    assert again.solve_load_flow(20, 1e-10)[1] <= 1e-10
    np.testing.assert_allclose(net.bus2.get_potentials(4), solved, atol=1e-9)
