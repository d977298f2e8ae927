"""CyLoad, the power, admittance and current loads in star and delta, and CyLoadBalancer."""

import pickle

import numpy as np
import pytest
from conftest import (A, DELTA_POWERS, PHASE_VOLTAGES, STAR_POWERS, assert_solution,
                      build_four_wire, carray, node_current_sums)

from tarvelo import cy_engine as ce


def solved_four_wire(**powers):
    net = build_four_wire(**powers)
    solver = ce.CyNewton(net.network(), False)
    solver.solve_load_flow(20, 1e-10)
    return net, solver


def test_inner_currents_sizes():
    net, solver = solved_four_wire()
    star = net.star.get_inner_currents(size=5)
    assert star.dtype == np.complex128 and star.shape == (5,)
    np.testing.assert_array_equal(star[:3], net.star.get_currents(3))
    for load, phases in ((net.star, 3), (net.delta, 3)):
        for size in (phases - 1, -1):
            with pytest.raises(ValueError, match=f"size: expected at least {phases}, got {size}"):
                load.get_inner_currents(size)
    assert ce.CyPowerLoad(1, None).get_inner_currents(0).shape == (0,)
    with pytest.raises(ValueError, match="size: expected at least 2, got 1"):
        ce.CyDeltaPowerLoad(2, carray([1, 2])).get_inner_currents(1)


def test_plural_updates_take_the_first_values_or_nothing():
    net, solver = solved_four_wire()
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 2"):
        net.star.update_powers(carray([1, 2]))
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 0"):
        net.delta.update_powers(None)
    with pytest.raises(ValueError, match="dtype mismatch"):
        net.delta.update_powers(np.ones(3))
    with pytest.raises(ValueError, match="holds 3"):
        net.star.update_power(1)
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, STAR_POWERS, DELTA_POWERS)  # nothing changed

    new_star, new_delta = STAR_POWERS + 500, DELTA_POWERS * 0.5
    net.star.update_powers(carray(list(new_star) + [1e9]))
    net.delta.update_powers(carray(list(new_delta) + [1e9, 1e9]))
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, new_star, new_delta)


def test_updates_before_any_solver_and_copied_arrays():
    star, delta = carray(STAR_POWERS), carray(DELTA_POWERS)
    net = build_four_wire(star=star, delta=delta)
    star[:] = delta[:] = 0  # the engine copied them
    net.star.update_powers(carray(2 * STAR_POWERS))
    solver = ce.CyNewton(net.network(), True)
    solver.solve_load_flow(20, 1e-10)
    assert_solution(net, PHASE_VOLTAGES, 2 * STAR_POWERS, DELTA_POWERS)


# source(0) == bus(0) == load(0); source(1) == bus(1) == load(1) == PotentialRef
def test_single_power_update():
    source, bus = ce.CyVoltageSource(2, carray([230])), ce.CyBus(2, carray([220, 0]))
    pref, load = ce.CyPotentialRef(), ce.CyPowerLoad(2, carray([1000]))
    for element in (source, load):
        bus.connect(element, [(0, 0), (1, 1)])
    bus.connect(pref, [(1, 0)])
    solver = ce.CyNewton(ce.CyElectricalNetwork(np.array([source, pref, bus, load], object), 4),
                         False)
    # A real number is a power with no imaginary part.
    for power in (1000, 3000 - 400j, 0.5, np.float32(700), np.complex128(800 + 10j)):
        load.update_power(power)
        solver.solve_load_flow(20, 1e-10)
        v = bus.get_potentials(2)
        assert (v[0] - v[1]) * np.conj(load.get_inner_currents(1)[0]) == pytest.approx(power)

    three_phase = ce.CyPowerLoad(4, carray(STAR_POWERS))
    with pytest.raises(ValueError, match=r"^update_power\(\): expected an element holding at "
                       r"most one value, this one holds 3$"):
        three_phase.update_power(1)
    ce.CyPowerLoad(1, None).update_power(1)  # no phase: nothing to change
    with pytest.raises(RuntimeError):
        ce.CyPowerLoad(0, None)
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 2"):
        ce.CyDeltaPowerLoad(3, carray([1, 2]))
    with pytest.raises(AttributeError):
        ce.CyDeltaPowerLoad(3, carray([1, 2, 3])).update_power(1)


