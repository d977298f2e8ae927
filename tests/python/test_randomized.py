# Randomized use and misuse of every class of tarvelo.cy_engine, to run under the sanitizers.
#
# One grammar of operations over every class (constructors, any method, joins, networks, solvers,
# solves, updates, drops in random order, subclasses among the classes), method
# arguments drawn from one table of good and bad values per kind, the kinds read from the signature
# strings. A call is taken or raises a refusal exception; an instance of a base class refuses every
# method. Shared feeders are mirrored while nothing joins them or updates them untracked: their
# loads are updated, further networks are built over their elements or over parts of them (some
# with a load on which a Newton constructor fails after linking, which changes nothing), some
# carry a flexible load whose parameter other feeders share and which is updated, a new bus may
# be joined to one of their buses (every solver over it then refuses to solve), and a model
# follows which solver holds every record of each one: each record is held by the newest solver
# alive whose network holds it. A converged solve by the solver holding a whole feeder gives what
# a fresh Newton gives on a fresh copy with the same parameters, and a Newton solve meets the
# physical checks. At the end the collector frees every object.
# TARVELO_FUZZ_EXAMPLES sets the examples (default 100, derandomized when CI is set); `make fuzz`
# runs them at length.

import gc
import os
import re
import sys
import weakref

import numpy as np
from conftest import START, Z_LINE, assert_feeder_laws, build_feeder, carray, objects, same
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

from tarvelo import cy_engine as ce

EXAMPLES = int(os.environ.get("TARVELO_FUZZ_EXAMPLES", "100"))
REFUSALS = (TypeError, ValueError, IndexError, RuntimeError, OverflowError, OSError)
CLASSES = {name: cls for name, cls in vars(ce).items() if isinstance(cls, type)}
BASES = ("CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver", "CyAbstractNewton")
SUBCLASSES = {name: type("Sub" + name, (cls,), {}) for name, cls in CLASSES.items()}
SOLVERS = ("CyNewton", "CyNewtonGoldstein", "CyBackwardForward")
ARRAYS = {"double complex[::1]": np.complex128, "double[::1]": np.float64, "int[::1]": np.int32}


def signatures(cls):  # {method: [(kind, argument name), ...]}, from the signature strings
    found = {}
    for name in dir(cls):
        match = re.fullmatch(r"\w+\.(\w+)\(self(?:, (.*))?\)",
                             getattr(getattr(cls, name), "__doc__", None) or "")
        if match and match[1] == name:
            found[name] = [tuple(a.rsplit(" ", 1)) if " " in a else (a, a)
                           for a in filter(None, (match[2] or "").split(", "))]
    return found


METHODS = {name: signatures(cls) for name, cls in CLASSES.items()}


class Strange:  # taken by no converter; even its truth value fails
    def __bool__(self):
        raise ValueError("no truth value")


# What each kind of argument must refuse, or convert the odd way (2.9 is 2, [0] is true).
BAD = {
    "int": [2**31, -2**31 - 1, -1, 2.9, True, np.int64(1), None, "2", 1j, Strange()],
    "double": [float("nan"), float("inf"), -0.0, 5e-324, 3, None, "1.0", 1j, Strange()],
    "double complex": [complex("nan+1j"), complex("inf"), 3, np.float32(2), None, "1j", [1j]],
    "bool": [None, 0, [], [0], "", Strange()],
    "string": ["", "bogus", "YN", "\x00", "\udc80", b"D", bytearray(b"keep_q"), None, 4],
    "connections": [None, 5, "ab", [(0,)], [(0, 1, 2)], [("a", 0)], [(2**31, 0)], ((0.7, 0),),
                    iter([[0, 0]]), Strange()],
    "object": [None, 1.5, "x", ce, Strange(), objects(None), objects(3),
               objects(ce.CyElement()), ce.CyElement(), ce.CyAbstractSolver()]}


def bad(draw, kind, size):  # a bad argument of its kind, for a size of good array
    if kind not in ARRAYS:
        return draw(st.sampled_from(BAD.get(kind, BAD["object"])))
    dtype = ARRAYS[kind]
    good, read_only = np.ones(size + 1, dtype), np.ones(size + 1, dtype)
    read_only.flags.writeable = False
    return draw(st.sampled_from([
        np.ones(size - 1, dtype) if size else None, None, good.tolist(), "abc", read_only,
        np.ones(size + 1, np.int64 if dtype == np.int32 else np.float32), np.ones((2, size), dtype),
        np.ones(2 * size + 2, dtype)[::2], good.astype(good.dtype.newbyteorder(">")),
        bytearray(16 * size + 16)]))