# ---- every law behind a line, in star and in delta, with every solver ----

# Phases and neutral alike, with equal mutual impedances, so that balanced and zero-sequence
# sets stay so along the line.
Z_LINE = np.full((4, 4), 0.02j) + np.diag([0.3 + 0.15j] * 4)
START_POTENTIALS = np.append(0.95 * PHASE_VOLTAGES, 2.0)

SOLVERS = {
    "newton": lambda network: ce.CyNewton(network, False),
    "goldstein": lambda network: ce.CyNewtonGoldstein(network, True, 0.1, 0.9),
    "sweep": ce.CyBackwardForward,
}

# kind -> star class, delta class, star values, delta values
FAMILIES = {
    "power": (ce.CyPowerLoad, ce.CyDeltaPowerLoad, STAR_POWERS, DELTA_POWERS),
    "current": (ce.CyCurrentLoad, ce.CyDeltaCurrentLoad, np.array([10, 8 - 3j, 5j]),
                np.array([6, 4 + 2j, 3 - 3j])),
    "admittance": (ce.CyAdmittanceLoad, ce.CyDeltaAdmittanceLoad,
                   np.array([0.05 - 0.02j, 0.08, 0.03 + 0.01j]),
                   np.array([0.01, 0.02 - 0.01j, 0.015j])),
}


def make_load(kind, delta, values=None):
    star_class, delta_class, star_values, delta_values = FAMILIES[kind]
    if values is None:
        values = delta_values if delta else star_values
    return (delta_class(3, carray(values)) if delta else star_class(4, carray(values))), values


class Feeder:
    """A source feeding loads through a line; `nodes` lists the (element, port) of each node.

    source(0..w-1) == bus1 == line side 1 ─ side 2 == bus2(0..w-1) == each load, port k on node k
        │ last port (neutral)
      PotentialRef
    """

    def __init__(self, loads, voltages=PHASE_VOLTAGES):
        """`loads`: (load, port count) pairs."""
        wires = len(voltages) + 1
        self.source, pref = ce.CyVoltageSource(wires, carray(voltages)), ce.CyPotentialRef()
        bus1, self.bus2 = (ce.CyBus(wires, carray(START_POTENTIALS[-wires:])) for _ in range(2))
        line = ce.CySimplifiedLine(wires, carray(Z_LINE[-wires:, -wires:].ravel()))
        bus1.connect(self.source, [(k, k) for k in range(wires)])
        pref.connect(bus1, [(0, wires - 1)])
        line.connect_side(bus1, [(k, k) for k in range(wires)], True)
        line.connect_side(self.bus2, [(k, k) for k in range(wires)], False)
        self.nodes = [[(self.source, k), (bus1, k), (line, k)] for k in range(wires)]
        self.nodes[-1].append((pref, 0))
        self.nodes += [[(line, wires + k), (self.bus2, k)] for k in range(wires)]
        for load, ports in loads:
            self.bus2.connect(load, [(k, k) for k in range(ports)])
            for k in range(ports):
                self.nodes[wires + k].append((load, k))
        self.loads = loads
        self.elements = [self.source, pref, bus1, line, self.bus2] + [l for l, _ in loads]
        self.network = ce.CyElectricalNetwork(np.array(self.elements, object),
                                              len(self.elements))

    def solve(self, make_solver=SOLVERS["newton"], solver=None):
        # The nodes read their potentials from the solver that last linked them: keep it.
        self.solver = solver or make_solver(self.network)
        iterations, residual = self.solver.solve_load_flow(200, 1e-10)
        assert iterations < 200 and residual <= 1e-10
        np.testing.assert_allclose(node_current_sums(self.nodes), 0, atol=1e-8)
        return self.solver

    def state(self):
        """The potentials at the loads and their port currents."""
        wires = len(self.nodes) // 2
        return np.concatenate([self.bus2.get_potentials(wires)] +
                              [load.get_currents(ports) for load, ports in self.loads])


def drawn(load, ports, delta):
    """The voltage each phase or branch of a load sees and the current it draws, read back from
    its ports; its port currents must follow from those branch currents."""
    v, i = load.get_potentials(ports), load.get_currents(ports)
    assert abs(np.sum(i)) < 1e-9 * np.max(np.abs(i))
    if delta:
        dv, j = v - np.roll(v, -1), load.get_inner_currents(ports)
        np.testing.assert_allclose(i, j - np.roll(j, 1), rtol=1e-12, atol=1e-12)
    else:
        dv, j = v[:-1] - v[-1], i[:-1]
        np.testing.assert_array_equal(load.get_inner_currents(ports - 1), j)
    return dv, j


def assert_law(kind, values, dv, j, rtol=1e-8):
    if kind == "power":  # dV conj(J) = S
        np.testing.assert_allclose(dv * np.conj(j), values, rtol=rtol)
    elif kind == "current":  # |J| = |I|, J turned from I by the angle of dV
        np.testing.assert_allclose(np.abs(j), np.abs(values), rtol=rtol)
        np.testing.assert_allclose(j / values, dv / np.abs(dv), rtol=rtol)
    else:  # J / dV = Y
        np.testing.assert_allclose(j / dv, values, rtol=rtol)


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
@pytest.mark.parametrize("kind", FAMILIES)
def test_each_law_draws_what_it_says_in_star_and_delta(kind, make_solver):
    star, star_values = make_load(kind, False)
    delta, delta_values = make_load(kind, True)
    feeder = Feeder([(star, 4), (delta, 3)])
    feeder.solve(make_solver)

    dv, j = drawn(star, 4, False)
    assert_law(kind, star_values, dv, j)
    assert np.max(np.abs(dv - PHASE_VOLTAGES)) > 1  # the line drops a few volts
    dv, j = drawn(delta, 3, True)
    assert_law(kind, delta_values, dv, j)
    assert np.max(np.abs(dv - (PHASE_VOLTAGES - np.roll(PHASE_VOLTAGES, -1)))) > 1


# ---- updates ----

@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
@pytest.mark.parametrize("delta", [False, True], ids=["star", "delta"])
@pytest.mark.parametrize("kind", FAMILIES)
def test_updates_between_solves_equal_a_fresh_solver(kind, delta, make_solver):
    load, values = make_load(kind, delta)
    ports = 3 if delta else 4
    feeder = Feeder([(load, ports)])
    solver = feeder.solve(make_solver)
    before = feeder.state()

    new_values = values[::-1] * (1.5 + 0.2j)
    update = getattr(load, f"update_{kind}s")
    with pytest.raises(ValueError, match=f"{kind}s: expected at least 3 values, got 2"):
        update(carray(new_values[:2]))
    with pytest.raises(ValueError, match=f"{kind}s: expected at least 3 values, got 0"):
        update(None)
    update(carray(list(new_values) + [1e6]))  # values past the records are ignored
    feeder.solve(solver=solver)
    after = feeder.state()
    assert_law(kind, new_values, *drawn(load, ports, delta))
    assert np.max(np.abs(after - before)) > 1

    # A solver built after the update, and a load built with the new values, agree.
    feeder.solve(make_solver)
    np.testing.assert_allclose(feeder.state(), after, rtol=1e-9, atol=1e-9)
    built, _ = make_load(kind, delta, new_values)
    fresh = Feeder([(built, ports)])
    fresh.solve(make_solver)
    np.testing.assert_allclose(fresh.state(), after, rtol=1e-9, atol=1e-9)