Z2, YM = 0.01 + 0.02j, 1e-6 - 1e-5j
CHANGED = "The network's connections changed after it was built: build a new network and a new " \
    "solver."
# A flexible load on a feeder's last bus: 3 kVA a phase, consumption cut back below 200 V, and
# brought back within s_max by the projection. Its parameter may be shared between feeders.
FLEXIBLE_POWERS = carray([2500 + 1500j] * 3)
LIMITS = [(5000.0, -1e3, 1e3), (2000.0, -1e3, 1e3), (2500.0, -500.0, 500.0)]


def flexible_parameter(limits):
    return ce.CyFlexibleParameter(ce.CyControl("p_max_u_consumption", 180, 200, 0, 0, 200, 1e-4),
                                  ce.CyControl("constant", 0, 0, 0, 0, 1, 1),
                                  ce.CyProjection("euclidean", 1000, 1e-6), *limits)


def add_flexible_load(net, parameter):  # before its network is built
    load = ce.CyFlexibleLoad(4, FLEXIBLE_POWERS, objects(*[parameter] * 3))
    net.join(net.buses[-1], net.add(load, 4), same(4))


def three_phase(n):  # Yy0, Dy11, Yd5, Dz6
    whv, wlv, n1, n2 = "YDYD"[n - 1], "yydz"[n - 1], 3 + n % 2, 3 + (n != 3)
    return [n1, n2, whv, wlv, Z2, YM, 0.5, [0, 11, 5, 6][n - 1]], n1 + n2, (n1, n2)


# Good constructor arguments, the port count and the ports of each side, from n in 1..4 and
# values(count, scale); the flexible classes are made by Misuse.recipe from objects held.
RECIPES = {
    "CySwitch": lambda n, v: ([n - 1], 2 * n - 2, None),
    "CySimplifiedLine": lambda n, v: ([n, carray(Z_LINE[-n:, -n:].ravel())], 2 * n, None),
    "CyShuntLine": lambda n, v: ([n, carray(np.eye(n).ravel() * 1e-6j),
                                  carray(Z_LINE[-n:, -n:].ravel())], 2 * n + 1, None),
    "CyBus": lambda n, v: ([n, v(n, 230)], n, None),
    "CyVoltageSource": lambda n, v: ([n, v(n - 1, 230)], n, None),
    "CyDeltaPotentialRef": lambda n, v: ([n], n, None),
    "CyGround": lambda n, v: ([], 1, None),
    "CyLoadBalancer": lambda n, v: ([8 + 4j, 0.05 - 0.08j, 0.9], 4, None),
    "CyThreePhaseTransformer": lambda n, v: three_phase(n),
    "CySingleTransformer": lambda n, v: ([Z2, YM, 1 + 0.1j], 4, (2, 2)),
    "CyCenterTransformer": lambda n, v: ([Z2, YM, 1.0], 5, (2, 3)),
    "CySingleVoltageRegulator": lambda n, v: ([2 * Z2, 10 * YM, 230.0, 0.1, 10.0, 0.0], 4, (2, 2)),
    "CyControl": lambda n, v: ([["constant", "q_u", "p_max_u_production", "p_max_u_consumption"]
                                [n - 1], 200.0, 210.0, 240.0, 250.0, 100.0, 1e-4], 0, None),
    "CyProjection": lambda n, v: ([["euclidean", "keep_p", "keep_q"][n % 3], 100.0, 1e-6], 0, None),
}
RECIPES.update(CyOpenSwitch=RECIPES["CySwitch"], CyPotentialRef=RECIPES["CyGround"],
               CyDeltaVoltageSource=RECIPES["CyVoltageSource"])
for law, scale in (("Power", 1e3), ("Admittance", 0.02), ("Current", 5.0)):
    RECIPES[f"Cy{law}Load"] = lambda n, v, s=scale: ([n, v(n - 1, s)], n, None)
    RECIPES[f"CyDelta{law}Load"] = lambda n, v, s=scale: ([n, v(n, s)], n, None)