# source(0) == bus1 == line ─ bus2(0) == load(0); neutral (port 1) likewise, PotentialRef on it
@pytest.mark.parametrize("kind", ["admittance", "current"])
def test_single_value_updates(kind):
    star_class, delta_class, star_values, _ = FAMILIES[kind]
    load = star_class(2, carray(star_values[:1]))
    feeder = Feeder([(load, 2)], voltages=PHASE_VOLTAGES[:1])
    solver = feeder.solve()
    update_one = getattr(load, f"update_{kind}")
    # Any number is taken as a complex value.
    for value in (2 * star_values[0], 0.07, np.float32(9), np.complex128(0.04 - 0.03j)):
        update_one(value)
        feeder.solve(solver=solver)
        assert_law(kind, np.array([value]), *drawn(load, 2, False))
    update_one(**{kind: star_values[0]})
    feeder.solve(solver=solver)
    assert_law(kind, star_values[:1], *drawn(load, 2, False))

    # A three-phase load refuses a single value and keeps its own.
    three_phase = star_class(4, carray(star_values))
    feeder = Feeder([(three_phase, 4)])
    solver = feeder.solve()
    with pytest.raises(ValueError, match=rf"^update_{kind}\(\): expected an element holding at "
                       r"most one value, this one holds 3$"):
        getattr(three_phase, f"update_{kind}")(1)
    feeder.solve(solver=solver)
    assert_law(kind, star_values, *drawn(three_phase, 4, False))

    getattr(star_class(1, None), f"update_{kind}")(1)  # no phase: nothing to change
    assert not hasattr(delta_class, f"update_{kind}")


# ---- inner currents ----

def test_inner_currents_sizes_and_when_they_are_computed():
    loads = {  # load -> phases
        ce.CyAdmittanceLoad(4, carray([1, 2, 3])): 3,
        ce.CyCurrentLoad(2, carray([1])): 1,
        ce.CyCurrentLoad(1, None): 0,
        ce.CyDeltaAdmittanceLoad(2, carray([1, 2])): 2,
        ce.CyDeltaCurrentLoad(3, carray([1, 2, 3])): 3,
        ce.CyDeltaCurrentLoad(0, None): 0,
        ce.CyLoadBalancer(0.1, 0.01, 1.0): 3,
    }
    for load, phases in loads.items():
        assert load.get_inner_currents(phases + 2).shape == (phases + 2,)
        for size in (phases - 1, -1):
            with pytest.raises(ValueError, match=f"^size: expected at least {phases}, got {size}$"):
                load.get_inner_currents(size)
    # Unsolved: no star current has been evaluated; the delta ones are worked out (no voltage).
    for unsolved in (ce.CyAdmittanceLoad(4, carray([1, 2, 3])),
                     ce.CyDeltaAdmittanceLoad(3, carray([1, 2, 3]))):
        np.testing.assert_array_equal(unsolved.get_inner_currents(3), 0)

    star, star_y = make_load("admittance", False)
    delta, delta_y = make_load("admittance", True)
    feeder = Feeder([(star, 4), (delta, 3)])
    feeder.solve()
    star_before = star.get_inner_currents(3)
    dv_delta = delta.get_potentials(3) - np.roll(delta.get_potentials(3), -1)
    # After an update a delta load reports its new currents at once; a star load keeps those of
    # the last solve until the next one.
    star.update_admittances(carray(2 * star_y))
    delta.update_admittances(carray(3 * delta_y))
    np.testing.assert_array_equal(star.get_inner_currents(3), star_before)
    np.testing.assert_allclose(delta.get_inner_currents(3), 3 * delta_y * dv_delta, rtol=1e-12)
    feeder.solve(solver=feeder.solver)
    assert_law("admittance", 2 * star_y, *drawn(star, 4, False))
    assert_law("admittance", 3 * delta_y, *drawn(delta, 3, True))


# ---- load balancer ----