class Held:  # a module object held, with its counts: ports, each side's, update values, inner
    def __init__(self, obj, name, ports=0, sides=None, members=()):
        self.obj, self.name, self.ports, self.bare = obj, name, ports, name in BASES
        n, phases = ports // 2, ports if "Delta" in name else ports - 1
        self.sides = sides or ((n, n) if "Switch" in name or "Line" in name else (0, 0))
        self.records = {"CyBus": ports, "CyVoltageSource": ports - 1,
                        "CyDeltaVoltageSource": ports - 1}.get(name, n * n * ("Line" in name))
        self.inner = 3 if name == "CyLoadBalancer" else 0
        if name.endswith(("PowerLoad", "AdmittanceLoad", "CurrentLoad", "FlexibleLoad")):
            self.records = self.inner = phases
        self.members, self.network = list(members), None  # a solver's network
        self.ids = frozenset(map(id, self.members))

    def covers(self, mirror):  # a network over all of a mirrored feeder's elements
        return self.ids.issuperset(mirror.ports)

    def touches(self, mirror):  # a network over some of them
        return self.touches_any(mirror.ports)

    def touches_any(self, ids):
        return not self.ids.isdisjoint(ids)


class Misuse(RuleBasedStateMachine):
    directory = None  # where save_matrix may write

    def __init__(self):
        super().__init__()
        self.pool, self.mirrors, self.watched, self.fresh = [], [], [], {}
        self.live = []  # the solvers alive, oldest first
        self.shared = []  # [flexible parameter, its limits] that feeders share

    def pick(self, draw, items):
        return items[draw(st.integers(0, len(items) - 1))] if items else None

    def add(self, obj, *counts, members=()):
        self.pool.append(Held(obj, *counts, members=members))
        if hasattr(obj, "__dict__"):
            self.watched.append(weakref.ref(obj))
        return self.pool[-1]

    def call(self, function, *args, refusals=REFUSALS, **keywords):
        try:
            return True, function(*args, **keywords)
        except refusals as error:  # without its traceback it holds no frame, so no object
            return False, error.with_traceback(None)

    def new(self, draw, name, *args):  # a subclass has an attribute dictionary and weak refs
        return self.call(SUBCLASSES[name] if draw(st.integers(0, 2)) == 0 else CLASSES[name], *args)

    # ---- objects of every class ----

    def recipe(self, draw, name):
        n = draw(st.integers(1, 4))
        rng = np.random.default_rng(n)

        def values(k, scale):
            return carray(scale * (1 + rng.random(k)) * np.exp(2j * np.pi * rng.random(k)))

        if name == "CyFlexibleParameter":
            return [self.pick(draw, [h.obj for h in self.pool if type(h.obj) is CLASSES[kind]])
                    or self.make(draw, kind).obj for kind in ("CyControl", "CyControl",
                                                             "CyProjection")] + [
                5000.0, -3000.0, 3000.0], 0, None
        if name.endswith("FlexibleLoad"):
            k = n - (name == "CyFlexibleLoad")
            parameters = [self.make(draw, "CyFlexibleParameter").obj for _ in range(k)]
            return [n, values(k, 1e3), objects(*parameters) if k else None], n, None
        return RECIPES[name](n, values)

    def make(self, draw, name):  # a valid object, held
        args, ports, sides = self.recipe(draw, name)
        ok, obj = self.new(draw, name, *args)
        assert ok, f"{name}{args} refused: {obj!r}"
        flexible = name.endswith("FlexibleLoad") and args[2] is not None
        return self.add(obj, name, ports, sides, members=args[2] if flexible else ())

    @rule(data=st.data(), name=st.sampled_from(sorted(set(CLASSES) - {"CyElectricalNetwork",
                                                                       *SOLVERS})))
    def create(self, data, name):
        if name in BASES:
            self.add(CLASSES[name](*data.draw(st.lists(st.integers(), max_size=2))), name)
        else:
            self.make(data.draw, name)

    # ---- networks the shared checks know, and any other ----

    @initialize(data=st.data())
    def first_feeder(self, data):
        self.feeder(data)

    # The shared feeder, mirrored with its laws until anything joins or updates it untracked.
    @rule(data=st.data())
    def feeder(self, data):
        net = build_feeder(scale := data.draw(st.sampled_from([0.5, 1.0, 3.0])))
        net.scale, net.flexible = scale, None
        if data.draw(st.booleans()):  # a flexible load, its parameter perhaps another's
            if not self.shared or data.draw(st.booleans()):
                self.shared.append([flexible_parameter(LIMITS[0]), LIMITS[0]])
            net.flexible = self.pick(data.draw, self.shared)
            add_flexible_load(net, net.flexible[0])
        for element, ports in net.ports.values():
            self.add(element, type(element).__name__, ports)
        self.mirrors.append(net)
        self.solve(data.draw, self.solver_on(data.draw, self.network_of(list(net.elements))))

    @rule(data=st.data(), factor=st.sampled_from([0.5, 2.0]))
    def update_mirrored_load(self, data, factor):
        if mirror := self.pick(data.draw, self.mirrors):
            k = data.draw(st.integers(0, len(mirror.loads) - 1))
            load, bus, powers = mirror.loads[k]
            load.update_powers(carray(factor * powers))
            mirror.loads[k] = load, bus, factor * powers

    @rule(data=st.data(), limits=st.sampled_from(LIMITS))
    def update_shared_parameter(self, data, limits):
        if shared := self.pick(data.draw, self.shared):
            shared[0].update_parameters(*limits)
            shared[1] = limits

    # A new bus joined to a bus of a mirrored feeder, keeping its own node: every solver whose
    # network lists that bus refuses to solve.
    @rule(data=st.data())
    def join_after_build(self, data):
        if not (mirror := self.pick(data.draw, self.mirrors)):
            return
        bus = self.pick(data.draw, mirror.buses)
        self.add(ce.CyBus(4, carray(START)), "CyBus", 4).obj.connect(bus, same(4))
        self.mirrors.remove(mirror)
        for solver in self.live:
            if id(bus) in solver.network.ids:
                ok, error = self.call(solver.obj.solve_load_flow, 5, 1e-10)
                assert not ok and str(error) == CHANGED, error

    def network_of(self, members):
        ok, obj = self.call(ce.CyElectricalNetwork, objects(*members), len(members))
        return self.add(obj, "CyElectricalNetwork", members=members) if ok else None

    # A network of anything held; or of the buses of a mirrored one, already recorded by its
    # solver, or of one with many buses joined to nothing: singular systems of few entries.
    @rule(data=st.data())
    def network(self, data):
        draw = data.draw
        elements = [h for h in self.pool if isinstance(h.obj, ce.CyElement)]
        members = [self.pick(draw, elements).obj for _ in range(draw(st.integers(0, 8)))]
        mirror, shape = self.pick(draw, self.mirrors), draw(st.integers(0, 2))
        if mirror and shape == 1:
            members = [e for e in mirror.elements if isinstance(e, ce.CyBus)]
        elif mirror and shape == 2:
            members = list(mirror.elements) + [ce.CyBus(4, carray(START)) for _ in range(300)]
        network = self.network_of(members)
        assert (network is None) == any(type(m).__name__ in BASES for m in members)
        self.solve(draw, self.solver_on(draw, network))

    # With its solver, a network over a mirrored feeder's elements, or over a part of them (and
    # of another's, perhaps the same again), and at times a flexible load whose P control is a
    # reactive one: a Newton constructor links the network, then fails on it.
    @rule(data=st.data(), part=st.integers(0, 2), failing=st.booleans())
    def second_network(self, data, part, failing):
        draw = data.draw
        if not (mirror := self.pick(draw, self.mirrors)):
            return
        members = list(mirror.elements)
        if part:
            start = draw(st.integers(0, len(members) - 1))
            members = members[start:draw(st.integers(start + 1, len(members)))]
        if part == 2:
            members += self.pick(draw, self.mirrors).elements[:draw(st.integers(1, 20))]
        if failing:
            members.append(self.failing_load())
        self.solve(draw, self.solver_on(draw, self.network_of(members)))

    def failing_load(self):  # held, with its parameter
        q_u = ce.CyControl("q_u", 200.0, 210.0, 240.0, 250.0, 100.0, 1e-4)
        parameter = self.add(ce.CyFlexibleParameter(q_u, q_u, ce.CyProjection(
            "euclidean", 100.0, 1e-6), 5000.0, -3000.0, 3000.0), "CyFlexibleParameter").obj
        return self.add(ce.CyFlexibleLoad(2, carray([1e3]), objects(parameter)), "CyFlexibleLoad",
                        2, members=[parameter]).obj

    @rule(data=st.data(), mirrored=st.booleans())
    def another_solver(self, data, mirrored):  # on a network held, a mirrored feeder's or any
        networks = [h for h in self.pool if h.name == "CyElectricalNetwork" and not (
            mirrored and self.mirrors and not any(map(h.covers, self.mirrors)))]
        self.solve(data.draw, self.solver_on(data.draw, self.pick(data.draw, networks)))

    def solver_on(self, draw, network, name=None):
        if network is None:
            return None
        name = name or draw(st.sampled_from(SOLVERS))
        args = [network.obj, draw(st.booleans())] if name == "CyNewton" else \
            [network.obj, False, 0.1, 0.9] if name == "CyNewtonGoldstein" else [network.obj]
        touched = [m for m in self.mirrors if network.touches(m)]
        before = [[bus.get_potentials(4) for bus in m.buses] for m in touched]
        ok, obj = self.new(draw, name, *args)
        if not ok:  # a constructor that failed changed nothing; the holders solve
            for mirror, potentials in zip(touched, before):
                np.testing.assert_array_equal([bus.get_potentials(4) for bus in mirror.buses],
                                              potentials)
            self.solve_holders(draw, touched)
            return None
        solver = self.add(obj, name)
        solver.network = network
        self.live.append(solver)
        return solver

    def holder(self, mirror):  # the solver holding every record of the mirror, if one does
        for solver in reversed(self.live):  # the newest solver whose network holds a record
            if solver.network.covers(mirror):
                return solver
            if solver.network.touches(mirror):
                return None
        return None

    def holds_some(self, solver, mirror):  # whether the solver holds a record of the mirror
        rest = set(mirror.ports)
        for h in reversed(self.live):
            if h is solver:
                return h.network.touches_any(rest)
            rest -= h.network.ids
        return False

    def solve_holders(self, draw, mirrors):  # from the values they were handed
        for solver in {id(h): h for h in map(self.holder, mirrors) if h}.values():
            self.solve(draw, solver, (50, 1e-10))

    def solver_gone(self, draw, solver):  # it hands on what it holds, then its heirs solve
        held = [m for m in self.mirrors if self.holds_some(solver, m)]
        self.live.remove(solver)
        references = sys.getrefcount(solver.obj)  # its Held's and the argument's
        assert references == 2, "a solver dropped from the pool still lives"
        solver.obj = None  # it goes now, and hands its records on
        self.solve_holders(draw, held)

    # ---- solves and the laws after them ----

    @rule(data=st.data())
    def solve_any(self, data):
        self.solve(data.draw, self.pick(data.draw, [h for h in self.pool if h.network]))

    def solve(self, draw, solver, args=None):
        if solver is None:
            return
        args = args or (draw(st.sampled_from([0, 1, 5, 30, -1])),
                        draw(st.sampled_from([1e-10, 1e-6, 0.0, -1.0, float("nan")])))
        ok, result = self.call(solver.obj.solve_load_flow, *args)
        for mirror in self.mirrors if ok and result[1] <= 1e-10 else ():
            if self.holder(mirror) is solver:
                np.testing.assert_allclose([bus.get_potentials(4) for bus in mirror.buses],
                                           self.fresh_newton(mirror), rtol=0, atol=1e-6)
                if isinstance(solver.obj, ce.CyAbstractNewton):
                    assert_feeder_laws(mirror)

    def fresh_newton(self, mirror):  # the bus potentials of a fresh copy solved by Newton
        powers = [powers for _, _, powers in mirror.loads]
        limits = mirror.flexible[1] if mirror.flexible else None
        key = mirror.scale, np.concatenate(powers).tobytes(), limits
        if key not in self.fresh:
            copy = build_feeder(mirror.scale)
            for (load, _, _), values in zip(copy.loads, powers):
                load.update_powers(carray(values))
            if limits:
                copy.parameter = flexible_parameter(limits)  # kept while its load lives
                add_flexible_load(copy, copy.parameter)
            solver = ce.CyNewton(copy.network(), False)  # read while it lives
            assert solver.solve_load_flow(30, 1e-10)[1] <= 1e-10
            self.fresh[key] = [bus.get_potentials(4) for bus in copy.buses]
        return self.fresh[key]

    # ---- any method, any argument ----

    def argument(self, draw, h, kind, name, before):
        limit = {"n": h.ports, "index": h.ports, "size": h.inner, "n1": h.sides[0],
                 "n2": h.sides[1], "connections": max(h.sides) or h.ports}.get(name, 1)
        size = {"potentials": h.ports, "variables": self.variables(h)}.get(name, h.records)
        values = np.random.default_rng(size).random(size + draw(st.integers(0, 2))) + 0.1
        far = next((x.ports for x in self.pool if before and x.obj is before[0]), 1)
        held = [x.obj for x in self.pool if kind in CLASSES and isinstance(x.obj, CLASSES[kind])
                and not x.bare]
        good = {
            "int": st.sampled_from([0, 1, 5, 30] if name == "max_iterations" else
                                   [limit, limit - 1, limit + 1, 0]),
            "double": st.sampled_from([1e-10, 1e-6, 1.0, 0.0]) if name == "tolerance" else
            st.floats(-1e3, 1e3),
            "double complex": st.complex_numbers(max_magnitude=1e3), "bool": st.booleans(),
            "string": st.just(os.path.join(self.directory, "j")),
            "int[::1]": st.lists(st.integers(-1, h.ports), max_size=4).map(np.int32),
            "double[::1]": st.just(values), "double complex[::1]": st.just(values * (1 + 1j)),
            "connections": st.lists(st.tuples(st.integers(-1, limit), st.integers(-1, far)),
                                    max_size=3),
        }.get(kind, st.sampled_from(held) if held else None)
        return bad(draw, kind, size) if good is None or draw(st.integers(0, 3)) == 0 else \
            draw(good)

    def variables(self, h):
        return len(h.obj.get_variables()) if h.network else 0

    @rule(data=st.data())
    def call_methods(self, data):  # a class held, then an object of it: every class as often
        for _ in range(data.draw(st.integers(1, 10))):
            draw = data.draw
            h = self.pick(draw, [h for h in self.pool if h.name == self.pick(
                draw, sorted({h.name for h in self.pool}))])
            if h and METHODS[h.name]:
                self.call_method(draw, h, draw(st.sampled_from(sorted(METHODS[h.name]))))

    def call_method(self, draw, h, name):
        signature, args = METHODS[h.name][name], []
        for kind, arg in signature:
            args.append(self.argument(draw, h, kind, arg, args))
        # Mirrors it changes go, and those whose starting point it moves: from potentials far
        # from the feeder's, Newton may find another of its solutions.
        if name.startswith(("connect", "disconnect", "update", "initialize", "set_variables")):
            touched = {id(h.obj), *map(id, args[:1]),
                       *map(id, h.network.members if h.network and name == "set_variables" else ())}
            self.mirrors = [m for m in self.mirrors if touched.isdisjoint(m.ports)]
        if name == "solve_load_flow" and not h.bare:
            return self.solve(draw, h, args)
        keywords = {arg: x for (_, arg), x in zip(signature, args)}
        ok, result = self.call(getattr(h.obj, name), **keywords) if draw(st.booleans()) else \
            self.call(getattr(h.obj, name), *args)
        assert not h.bare or not ok and isinstance(result, TypeError), result

    # ---- drops ----

    @rule(data=st.data())
    def drop(self, data):  # a mirror, a solver holding a mirror's records, a solver or anything
        kind = data.draw(st.integers(0, 5))
        items = self.mirrors if self.mirrors and kind == 0 else self.pool
        solvers = [i for i, h in enumerate(items) if kind in (1, 2) and getattr(h, "network", 0)]
        held = [i for i in solvers if kind == 1 and any(
            self.holds_some(items[i], m) for m in self.mirrors)] or solvers
        if items:
            item = items.pop(self.pick(data.draw, held or range(len(items))))
            if isinstance(item, Held) and item.network:
                self.solver_gone(data.draw, item)
        if data.draw(st.integers(0, 3)) == 0:
            gc.collect(1)  # the young generations: a full collection comes at the end

    def teardown(self):
        self.pool, self.mirrors, self.live, self.shared = [], [], [], []
        gc.collect()
        assert all(ref() is None for ref in self.watched), "objects the collector did not free"


def test_no_sequence_of_calls_crashes_or_slips_past_a_refusal(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # save_matrix writes any relative prefix there
    Misuse.directory = str(tmp_path)
    gc.freeze()  # what exists now stays out of the collections that each example makes
    try:
        run_state_machine_as_test(Misuse, settings=settings(
            max_examples=EXAMPLES, stateful_step_count=40, deadline=None, database=None,
            derandomize=bool(os.environ.get("CI")), suppress_health_check=list(HealthCheck)))
    finally:
        gc.unfreeze()