Z2, YM, K = 8 + 4j, 0.05 - 0.08j, 0.9
A_TERM = Z2 + (1 + 1 / K**2) / YM
B_TERM = -1 / (YM * K)
Z_BALANCER = np.full((3, 3), B_TERM) + np.diag([A_TERM - B_TERM] * 3)


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
def test_load_balancer(make_solver):
    sets = {
        "balanced": PHASE_VOLTAGES,
        "zero sequence": np.full(3, 230.0 + 10j),
        "unbalanced": np.array([240, 200 * A, 220 * A**2 + 15]),
    }
    results = {}
    for name, voltages in sets.items():
        balancer = ce.CyLoadBalancer(z2=Z2, ym=YM, k=K)
        feeder = Feeder([(balancer, 4)], voltages=voltages)
        feeder.solve(make_solver)
        v, i = balancer.get_potentials(4), balancer.get_currents(4)
        dv = v[:3] - v[3]
        assert abs(np.sum(i)) < 1e-9
        np.testing.assert_array_equal(balancer.get_inner_currents(3), i[:3])
        np.testing.assert_allclose(Z_BALANCER @ i[:3], dv, rtol=1e-8)  # I = Z^-1 dV
        results[name] = dv, i

    dv, i = results["balanced"]
    np.testing.assert_allclose(i[:3], dv / (A_TERM - B_TERM), rtol=1e-8)
    assert abs(i[3]) < 1e-9 * abs(i[0])
    dv, i = results["zero sequence"]
    np.testing.assert_allclose(dv, dv[0], rtol=1e-10)
    np.testing.assert_allclose(i[:3], dv[0] / (A_TERM + 2 * B_TERM), rtol=1e-8)
    np.testing.assert_allclose(i[3], -3 * i[0], rtol=1e-10)
    assert abs(dv[0] - 230 - 10j) > 1  # the neutral current lifts the neutral


# ---- construction, refusals, docstrings, pickling ----

def test_construction_refusals_docstrings_and_pickling():
    for star_class, delta_class, _, _ in FAMILIES.values():
        name = star_class.__name__[2:-4].lower() + "s"  # powers, currents, admittances
        with pytest.raises(ValueError, match=f"^{name}: expected at least 3 values, got 2$"):
            star_class(4, carray([1, 2]))
        with pytest.raises(ValueError, match=f"^{name}: expected at least 3 values, got 0$"):
            delta_class(3, None)
        with pytest.raises(RuntimeError):  # a star load needs its neutral
            star_class(0, None)
        star_class(n=2, **{name: carray([1, 2, 3])})  # longer arrays are accepted

    with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 3 positional arguments "
                       r"\(2 given\)"):
        ce.CyLoadBalancer(1, 1)
    with pytest.raises(TypeError):
        ce.CyLoadBalancer(1, 1, 1j)  # k is real
    with pytest.raises(TypeError):
        ce.CyLoadBalancer(1, "1", 1)
    assert not [m for m in vars(ce.CyLoadBalancer) if m.startswith("update")]

    docs = {
        ce.CyAdmittanceLoad.update_admittances:
            "CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
        ce.CyAdmittanceLoad.update_admittance:
            "CyAdmittanceLoad.update_admittance(self, double complex admittance)",
        ce.CyDeltaAdmittanceLoad.update_admittances:
            "CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
        ce.CyCurrentLoad.update_currents:
            "CyCurrentLoad.update_currents(self, double complex[::1] currents)",
        ce.CyCurrentLoad.update_current:
            "CyCurrentLoad.update_current(self, double complex current)",
        ce.CyDeltaCurrentLoad.update_currents:
            "CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)",
        ce.CyLoadBalancer.get_inner_currents: "CyLoad.get_inner_currents(self, int size)",
    }
    for method, doc in docs.items():
        assert method.__doc__ == doc

    for load in (ce.CyAdmittanceLoad(2, carray([1])), ce.CyDeltaAdmittanceLoad(1, carray([1])),
                 ce.CyCurrentLoad(2, carray([1])), ce.CyDeltaCurrentLoad(1, carray([1])),
                 ce.CyLoadBalancer(1, 1, 1)):
        assert isinstance(load, ce.CyLoad)
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(load)
    with pytest.raises(TypeError, match="self.element cannot be converted"):
        pickle.dumps(ce.CyLoad())
    with pytest.raises(TypeError):
        ce.CyLoad().get_inner_currents(3)
