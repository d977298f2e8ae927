"""Randomized use and misuse of every class of tarvelo.cy_engine.

A Hypothesis state machine builds small networks from every class the module holds and makes
random sequences of valid and invalid calls on them: wrong kinds, short or malformed arrays,
indices out of range, None, bare base-class instances, keywords, updates before and after
solves, objects dropped in random order, second solvers replacing the first. Every call must
either succeed with results of the right kind and size, or raise a Python exception of the
refusal kinds; the interpreter must never crash, and a call the test knows to be beyond a limit
must be refused. Methods and their argument kinds are read from the docstrings, so classes added
later are exercised too.

A mirror of the nodes (ports joined by connect, connect_side and connect_ports, left by
disconnect and by elements that die) predicts which joins succeed; after a converged Newton
solve the currents balance at every node, each source imposes its voltages, a switch its
equal potentials, and every constant-power, -admittance and -current load obeys its law.

TARVELO_FUZZ_EXAMPLES sets the number of examples (default 200; `make fuzz` runs 20000).
TARVELO_FUZZ_TRACE=path writes every call to that file as it is made, to find the last one
before a crash. The faults this test has found are reproduced one by one at the end of the file.
"""

import collections
import copy
import os
import pickle
import re
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, note, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

from tarvelo import cy_engine as ce

EXAMPLES = int(os.environ.get("TARVELO_FUZZ_EXAMPLES", "200"))
TRACE = os.environ.get("TARVELO_FUZZ_TRACE")
# Calls made, by outcome (printed with -s when TARVELO_FUZZ_STATS=1).
STATS = collections.Counter()

# What a refused call may raise. MemoryError only where a count asks the engine for billions of
# ports; SystemError (a module that fails without saying why) never.
REFUSALS = (TypeError, ValueError, IndexError, RuntimeError, OSError, OverflowError,
            ArithmeticError, BufferError)
HUGE_REFUSALS = REFUSALS + (MemoryError,)

CLASS_NAMES = (
    "CyElement", "CyBranch", "CySwitch", "CyOpenSwitch", "CySimplifiedLine", "CyShuntLine",
    "CyBus", "CyLoad", "CyPowerLoad", "CyDeltaPowerLoad", "CyAdmittanceLoad",
    "CyDeltaAdmittanceLoad", "CyCurrentLoad", "CyDeltaCurrentLoad", "CyLoadBalancer", "CyControl",
    "CyProjection", "CyFlexibleParameter", "CyFlexibleLoad", "CyDeltaFlexibleLoad", "CyGround",
    "CyPotentialRef", "CyDeltaPotentialRef", "CyVoltageSource", "CyDeltaVoltageSource",
    "CyTransformer", "CyThreePhaseTransformer", "CySingleTransformer", "CyCenterTransformer",
    "CySingleVoltageRegulator", "CyElectricalNetwork", "CyAbstractSolver", "CyAbstractNewton",
    "CyNewton", "CyNewtonGoldstein", "CyBackwardForward",
)
BASES = ("CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver",
         "CyAbstractNewton")
# Every class the module holds now, those of the list above first.
PRESENT = {name: getattr(ce, name) for name in CLASS_NAMES if hasattr(ce, name)}
PRESENT.update({name: cls for name, cls in vars(ce).items()
                if name.startswith("Cy") and isinstance(cls, type)})
SOLVER_CLASSES = [n for n in ("CyNewton", "CyNewtonGoldstein", "CyBackwardForward")
                  if n in PRESENT]


def has(*names):
    return all(name in PRESENT for name in names)


# ---- methods and their argument kinds, from the signature strings ----

SIGNATURE = re.compile(r"^(?:\w+\.)?(\w+)\(self(?:, (.*))?\)$")


def methods_of(cls):
    """{method name: [(kind, argument name), ...]} for every method with a signature string."""
    methods = {}
    for name in dir(cls):
        attribute = getattr(cls, name, None)
        match = SIGNATURE.match(getattr(attribute, "__doc__", None) or "")
        if callable(attribute) and match and match.group(1) == name:
            arguments = match.group(2).split(", ") if match.group(2) else []
            methods[name] = [(item.rpartition(" ")[0] or item, item.rpartition(" ")[2])
                             for item in arguments]
    return methods


METHODS = {name: methods_of(cls) for name, cls in PRESENT.items()}
TOPOLOGY = ("connect", "connect_side", "connect_ports", "disconnect")
ARRAY_TYPES = {"double complex[::1]": np.complex128, "double[::1]": np.float64,
               "int[::1]": np.int32}

A = np.exp(-2j * np.pi / 3)
PHASES = 230.0 * np.array([1, A, A * A])


def carray(values):
    return np.array(values, dtype=np.complex128)


def trace(text):
    note(text)
    if TRACE:
        with open(TRACE, "a") as out:
            out.write(text + "\n")


# ---- the mirror of nodes and ports ----

class Node:
    """An electrical node as the engine keeps it: the ports on it and whether it is held at 0."""

    def __init__(self, fixed=False):
        self.ports = []
        self.fixed = fixed
        self.linker = None  # the solver whose vectors hold its potential


class Port:
    def __init__(self, owner, index):
        self.owner = owner
        self.index = index
        self.node = Node()
        self.node.ports.append(self)

    def disconnect(self):
        if self in self.node.ports:
            self.node.ports.remove(self)


def merge(survivor, absorbed):
    """The surviving node takes the absorbed node's ports and keeps its own potential."""
    if survivor is absorbed:
        return
    survivor.fixed = survivor.fixed or absorbed.fixed
    for port in absorbed.ports:
        survivor.ports.append(port)
        port.node = survivor
    absorbed.ports = []


class Tracked:
    """A module object and what the test knows of it."""

    def __init__(self, kind, obj, ports=0, sides=None):
        self.kind = kind
        self.obj = obj
        self.ports = [Port(self, i) for i in range(ports)]
        self.sides = sides  # (ports of side 1, ports of side 2) for branches
        self.values = None  # the record values an update rewrites, when known
        self.record_count = 0  # values the plural update reads
        self.inner = 0  # values get_inner_currents writes
        self.params = []  # flexible loads: their parameter objects
        self.linker = None
        self.alive = True
        self.elements = []  # networks: their elements in order
        self.nodes = []  # networks: their node list
        self.network = None  # solvers: their network
        self.version = 0

    def __repr__(self):
        return f"{self.kind}#{id(self) % 10007}"


# ---- what each class is built from ----

def seeded(data):
    return np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))


def complex_values(data, count, scale=1.0):
    rng = seeded(data)
    return scale * (rng.normal(size=count) + 1j * rng.normal(size=count))


def line_matrix(n, z=0.2 + 0.1j, mutual=0.05 + 0.03j):
    return carray(np.full((n, n), mutual) + np.eye(n) * (z - mutual)).ravel()


def small_port_count(data, low, high):
    return data.draw(st.integers(low, high), label="n")


def constructor_recipes(machine):
    """{class: draw -> (args, ports, sides, values)} building a valid object of that class."""
    recipes = {}

    def branch(n):
        return (list(range(n)), list(range(n, 2 * n)))

    def switch(data):
        n = small_port_count(data, 0, 4)
        return (n,), 2 * n, branch(n), None

    recipes["CySwitch"] = switch
    recipes["CyOpenSwitch"] = switch

    def simplified_line(data):
        n = small_port_count(data, 1, 4)
        return (n, line_matrix(n)), 2 * n, branch(n), None

    def shunt_line(data):
        n = small_port_count(data, 1, 4)
        return (n, line_matrix(n, 1e-6j, 0), line_matrix(n)), 2 * n + 1, branch(n), None

    recipes["CySimplifiedLine"] = simplified_line
    recipes["CyShuntLine"] = shunt_line

    def bus(data):
        n = small_port_count(data, 0, 5)
        return (n, carray(complex_values(data, n, 100))), n, None, None

    recipes["CyBus"] = bus

    def load(delta, scale):
        def make(data):
            n = small_port_count(data, 0 if delta else 1, 5)
            values = complex_values(data, n if delta else n - 1, scale)
            return (n, carray(values)), n, None, values
        return make

    for name, scale in (("PowerLoad", 1000.0), ("AdmittanceLoad", 0.02), ("CurrentLoad", 5.0)):
        recipes["Cy" + name] = load(False, scale)
        recipes["CyDelta" + name] = load(True, scale)

    recipes["CyLoadBalancer"] = lambda data: ((8 + 4j, 0.05 - 0.08j, 0.9), 4, None, None)
    recipes["CyGround"] = lambda data: ((), 1, None, None)
    recipes["CyPotentialRef"] = lambda data: ((), 1, None, None)

    def delta_potential_ref(data):
        n = small_port_count(data, 1, 4)
        return (n,), n, None, None

    recipes["CyDeltaPotentialRef"] = delta_potential_ref

    def source(data):
        n = small_port_count(data, 1, 5)
        values = complex_values(data, n - 1, 230.0)
        return (n, carray(values) if n > 1 else None), n, None, values

    recipes["CyVoltageSource"] = source
    recipes["CyDeltaVoltageSource"] = source

    def three_phase(data):
        whv = data.draw(st.sampled_from(["Y", "D"]))
        wlv = data.draw(st.sampled_from(["y", "d", "z"]))
        n1, n2 = (4 if whv == "Y" else 3), (3 if wlv == "d" else 4)
        clock = data.draw(st.sampled_from([0, 1, 5, 6, 11, 3]))
        args = (n1, n2, whv, wlv, 0.01 + 0.02j, 1e-6 - 1e-5j, 0.5, clock)
        return args, n1 + n2, (list(range(n1)), list(range(n1, n1 + n2))), None

    recipes["CyThreePhaseTransformer"] = three_phase
    recipes["CySingleTransformer"] = lambda data: (
        (0.01 + 0.02j, 1e-6 - 1e-5j, 1.0 + 0.1j), 4, ([0, 1], [2, 3]), None)
    recipes["CyCenterTransformer"] = lambda data: (
        (0.01 + 0.02j, 1e-6 - 1e-5j, 1.0), 5, ([0, 1], [2, 3, 4]), None)
    recipes["CySingleVoltageRegulator"] = lambda data: (
        (0.02 + 0.04j, 1e-5 - 1e-4j, 230.0, 0.1, 10.0, 0.0), 4, ([0, 1], [2, 3]), None)

    def control(data):
        kind = data.draw(st.sampled_from(["constant", "q_u", "p_max_u_production",
                                          "p_max_u_consumption"]))
        return (kind, 200.0, 210.0, 240.0, 250.0, 100.0, 1e-4), 0, None, None

    def projection(data):
        kind = data.draw(st.sampled_from(["euclidean", "keep_p", "keep_q"]))
        return (kind, 100.0, 1e-6), 0, None, None

    recipes["CyControl"] = control
    recipes["CyProjection"] = projection

    def flexible_parameter(data):
        p = machine.pick_or_make(data, "CyControl")
        q = machine.pick_or_make(data, "CyControl")
        projection_ = machine.pick_or_make(data, "CyProjection")
        keep_q = getattr(projection_, "name", "keep_q") == "keep_q"  # unknown: assume it
        return (p.obj, q.obj, projection_.obj, 5000.0, -3000.0, 3000.0), 0, None, keep_q

    recipes["CyFlexibleParameter"] = flexible_parameter

    def flexible_load(delta):
        def make(data):
            n = small_port_count(data, 0 if delta else 1, 5)
            phases = n if delta else n - 1
            params = [machine.pick_or_make(data, "CyFlexibleParameter") for _ in range(phases)]
            values = complex_values(data, phases, 1000.0)
            entries = np.empty(phases, dtype=object)
            entries[:] = [p.obj for p in params]
            return (n, carray(values), entries), n, None, (values, params)
        return make

    recipes["CyFlexibleLoad"] = flexible_load(False)
    recipes["CyDeltaFlexibleLoad"] = flexible_load(True)
    return {name: make for name, make in recipes.items() if name in PRESENT}


# Which records the update methods rewrite, and how many values get_inner_currents writes.
DELTA = {"CyDeltaPowerLoad", "CyDeltaAdmittanceLoad", "CyDeltaCurrentLoad",
         "CyDeltaFlexibleLoad"}
STAR = {"CyPowerLoad", "CyAdmittanceLoad", "CyCurrentLoad", "CyFlexibleLoad"}
SOURCES = {"CyVoltageSource", "CyDeltaVoltageSource"}
LINES = {"CySimplifiedLine", "CyShuntLine"}
SINGULAR_UPDATES = {"update_power", "update_admittance", "update_current", "update_voltage"}
PLURAL_UPDATES = {"update_powers", "update_admittances", "update_currents", "update_voltages"}


# ---- arguments of every kind, valid and not ----

class Strange:
    """An object that no converter takes, whose truth value fails."""

    def __bool__(self):
        raise ValueError("no truth value")


def draw_int(data, hints, huge=True):
    choice = data.draw(st.integers(0, 11), label="int kind")
    if choice <= 6:
        return data.draw(st.sampled_from(sorted(set(hints) | {-1, 0, 1})))
    if choice == 7:
        return data.draw(st.integers(-3, 8))
    if choice == 8:
        return data.draw(st.sampled_from([2**31, -2**31 - 1, 2**64] +
                                         ([2**31 - 1] if huge else [])))
    if choice == 9:
        return data.draw(st.sampled_from([2.9, -0.5, True, np.int64(2), np.int32(1),
                                          float("nan"), float("inf")]))
    return data.draw(st.sampled_from([None, "2", b"2", 1j, [1], Strange()]))


def draw_real(data):
    choice = data.draw(st.integers(0, 9), label="real kind")
    if choice <= 5:
        return data.draw(st.floats(-1e4, 1e4, allow_nan=False))
    if choice <= 7:
        return data.draw(st.sampled_from([0.0, -0.0, float("nan"), float("inf"), 1e308, 5e-324,
                                          3, np.float64(2.5), True]))
    return data.draw(st.sampled_from([None, "1.0", 1j, [1.0], Strange()]))


def draw_complex(data):
    choice = data.draw(st.integers(0, 9), label="complex kind")
    if choice <= 5:
        return data.draw(st.complex_numbers(max_magnitude=1e4, allow_nan=False))
    if choice <= 7:
        return data.draw(st.sampled_from([0j, 3, 3.0, complex("nan+1j"), complex("inf"),
                                          np.complex128(1 - 1j), np.float32(2)]))
    return data.draw(st.sampled_from([None, "1+1j", [1j], Strange()]))


def make_array(data, dtype, count):
    if dtype == np.int32:
        values = seeded(data).integers(-1, 6, size=count)
    else:
        values = complex_values(data, count, 100.0)
        if dtype != np.complex128:
            values = values.real
    return np.array(values, dtype=dtype)


def draw_array(data, kind, count):
    """An argument for a buffer of `kind` from which the call reads `count` items."""
    dtype = ARRAY_TYPES[kind]
    choice = data.draw(st.integers(0, 21), label="array kind")
    if choice <= 10:
        return make_array(data, dtype, count + data.draw(st.integers(0, 2)))
    if choice <= 12:
        return make_array(data, dtype, max(count - 1, 0)) if count else None
    if choice == 13:
        return None
    if choice == 14:
        return make_array(data, dtype, count).tolist()
    if choice == 15:
        other = {np.complex128: np.float64, np.float64: np.int32}.get(dtype, np.int64)
        return np.zeros(count + 1, dtype=data.draw(st.sampled_from([other, np.complex64,
                                                                     object, np.int8])))
    if choice == 16:
        return make_array(data, dtype, 2 * count + 2).reshape(2, count + 1)
    if choice == 17:
        return make_array(data, dtype, 2 * count + 2)[::2]
    if choice == 18:
        array = make_array(data, dtype, count)
        array.flags.writeable = False
        return array
    if choice == 19:
        return np.zeros(count, dtype=np.dtype(dtype).newbyteorder(">"))
    if choice == 20:
        return bytearray(16 * count + 16)
    return data.draw(st.sampled_from([3, "abc", Strange(), np.float64(1.0)]))


def draw_bool(data):
    return data.draw(st.sampled_from([True, False, None, 0, 1, [], [0], "", Strange()]))


def draw_string(data, name, directory):
    if name == "prefix":
        return data.draw(st.sampled_from([
            os.path.join(directory, "jacobian"), os.path.join(directory, "missing", "jacobian"),
            os.fsencode(os.path.join(directory, "bytes")), None, 3, Strange()]))
    if name == "t":
        return data.draw(st.sampled_from(["constant", "q_u", "p_max_u_production",
                                          "p_max_u_consumption", "euclidean", "keep_p",
                                          "keep_q", "", "bogus", b"constant",
                                          bytearray(b"keep_q"), None, 1, "\udc80"]))
    return data.draw(st.sampled_from(["Y", "D", "y", "d", "z", "YN", "", b"D", bytearray(b"y"),
                                      "\x00", None, 4]))


def drawn_int(value):
    """The int a call converts `value` to, or None when it refuses it."""
    if isinstance(value, (str, bytes, bytearray, complex, list, Strange)) or value is None:
        return None
    try:
        result = int(value)
    except (ValueError, OverflowError, TypeError):
        return None
    return result if -2**31 <= result < 2**31 else None


def drawn_array_size(value, dtype):
    """The item count the call sees in a buffer argument, or None when it refuses it."""
    if value is None:
        return 0
    if not isinstance(value, np.ndarray) or value.ndim != 1 or value.dtype != np.dtype(dtype):
        return None
    if not value.flags.c_contiguous or not value.flags.writeable:
        return None
    return value.size


# ---- the state machine ----

class Misuse(RuleBasedStateMachine):
    directory = None  # set by the test: where save_matrix may write

    def __init__(self):
        super().__init__()
        self.pool = []  # everything the test still holds
        self.everything = []  # every tracked object, alive or not
        self.version = 0  # topology changes so far
        self.recipes = constructor_recipes(self)
        trace("---- new example")

    # ---- bookkeeping ----

    def held(self, kinds):
        return [t for t in self.pool if t.kind in kinds and t.obj is not None]

    def elements(self):
        return [t for t in self.pool if t.ports is not None and t.kind not in NON_ELEMENTS]

    def track(self, kind, obj, ports=0, sides=None):
        tracked = Tracked(kind, obj, ports, sides)
        self.pool.append(tracked)
        self.everything.append(tracked)
        return tracked

    def settle(self):
        """Marks what died with the last dropped reference: the module keeps networks' elements,
        solvers' networks and flexible loads' parameters alive, and nothing else."""
        solvers = {t for t in self.pool if t.kind in SOLVER_KINDS}
        networks = {t for t in self.everything if t.kind == "CyElectricalNetwork" and t.alive and
                    (t in self.pool or any(s.network is t for s in solvers))}
        alive = set(self.pool) | solvers | networks
        for network in networks:
            alive.update(network.elements)
        for tracked in list(alive):
            alive.update(tracked.params)
        for tracked in self.everything:
            if tracked.alive and tracked not in alive:
                self.died(tracked)

    def died(self, tracked):
        tracked.alive = False
        tracked.obj = None
        if tracked.network is not None:  # a solver
            network = tracked.network
            if network.linker is tracked:
                network.linker = None
            for other in self.everything:
                if other.linker is tracked:
                    other.linker = None
            for port_owner in self.everything:
                for port in port_owner.ports or []:
                    if port.node.linker is tracked:
                        port.node.linker = None
            for node in network.nodes:
                if node.linker is tracked:
                    node.linker = None
        elif tracked.ports:
            for port in tracked.ports:
                port.disconnect()
            self.version += 1

    def all_ports(self):
        return [p for t in self.everything if t.alive for p in t.ports or []]

    def call(self, label, function, *args, refusals=REFUSALS, **kwargs):
        """Calls; returns (True, result) or (False, exception) for a refusal of the allowed kinds.
        Any other exception fails the test."""
        trace(f"{label}{args!r:.300}{kwargs or ''}")
        STATS["calls"] += 1
        try:
            result = function(*args, **kwargs)
            STATS["accepted"] += 1
            return True, result
        except refusals as error:
            STATS[f"refused: {type(error).__name__}"] += 1
            # Without its traceback the exception holds no frame, and so no object, alive.
            return False, error.with_traceback(None)

    def refused(self, label, function, *args, kinds=REFUSALS, **kwargs):
        ok, outcome = self.call(label, function, *args, refusals=REFUSALS, **kwargs)
        assert not ok, f"{label} accepted a call beyond its limits, returning {outcome!r}"
        assert isinstance(outcome, kinds), f"{label} refused with {outcome!r}, not {kinds}"

    def pick(self, data, trackeds, label="pick"):
        return trackeds[data.draw(st.integers(0, len(trackeds) - 1), label=label)]

    def pick_or_make(self, data, kind):
        existing = self.held({kind})
        if existing and data.draw(st.booleans(), label="reuse " + kind):
            return self.pick(data, existing)
        return self.construct(data, kind)

    def construct(self, data, kind):
        args, ports, sides, values = self.recipes[kind](data)
        cls = PRESENT[kind]
        if data.draw(st.integers(0, 9), label="subclass") == 0:
            cls = type("Derived" + kind, (cls,), {})  # with a __dict__ and weak references
        ok, obj = self.call(kind, cls, *args)
        assert ok, f"{kind}{args!r} refused a valid construction: {obj!r}"
        tracked = self.track(kind, obj, ports, sides)
        if kind in FLEXIBLE_LOADS:
            values, tracked.params = values
        elif kind == "CyFlexibleParameter":
            tracked.keep_q, values = values, None
        elif kind == "CyProjection":
            tracked.name = args[0]
        tracked.values = None if values is None else carray(values)
        tracked.record_count = 0 if values is None else len(values)
        if kind in LINES:
            tracked.record_count = args[0] * args[0]
        tracked.inner = tracked.record_count if kind in STAR | DELTA else 0
        if kind == "CyLoadBalancer":
            tracked.inner = 3
        if kind == "CyPotentialRef":
            tracked.ports[0].node.fixed = True
        if kind == "CySingleVoltageRegulator":
            merge(tracked.ports[1].node, tracked.ports[3].node)
        return tracked

    # ---- building ----

    @initialize(data=st.data())
    def start_with_a_feeder(self, data):
        self.feeder(data)

    @rule(data=st.data())
    def build_feeder(self, data):
        self.feeder(data)

    def feeder(self, data):
        """A radial four-wire feeder from the classes present, built the valid way, solved."""
        if not has("CyVoltageSource", "CyPotentialRef", "CyBus", "CyElectricalNetwork"):
            return
        built = []

        def new(kind, *args):
            ok, obj = self.call(kind, PRESENT[kind], *args)
            assert ok, f"{kind} refused a valid construction: {obj!r}"
            recipe_ports = {"CyGround": 1, "CyPotentialRef": 1}.get(kind)
            n = recipe_ports or self.feeder_ports(kind, args)
            tracked = self.track(kind, obj, n, self.feeder_sides(kind, args))
            if kind == "CyPotentialRef":
                tracked.ports[0].node.fixed = True
            if kind == "CySingleVoltageRegulator":
                merge(tracked.ports[1].node, tracked.ports[3].node)
            if kind in STAR | DELTA | SOURCES:
                values = args[1]
                tracked.values = carray(values if values is not None else [])
                tracked.record_count = len(tracked.values)
                tracked.inner = tracked.record_count if kind in STAR | DELTA else 0
            if kind in LINES:
                tracked.record_count = args[0] ** 2
            built.append(tracked)
            return tracked

        def join(a, b, pairs):
            self.topology(a, "connect", (b.obj, pairs), b)

        def join_side(branch, element, pairs, beginning):
            self.topology(branch, "connect_side", (element.obj, pairs, beginning), element)

        source = new("CyVoltageSource", 4, carray(PHASES))
        bus = new("CyBus", 4, carray(np.append(PHASES, 0)))
        join(bus, source, [(i, i) for i in range(4)])
        join(new("CyPotentialRef"), bus, [(0, 3)])
        for _ in range(data.draw(st.integers(1, 3), label="segments")):
            bus = self.feeder_segment(data, new, join, join_side, bus)
            self.feeder_loads(data, new, join, bus)
        if has("CyDeltaVoltageSource", "CyDeltaPotentialRef") and data.draw(st.booleans()):
            delta = new("CyDeltaVoltageSource", 3, carray([400, 400 * A]))
            join(new("CyDeltaPotentialRef", 3), delta, [(i, i) for i in range(3)])
            if has("CyDeltaPowerLoad"):
                join(delta, new("CyDeltaPowerLoad", 3, carray([1000, 500j, 200])),
                     [(i, i) for i in range(3)])

        order = list(built)
        if data.draw(st.booleans(), label="shuffle"):
            seeded(data).shuffle(order)
        network = self.network_of(order, len(order))
        if network is None or not has("CyNewton"):
            return
        solver = self.solver_on(data, network, "CyNewton", (network.obj, False))
        if solver is not None:
            self.solve_and_check(solver, 30, 1e-8)

    @staticmethod
    def feeder_ports(kind, args):
        if kind in ("CySwitch", "CyOpenSwitch", "CySimplifiedLine"):
            return 2 * args[0]
        if kind == "CyShuntLine":
            return 2 * args[0] + 1
        if kind == "CyThreePhaseTransformer":
            return args[0] + args[1]
        if kind in ("CySingleTransformer", "CySingleVoltageRegulator", "CyLoadBalancer"):
            return 4
        if kind == "CyCenterTransformer":
            return 5
        return args[0]

    @staticmethod
    def feeder_sides(kind, args):
        if kind in ("CySwitch", "CyOpenSwitch", "CySimplifiedLine", "CyShuntLine"):
            n = args[0]
            return (list(range(n)), list(range(n, 2 * n)))
        if kind == "CyThreePhaseTransformer":
            return (list(range(args[0])), list(range(args[0], args[0] + args[1])))
        if kind in ("CySingleTransformer", "CySingleVoltageRegulator"):
            return ([0, 1], [2, 3])
        if kind == "CyCenterTransformer":
            return ([0, 1], [2, 3, 4])
        return None

    def feeder_segment(self, data, new, join, join_side, upstream):
        """A branch from `upstream` to a new bus; returns the new four-wire bus, or `upstream`
        itself when the branch leads to a single-phase bus of its own."""
        four_wire = [k for k in ("CySwitch", "CySimplifiedLine", "CyShuntLine",
                                 "CyThreePhaseTransformer") if has(k)]
        single = [k for k in ("CySingleTransformer", "CyCenterTransformer",
                              "CySingleVoltageRegulator") if has(k)]
        kind = data.draw(st.sampled_from(four_wire + single), label="branch")
        start = carray(np.append(PHASES, 0) * 0.95)
        if kind in single:
            args = {"CySingleTransformer": (0.01 + 0.02j, 1e-6 - 1e-5j, 1.0),
                    "CyCenterTransformer": (0.01 + 0.02j, 1e-6 - 1e-5j, 1.0),
                    "CySingleVoltageRegulator": (0.02 + 0.04j, 1e-5 - 1e-4j, 230.0, 0.1,
                                                 10.0, 0.0)}[kind]
            branch = new(kind, *args)
            join_side(branch, upstream, [(0, 0), (1, 3)], True)
            n2 = 3 if kind == "CyCenterTransformer" else 2
            downstream = new("CyBus", n2, carray([230, -230, 0][-n2:] if n2 == 3 else [230, 0]))
            join_side(branch, downstream, [(i, i) for i in range(n2)], False)
            if kind != "CySingleVoltageRegulator":
                join(new("CyPotentialRef"), downstream, [(0, n2 - 1)])
            if has("CyPowerLoad"):
                join(downstream, new("CyPowerLoad", n2, carray([800 + 100j, 500][:n2 - 1])),
                     [(i, i) for i in range(n2)])
            return upstream
        if kind == "CySwitch":
            branch = new(kind, 4)
        elif kind == "CySimplifiedLine":
            branch = new(kind, 4, line_matrix(4))
        elif kind == "CyShuntLine":
            branch = new(kind, 4, line_matrix(4, 1e-6j, 0), line_matrix(4))
            ground = new("CyGround") if has("CyGround") else None
            if ground is not None:
                join(ground, branch, [(0, 8)])
                join(new("CyPotentialRef"), ground, [(0, 0)])
        else:
            dyn = data.draw(st.booleans(), label="Dyn11")
            args = (3, 4, "D", "y", 0.01 + 0.02j, 1e-6 - 1e-5j, 230 / 400, 11) if dyn else \
                (4, 4, "Y", "y", 0.01 + 0.02j, 1e-6 - 1e-5j, 1.0, 0)
            branch = new(kind, *args)
            n1 = args[0]
            join_side(branch, upstream, [(i, i) for i in range(n1)], True)
            downstream = new("CyBus", 4, start)
            join_side(branch, downstream, [(i, i) for i in range(4)], False)
            join(new("CyPotentialRef"), downstream, [(0, 3)])
            return downstream
        join_side(branch, upstream, [(i, i) for i in range(4)], True)
        downstream = new("CyBus", 4, start)
        join_side(branch, downstream, [(i, i) for i in range(4)], False)
        return downstream

    def feeder_loads(self, data, new, join, bus):
        star = {"CyPowerLoad": [1000 + 200j, 2000 - 300j, 500j], "CyAdmittanceLoad":
                [0.02, 0.01 - 0.005j, 0.015], "CyCurrentLoad": [4, 2 + 1j, 3j]}
        delta = {"CyDeltaPowerLoad": [3000, 1000 + 100j, 2000 - 500j],
                 "CyDeltaAdmittanceLoad": [0.01, 0.005j, 0.008], "CyDeltaCurrentLoad": [2, 1, 1j]}
        kinds = [k for k in list(star) + list(delta) + ["CyLoadBalancer", "CyFlexibleLoad",
                                                        "CyDeltaFlexibleLoad"] if has(k)]
        chosen = data.draw(st.lists(st.sampled_from(kinds), max_size=3), label="loads") \
            if kinds else []
        for kind in chosen:
            if kind in star:
                join(bus, new(kind, 4, carray(star[kind])), [(i, i) for i in range(4)])
            elif kind in delta:
                join(bus, new(kind, 3, carray(delta[kind])), [(i, i) for i in range(3)])
            elif kind == "CyLoadBalancer":
                join(bus, new(kind, 8 + 4j, 0.05 - 0.08j, 0.9), [(i, i) for i in range(4)])
            else:
                phases = 3
                n = 4 if kind == "CyFlexibleLoad" else 3
                parameter = self.construct(data, "CyFlexibleParameter")
                entries = np.empty(phases, dtype=object)
                entries[:] = [parameter.obj] * phases
                load = new(kind, n, carray([1000, 800 + 100j, 500]), entries)
                load.params = [parameter] * phases
                join(bus, load, [(i, i) for i in range(n)])

    @rule(data=st.data())
    def create(self, data):
        """A valid object of any class present, or a call of any class with a broken argument."""
        kinds = sorted(set(self.recipes) | set(BASES) & set(PRESENT))
        kind = data.draw(st.sampled_from(kinds), label="class")
        if kind in BASES:
            args = data.draw(st.lists(st.integers(), max_size=3))
            ok, obj = self.call(kind, PRESENT[kind], *args, extra=1)
            assert ok, f"the base class {kind} refused to be called: {obj!r}"
            self.track(kind, obj)
            return
        if data.draw(st.integers(0, 3), label="broken?") > 0:
            self.construct(data, kind)
            return
        args = list(self.recipes[kind](data)[0])
        how = data.draw(st.integers(0, 4), label="breakage")
        if how == 0 and args:
            args.pop(data.draw(st.integers(0, len(args) - 1)))
        elif how == 1:
            args.append(data.draw(st.integers()))
        elif how == 2 and args:
            i = data.draw(st.integers(0, len(args) - 1))
            args[i] = data.draw(st.sampled_from([None, -1, -2**31, 2**31 - 1, "x", Strange(),
                                                 np.zeros(1), 1j, float("nan")]))
        elif how == 3 and args and isinstance(args[-1], np.ndarray):
            args[-1] = args[-1][:max(args[-1].size - 1, 0)] if args[-1].size else None
        ok, obj = self.call(kind, PRESENT[kind], *args, refusals=HUGE_REFUSALS)
        if ok:  # a broken argument the class takes as valid (a count still in range, ...)
            self.track(kind, obj)  # no ports known: used as a foreign object only
            self.pool[-1].ports = None

    # ---- topology, predicted by the mirror ----

    def topology(self, tracked, method, args, other=None, keywords=False):
        """Runs connect, connect_side, connect_ports or disconnect, predicting the outcome from
        the mirror; returns False, making no call, for an object whose ports it does not know."""
        plan = self.plan_topology(tracked, method, args, other)
        if plan is None:
            return False
        expected, merges, leaving = plan
        self.version += 1
        names = [name for _, name in METHODS[tracked.kind][method]]
        if keywords:
            ok, outcome = self.call(f"{tracked}.{method}", getattr(tracked.obj, method),
                                    **dict(zip(names, args)))
        else:
            ok, outcome = self.call(f"{tracked}.{method}", getattr(tracked.obj, method), *args)
        if expected is None:
            assert ok and outcome is None, f"{method} refused a valid join: {outcome!r}"
        else:
            assert not ok and isinstance(outcome, expected), \
                f"{method} gave {outcome!r} where {expected} was due"
        for survivor, absorbed in merges:
            merge(survivor.node, absorbed.node)
        for port in leaving:
            port.disconnect()
        return True

    def plan_topology(self, tracked, method, args, other):
        """(exception expected or None, merges the engine makes, ports that leave their node)."""
        if tracked.obj is None or tracked.ports is None or \
                (other is not None and other.ports is None):
            return None
        if tracked.kind in BASES:
            return TypeError, [], []
        if method == "disconnect":
            return None if args else (None, [], list(tracked.ports))
        if method == "connect_ports":
            size = drawn_array_size(args[0], np.int32)
            if size is None:
                return (TypeError, ValueError, BufferError), [], []
            indices = [int(i) for i in (args[0] if args[0] is not None else [])]
            if not indices:
                return None, [], []
            steps = [(indices[0], i) for i in indices[1:]] if len(indices) > 1 else []
            n = len(tracked.ports)
            if not 0 <= indices[0] < n:
                return IndexError, [], []
            merges = []
            for first, i in steps:
                if not 0 <= i < n:
                    return IndexError, merges, []
                merges.append((tracked.ports[first], tracked.ports[i]))
            return None, merges, []
        # connect(other, pairs) or connect_side(other, pairs, beginning)
        if method == "connect_side":
            if isinstance(args[2], Strange):
                return ValueError, [], []
            side = tracked.sides[0] if args[2] else tracked.sides[1]
        if other is None or other.obj is None or other.kind in BASES:
            return TypeError, [], []
        pairs = self.pairs_of(args[1])
        if pairs is None:
            return (TypeError, ValueError, OverflowError), [], []
        merges = []
        for i, j in pairs:
            if method == "connect":
                if not 0 <= i < len(tracked.ports) or not 0 <= j < len(other.ports):
                    return IndexError, merges, []
                merges.append((tracked.ports[i], other.ports[j]))
            else:
                if not 0 <= i < len(side) or not 0 <= j < len(other.ports):
                    return IndexError, merges, []
                merges.append((other.ports[j], tracked.ports[side[i]]))
        return None, merges, []

    @staticmethod
    def pairs_of(connections):
        """The pairs a join converts `connections` into, or None when it refuses them."""
        if not isinstance(connections, (list, tuple)):
            return None
        pairs = []
        for item in connections:
            if not isinstance(item, (list, tuple)) or len(item) != 2:
                return None
            i, j = drawn_int(item[0]), drawn_int(item[1])
            if i is None or j is None:
                return None
            pairs.append((i, j))
        return pairs

    def draw_pairs(self, data, n_self, n_other):
        def index(n):
            return data.draw(st.integers(-1, n) if n else st.integers(-1, 1))

        pairs = [(index(n_self), index(n_other))
                 for _ in range(data.draw(st.integers(0, 4), label="pairs"))]
        shape = data.draw(st.integers(0, 9), label="pairs shape")
        if shape == 0:
            return tuple(list(p) for p in pairs)
        if shape == 1 and pairs:
            return pairs[:-1] + [data.draw(st.sampled_from([(0,), (0, 1, 2), ("a", 0), 5,
                                                            (2**31, 0), (0.7, 0)]))]
        if shape == 2:
            return data.draw(st.sampled_from([None, 5, "ab", Strange()]))
        return pairs

    @rule(data=st.data())
    def join_elements(self, data):
        elements = [t for t in self.elements()]
        if not elements:
            return
        tracked = self.pick(data, elements)
        other = self.pick(data, elements + self.held(BASES) or elements)
        nothing = data.draw(st.integers(0, 9), label="other kind") == 0
        other_obj = data.draw(st.sampled_from([None, 3, ce])) if nothing else other.obj
        keywords = data.draw(st.booleans(), label="keywords")
        branch = tracked.sides is not None and data.draw(st.booleans(), label="side")
        if branch:
            beginning = draw_bool(data)
            side = tracked.sides[0] if not isinstance(beginning, Strange) and beginning else \
                tracked.sides[1]
            pairs = self.draw_pairs(data, len(side), len(other.ports or []))
            self.topology(tracked, "connect_side", (other_obj, pairs, beginning),
                          None if nothing else other, keywords)
        else:
            pairs = self.draw_pairs(data, len(tracked.ports), len(other.ports or []))
            self.topology(tracked, "connect", (other_obj, pairs), None if nothing else other,
                          keywords)

    @rule(data=st.data())
    def join_own_ports(self, data):
        elements = [t for t in self.elements() if t.ports]
        if not elements:
            return
        tracked = self.pick(data, elements)
        n = len(tracked.ports)
        choice = data.draw(st.integers(0, 5), label="ports kind")
        if choice <= 3:
            ports = np.array(data.draw(st.lists(st.integers(-1, n), max_size=4)), dtype=np.int32)
        else:
            ports = draw_array(data, "int[::1]", 2)
        self.topology(tracked, "connect_ports", (ports,))

    @rule(data=st.data())
    def disconnect(self, data):
        elements = [t for t in self.elements() if t.ports]
        if elements:
            self.topology(self.pick(data, elements), "disconnect", ())

    @rule(data=st.data())
    def join_reference(self, data):
        """Joins a port to a node held at zero, or to a ground, maybe after a solver linked it."""
        elements = [t for t in self.elements() if t.ports and t.kind not in BASES]
        kinds = [k for k in ("CyPotentialRef", "CyGround") if k in self.recipes]
        if not elements or not kinds:
            return
        tracked = self.pick(data, elements)
        kind = data.draw(st.sampled_from(kinds))
        existing = self.held({kind})
        other = self.pick(data, existing) if existing and data.draw(st.booleans()) else \
            self.construct(data, kind)
        pair = [(data.draw(st.integers(0, len(tracked.ports) - 1)), 0)]
        if data.draw(st.booleans(), label="reference survives"):
            self.topology(other, "connect", (tracked.obj, [(0, pair[0][0])]), tracked)
        else:
            self.topology(tracked, "connect", (other.obj, pair), other)

    @rule(data=st.data())
    def read_everything(self, data):
        """Reads every potential and current of an element, as a host does after a solve."""
        elements = [t for t in self.elements() if t.ports and t.kind not in BASES]
        if not elements:
            return
        t = self.pick(data, elements)
        n = len(t.ports)
        for name in ("get_potentials", "get_currents"):
            ok, values = self.call(f"{t}.{name}", getattr(t.obj, name), n)
            assert ok and values.shape == (n,), values
        if t.sides is not None:
            ok, values = self.call(f"{t}.get_side_potentials", t.obj.get_side_potentials,
                                   len(t.sides[0]), len(t.sides[1]))
            assert ok, values
        if t.inner:
            ok, values = self.call(f"{t}.get_inner_currents", t.obj.get_inner_currents, t.inner)
            # A delta flexible load applies its laws here, which may not suit their component.
            assert ok and values.shape == (t.inner,) or "control type" in str(values), values

    # ---- networks and solvers ----

    def network_of(self, trackeds, count, entries=None):
        """Builds a network of the first `count` of `trackeds`; the mirror takes its snapshot."""
        if entries is None:
            entries = np.empty(len(trackeds), dtype=object)
            entries[:] = [t.obj for t in trackeds]
        ok, obj = self.call("CyElectricalNetwork", PRESENT["CyElectricalNetwork"], entries, count)
        if not ok:
            return None
        network = self.track("CyElectricalNetwork", obj)
        network.elements = list(trackeds[:count])
        seen = set()
        for element in network.elements:
            for port in element.ports or []:
                if id(port.node) not in seen:
                    seen.add(id(port.node))
                    network.nodes.append(port.node)
        network.version = self.version
        return network

    @rule(data=st.data())
    def build_network(self, data):
        elements = [t for t in self.elements() if t.ports is not None]
        chosen = data.draw(st.lists(st.sampled_from(elements), max_size=8), label="elements") \
            if elements else []
        count = len(chosen)
        choice = data.draw(st.integers(0, 9), label="network kind")
        if choice <= 5:
            network = self.network_of(chosen, count)
            bare = any(t.kind in BASES for t in chosen)
            assert (network is None) == bare, "a network of valid elements was refused"
            return
        entries = np.empty(count + 1, dtype=object)
        entries[:count] = [t.obj for t in chosen]
        entries[count] = data.draw(st.sampled_from([None, 3, ce.CyBus]))
        bare = self.held({"CyElement", "CyBranch", "CyLoad", "CyTransformer"})
        if choice == 6:
            self.refused("CyElectricalNetwork", PRESENT["CyElectricalNetwork"], entries, count + 1,
                         kinds=TypeError)
        elif choice == 7 and bare:
            entries[count] = self.pick(data, bare).obj
            self.refused("CyElectricalNetwork", PRESENT["CyElectricalNetwork"], entries, count + 1,
                         kinds=TypeError)
        elif choice == 8:
            self.refused("CyElectricalNetwork", PRESENT["CyElectricalNetwork"], entries, count + 2,
                         kinds=ValueError)
            self.refused("CyElectricalNetwork", PRESENT["CyElectricalNetwork"], entries, -1,
                         kinds=RuntimeError)
        else:
            self.refused("CyElectricalNetwork", PRESENT["CyElectricalNetwork"],
                         [t.obj for t in chosen], count, kinds=TypeError)
            self.network_of(chosen, count, entries)  # the extra entry is not read

    def solver_on(self, data, network, kind, args, valid=True):
        ok, obj = self.call(kind, PRESENT[kind], *args)
        if not ok:
            if valid:  # failed while recording: linked, then unlinked again
                assert isinstance(obj, RuntimeError), f"{kind} failed with {obj!r}"
                self.relink(network, None)
            return None
        solver = self.track(kind, obj)
        solver.ports = []
        solver.network = network
        solver.version = self.version
        solver.signs = self.keep_q_signs(network)
        self.relink(network, solver)
        return solver

    @staticmethod
    def keep_q_signs(network):
        """The sign of each requested active power that a "keep_q" projection follows."""
        signs = []
        for load in network.elements:
            for phase, parameter in enumerate(load.params):
                if getattr(parameter, "keep_q", True):
                    if load.values is None:
                        return None
                    signs.append((id(load), phase, load.values[phase].real >= 0))
        return signs

    def relink(self, network, solver):
        network.linker = solver
        for node in network.nodes:
            node.linker = solver
        for element in network.elements:
            element.linker = solver
            for parameter in element.params:
                parameter.linker = solver

    @rule(data=st.data())
    def build_solver(self, data):
        networks = self.held({"CyElectricalNetwork"})
        if not networks or not SOLVER_CLASSES:
            return
        network = self.pick(data, networks)
        kind = data.draw(st.sampled_from(SOLVER_CLASSES), label="solver")
        arguments = {"CyNewton": [network.obj, data.draw(st.sampled_from([False, True, 0, 1]))],
                     "CyNewtonGoldstein": [network.obj, False, 0.1, 0.9],
                     "CyBackwardForward": [network.obj]}[kind]
        if data.draw(st.integers(0, 4), label="bad solver args") == 0:
            i = data.draw(st.integers(0, len(arguments) - 1))
            if i == 0:
                bare = self.held({"CyAbstractSolver", "CyAbstractNewton", "CyElement"})
                wrong = [None, "network", Strange()] + [b.obj for b in bare]
            elif i == 1:
                wrong = [Strange()]  # a bool takes anything else
            else:
                wrong = [None, "0.1", 1j, Strange()]
            arguments[i] = data.draw(st.sampled_from(wrong))
            self.refused(kind, PRESENT[kind], *arguments)
            return
        self.solver_on(data, network, kind, arguments)

    def solve_and_check(self, solver, iterations, tolerance):
        ok, outcome = self.call(f"{solver}.solve_load_flow", solver.obj.solve_load_flow,
                                iterations, tolerance)
        if not ok:
            assert isinstance(outcome, RuntimeError), outcome
            assert str(outcome)[:2] in ("1 ", "2 ") or "control type" in str(outcome), outcome
            return
        count, residual = outcome
        assert type(count) is int and type(residual) is float
        low = 1 if solver.kind == "CyBackwardForward" else 0
        assert low <= count <= max(iterations, low)
        if solver.kind != "CyBackwardForward" and residual <= min(tolerance, 1e-6):
            self.check_physics(solver)

    @rule(data=st.data())
    def solve(self, data):
        solvers = self.held(SOLVER_KINDS - set(BASES))
        if not solvers:
            return
        solver = self.pick(data, solvers)
        iterations = data.draw(st.sampled_from([0, 1, 5, 30, -1]), label="iterations")
        tolerance = data.draw(st.sampled_from([1e-8, 1e-6, 1e-3, 0.0, -1.0, float("nan"),
                                               float("inf")]), label="tolerance")
        self.solve_and_check(solver, iterations, tolerance)

    # ---- physics after a converged solve ----

    def check_physics(self, solver):
        network = solver.network
        if not (self.version == network.version == solver.version and network.linker is solver):
            return
        members = set(network.elements)
        if not all(t.linker is solver and t.obj is not None for t in members) or \
                any(p.linker is not solver for t in members for p in t.params):
            return
        if any(n.linker is not solver for n in network.nodes if not n.fixed):
            return
        # By design the tape keeps the sign that "keep_q" took from the requested active power
        # when it was recorded: after a change of sign a solve converges on the old one, while
        # the currents read back follow the new one.
        signs = self.keep_q_signs(network)
        if signs is None or signs != solver.signs:
            return
        STATS["converged solves checked"] += 1
        for node in network.nodes:
            owners = {p.owner for p in node.ports}
            if node.fixed or not owners <= members:
                continue
            currents = [p.owner.obj.get_port_current(p.index) for p in node.ports]
            scale = max([abs(i) for i in currents] + [1.0])
            assert np.all(np.isfinite(currents))
            assert abs(sum(currents)) <= 1e-6 + 1e-9 * scale, \
                f"Kirchhoff's law fails at a node of {sorted(map(repr, owners))}: {currents}"
        for tracked in members:
            self.check_law(tracked)

    def check_law(self, t):
        n = len(t.ports)
        v = t.obj.get_potentials(n)
        i = t.obj.get_currents(n)
        assert np.all(np.isfinite(v)) and np.all(np.isfinite(i)), f"{t}: {v}, {i}"
        close = dict(rtol=1e-6, atol=1e-6)
        if t.kind == "CyPotentialRef":
            assert v[0] == 0
        if t.kind == "CySwitch":
            half = len(t.sides[0])
            np.testing.assert_allclose(v[:half], v[half:], **close)
            np.testing.assert_allclose(i[:half], -i[half:], **close)
        if t.values is None:
            return
        if t.kind == "CyVoltageSource":
            np.testing.assert_allclose(v[:-1] - v[-1], t.values, **close)
        elif t.kind == "CyDeltaVoltageSource":
            np.testing.assert_allclose(v[:-1] - v[1:], t.values, **close)
        elif t.kind in ("CyPowerLoad", "CyAdmittanceLoad", "CyCurrentLoad"):
            dv, phase = v[:-1] - v[-1], i[:-1]
            np.testing.assert_allclose(i[-1], -phase.sum(), **close)
            np.testing.assert_allclose(t.obj.get_inner_currents(n - 1), phase, **close)
            self.check_branch_law(t.kind, dv, phase, t.values)
        elif t.kind in ("CyDeltaPowerLoad", "CyDeltaAdmittanceLoad", "CyDeltaCurrentLoad"):
            dv, branch = v - np.roll(v, -1), t.obj.get_inner_currents(n)
            np.testing.assert_allclose(i, branch - np.roll(branch, 1), **close)
            self.check_branch_law(t.kind, dv, branch, t.values)

    @staticmethod
    def check_branch_law(kind, dv, current, values):
        keep = np.abs(dv) > 1e-3
        dv, current, values = dv[keep], current[keep], values[keep]
        if "Power" in kind:
            np.testing.assert_allclose(dv * np.conj(current), values, rtol=1e-6, atol=1e-6)
        elif "Admittance" in kind:
            np.testing.assert_allclose(current, values * dv, rtol=1e-6, atol=1e-9)
        else:
            np.testing.assert_allclose(current * np.abs(dv), values * dv, rtol=1e-6, atol=1e-6)

    # ---- any method, any argument ----

    def draw_argument(self, data, tracked, kind, name):
        n = len(tracked.ports or [])
        hints = [n, n - 1, n + 1, len((tracked.sides or [[]])[0])]
        if kind == "int":
            size = name in ("n", "n1", "n2", "size", "max_iterations")
            return draw_int(data, hints, huge=not size)
        if kind == "double":
            return draw_real(data)
        if kind == "double complex":
            return draw_complex(data)
        if kind == "bool":
            return draw_bool(data)
        if kind == "string":
            return draw_string(data, name, self.directory)
        if kind in ARRAY_TYPES:
            count = tracked.record_count or n
            if kind == "double[::1]":
                count = len(tracked.obj.get_variables()) if tracked.kind not in BASES else 0
            return draw_array(data, kind, count)
        if kind in PRESENT:  # a typed argument
            candidates = [t.obj for t in self.pool if t.obj is not None and
                          isinstance(t.obj, PRESENT[kind])]
            others = [None, 1.5, "x", ce, Strange()] + [t.obj for t in self.pool[:3]]
            return data.draw(st.sampled_from(candidates + others if candidates else others))
        return data.draw(st.sampled_from([None, [(0, 0)], 3, Strange()]))

    @rule(data=st.data())
    def call_any_method(self, data):
        objects = [t for t in self.pool if t.obj is not None]
        if not objects:
            return
        tracked = self.pick(data, objects, "object")
        methods = METHODS.get(tracked.kind) or methods_of(type(tracked.obj))
        if not methods:
            return
        name = data.draw(st.sampled_from(sorted(methods)), label="method")
        if name in TOPOLOGY and tracked.kind not in BASES:
            return  # through the mirror: join_elements, join_own_ports, disconnect
        arguments = [self.draw_argument(data, tracked, kind, arg) for kind, arg in methods[name]]
        style = data.draw(st.integers(0, 9), label="call style")
        function = getattr(tracked.obj, name)
        label = f"{tracked}.{name}"
        if style == 0:  # keywords
            ok, result = self.call(label, function,
                                   **{arg: v for (_, arg), v in zip(methods[name], arguments)})
        elif style == 1:  # one argument too many or too few, or a stray keyword
            variant = data.draw(st.integers(0, 2))
            if variant == 0:
                self.refused(label, function, *arguments, None, kinds=TypeError)
            elif variant == 1 and arguments:
                self.refused(label, function, *arguments[:-1], kinds=TypeError)
            else:
                self.refused(label, function, *arguments, bogus=1, kinds=TypeError)
            return
        else:
            ok, result = self.call(label, function, *arguments)
        if tracked.kind in BASES and name not in ("__reduce__", "__setstate__"):
            assert not ok and isinstance(result, TypeError), f"{label} on a bare instance"
            return
        if ok:
            self.check_result(tracked, name, arguments, result)

    def check_result(self, t, name, arguments, result):
        """The result of a call that succeeded: of the right kind and size, and what it changed
        is what the mirror now knows."""
        sizes = [drawn_int(a) for a in arguments]
        if t.ports is None:  # built from a broken argument list: counts unknown
            return
        if name in ("get_potentials", "get_currents", "get_inner_currents"):
            assert result.dtype == np.complex128 and result.shape == (sizes[0],)
            if name != "get_inner_currents":
                assert sizes[0] <= len(t.ports)
            else:
                assert sizes[0] >= t.inner
        elif name in ("get_side_potentials", "get_side_currents"):
            assert [r.shape for r in result] == [(sizes[0],), (sizes[1],)]
            assert sizes[0] <= len(t.sides[0]) and sizes[1] <= len(t.sides[1])
        elif name in ("get_port_potential", "get_port_current"):
            assert type(result) is complex and 0 <= sizes[0] < len(t.ports)
        elif name == "get_powers":
            phases = sizes[0] if t.kind in DELTA else sizes[0] - 1
            assert result.shape == (phases,) and sizes[0] >= len(t.ports)
        elif name in ("get_current", "compute_power"):
            assert type(result) is complex
        elif name in ("get_tap", "compute_tap"):
            assert type(result) is float
        elif name.startswith("compute_") and name.endswith("_parameters"):
            assert type(result) is tuple and [type(r) for r in result] == [float, float]
        elif name == "solve_load_flow":
            assert type(result) is tuple and type(result[0]) is int
        elif name in ("get_variables", "get_residuals"):
            assert result.dtype == np.float64 and result.ndim == 1
        elif name == "get_jacobian":
            assert result.dtype == np.float64 and result.shape == (result.shape[0],) * 2
        elif name == "analyse_jacobian":
            count = len(t.network.elements) if t.network else 0
            for positions in result:
                assert positions == sorted(set(positions))
                assert all(0 <= p < count for p in positions)
        else:
            assert result is None, f"{t}.{name} returned {result!r}"
        if name in PLURAL_UPDATES | SINGULAR_UPDATES | {"update_line_parameters",
                                                         "update_single_line_parameters"}:
            self.record_update(t, name, arguments)
        if name == "initialize_potentials":
            assert drawn_array_size(arguments[0], np.complex128) >= len(t.ports)
        if name == "set_variables":
            assert drawn_array_size(arguments[0], np.float64) >= len(t.obj.get_variables())

    def record_update(self, t, name, arguments):
        if name in SINGULAR_UPDATES:
            assert t.record_count <= 1, f"{t}.{name} took one value for several records"
            if t.values is not None and t.record_count == 1:
                t.values = carray([complex(arguments[0])])
        elif name in PLURAL_UPDATES:
            size = drawn_array_size(arguments[0], np.complex128)
            assert size is not None and size >= t.record_count
            if t.values is not None:
                t.values = arguments[0][:t.record_count].copy()
        elif name == "update_line_parameters":
            for argument in arguments:
                assert drawn_array_size(argument, np.complex128) >= t.record_count
        elif name == "update_single_line_parameters":
            assert t.record_count == 1, f"{t}.{name} took one value for a matrix"


    # ---- calls the test knows to be beyond a limit ----

    @rule(data=st.data())
    def beyond_limits(self, data):
        objects = [t for t in self.pool if t.obj is not None and t.ports is not None]
        if not objects:
            return
        t = self.pick(data, objects, "object")
        methods = METHODS.get(t.kind, {})
        n = len(t.ports)
        label = f"{t}"
        checks = []
        if "get_potentials" in methods and t.kind not in BASES:
            checks += [("get_potentials", (n + 1,), IndexError),
                       ("get_currents", (n + data.draw(st.integers(1, 3)),), IndexError),
                       ("get_port_potential", (n,), IndexError),
                       ("get_port_current", (-1,), IndexError),
                       ("get_port_potential", (2**31,), OverflowError),
                       ("get_potentials", (-1,), ValueError)]
        if t.sides is not None:
            checks += [("get_side_potentials", (len(t.sides[0]) + 1, 0), IndexError),
                       ("get_side_currents", (0, len(t.sides[1]) + 1), IndexError)]
        if t.inner:
            checks.append(("get_inner_currents", (t.inner - 1,), ValueError))
        if t.kind == "CyBus" and n:
            checks.append(("initialize_potentials", (carray(np.zeros(n - 1)),), ValueError))
        for update in PLURAL_UPDATES & set(methods):
            if t.record_count:
                short = carray(np.zeros(t.record_count - 1))
                checks += [(update, (short,), ValueError), (update, (None,), ValueError)]
        for update in SINGULAR_UPDATES & set(methods):
            if t.record_count >= 2:
                checks.append((update, (1 + 1j,), ValueError))
        if t.kind in LINES:
            short = carray(np.zeros(t.record_count - 1))
            full = carray(np.zeros(t.record_count))
            args = (short,) if t.kind == "CySimplifiedLine" else \
                data.draw(st.sampled_from([(short, full), (full, short)]))
            checks.append(("update_line_parameters", args, ValueError))
            if t.record_count > 1:
                single = (1j,) if t.kind == "CySimplifiedLine" else (1j, 1j)
                checks.append(("update_single_line_parameters", single, ValueError))
        if "get_powers" in methods:
            checks.append(("get_powers", (n - 1,), ValueError))
        if t.kind in SOLVER_KINDS and t.kind not in BASES:
            size = len(t.obj.get_variables())
            if size:
                checks.append(("set_variables", (np.zeros(size - 1),), ValueError))
        if t.kind in BASES:
            checks += [(name, (None,) * len(args), TypeError) for name, args in methods.items()
                       if not name.startswith("__")]
        if not checks:
            return
        name, args, kinds = self.pick(data, checks, "limit")
        self.refused(f"{label}.{name}", getattr(t.obj, name), *args, kinds=kinds)

    @rule(data=st.data())
    def valid_update(self, data):
        """An update with exactly the values each record takes, before or after solves."""
        objects = [t for t in self.pool if t.obj is not None and t.values is not None]
        if not objects:
            return
        t = self.pick(data, objects, "object")
        plural = [m for m in METHODS[t.kind] if m in PLURAL_UPDATES]
        if not plural:
            return
        values = carray(complex_values(data, t.record_count,
                                       float(np.abs(t.values).max(initial=1.0))))
        ok, outcome = self.call(f"{t}.{plural[0]}", getattr(t.obj, plural[0]), values)
        assert ok, outcome
        t.values = values

    # ---- what remains ----

    @rule(data=st.data())
    def refuse_pickling(self, data):
        objects = [t for t in self.pool if t.obj is not None]
        if not objects:
            return
        t = self.pick(data, objects)
        how = data.draw(st.sampled_from([pickle.dumps, copy.copy, copy.deepcopy]))
        self.refused(f"{t} pickled", how, t.obj, kinds=TypeError)

    @rule(data=st.data())
    def logging_refusals(self, data):
        if not hasattr(ce, "cy_set_logging_config"):
            return
        severity = data.draw(st.sampled_from([None, b"info", 3, type("S", (str,), {})("info")]))
        self.refused("cy_set_logging_config", ce.cy_set_logging_config, severity,
                     kinds=TypeError)

    @rule(data=st.data())
    def drop(self, data):
        """Lets go of one object; the module keeps alive what others still point to."""
        if not self.pool:
            return
        tracked = self.pool.pop(data.draw(st.integers(0, len(self.pool) - 1), label="drop"))
        trace(f"del {tracked}")
        tracked.obj = None
        self.settle()

    @rule(data=st.data())
    def drop_solver(self, data):
        """Lets go of a solver: the one that linked its network unlinks it."""
        solvers = [t for t in self.pool if t.network is not None]
        if solvers:
            solver = self.pick(data, solvers)
            self.pool.remove(solver)
            trace(f"del {solver}")
            solver.obj = None
            self.settle()

    def teardown(self):
        # The rest goes in creation order: elements before the networks that hold them.
        while self.pool:
            tracked = self.pool.pop(0)
            trace(f"del {tracked}")
            tracked.obj = None
            self.settle()


SOLVER_KINDS = {"CyNewton", "CyNewtonGoldstein", "CyBackwardForward", "CyAbstractSolver",
                "CyAbstractNewton"}
NON_ELEMENTS = SOLVER_KINDS | {"CyElectricalNetwork", "CyControl", "CyProjection",
                               "CyFlexibleParameter", "CyAbstractSolver", "CyAbstractNewton"}
FLEXIBLE_LOADS = {"CyFlexibleLoad", "CyDeltaFlexibleLoad"}


def test_no_sequence_of_calls_crashes_or_slips_past_the_checks():
    with tempfile.TemporaryDirectory() as directory:
        Misuse.directory = directory
        run_state_machine_as_test(Misuse, settings=settings(
            max_examples=EXAMPLES, stateful_step_count=50, deadline=None, database=None,
            derandomize=bool(os.environ.get("CI")), print_blob=True,
            suppress_health_check=list(HealthCheck)))
    if os.environ.get("TARVELO_FUZZ_STATS") == "1":
        print("\n".join(f"{count:9d}  {what}" for what, count in sorted(STATS.items())))


def test_every_class_and_method_is_reached():
    # The state machine reaches a class through a recipe, as a base, or not at all.
    machine = Misuse.__new__(Misuse)
    recipes = constructor_recipes(machine)
    missing = [name for name in PRESENT if name not in recipes and name not in BASES and
               name not in ("CyElectricalNetwork", *SOLVER_CLASSES)]
    assert not missing, f"classes without a recipe: {missing}"
    assert len(PRESENT) >= 18
    # Every method has a signature string the calls can be drawn from.
    for name, cls in PRESENT.items():
        for method in vars(cls):
            if not method.startswith("__") and callable(vars(cls)[method]):
                assert method in METHODS[name], f"{name}.{method} has no signature string"


# ---- known faults, one reproducer each (they run in a child interpreter: a memory fault must
# not take the test run with it; under the sanitizers the child reports it) ----

def run_child(code):
    # The child imports the very module under test, wherever it was installed; under the
    # sanitizers it reports to its own stderr, and leaves the interpreter's leaks alone.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(ce.__file__)), os.environ.get("PYTHONPATH", "")]))
    if "ASAN_OPTIONS" in env:
        options = [o for o in env["ASAN_OPTIONS"].split(":") if not o.startswith("log_path=")]
        env["ASAN_OPTIONS"] = ":".join(options + ["detect_leaks=0"])
    # -P: the source tree's package must not shadow the built module.
    result = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=env,
                            cwd=tempfile.gettempdir(), capture_output=True, text=True,
                            timeout=120)
    report = result.stdout + result.stderr
    assert result.returncode == 0 and "Sanitizer" not in report and "runtime error" not in report, \
        report[:4000]
    return result.stdout


CHILD_PRELUDE = """
    import numpy as np
    from tarvelo import cy_engine as ce
    c = lambda v: np.array(v, dtype=np.complex128)
"""


def test_node_held_at_zero_after_linking_is_unlinked_with_the_others():
    #   bus1 ── (later) PotentialRef          bus2
    # A solver links both nodes; the reference then holds bus1's node at zero; dropping the
    # solver must leave both buses reading and writing their own stored potentials.
    out = run_child(CHILD_PRELUDE + """
    bus1, bus2 = ce.CyBus(1, c([1.0])), ce.CyBus(1, c([2.0]))
    solver = ce.CyBackwardForward(ce.CyElectricalNetwork(np.array([bus1, bus2], dtype=object), 2))
    bus1.connect(ce.CyPotentialRef(), [(0, 0)])
    del solver
    bus1.initialize_potentials(c([7.0]))
    print(bus2.get_potentials(1)[0])
    """)
    assert complex(out) == 2.0
    # The same node under a second solver, the first one dropped: it is no longer the
    # network's linker, and so unlinks nothing.
    run_child(CHILD_PRELUDE + """
    bus = ce.CyBus(1, c([1.0]))
    network = ce.CyElectricalNetwork(np.array([bus], dtype=object), 1)
    first = ce.CyBackwardForward(network)
    bus.connect(ce.CyPotentialRef(), [(0, 0)])
    second = ce.CyBackwardForward(network)
    del first
    bus.initialize_potentials(c([5.0]))
    second.solve_load_flow(1, 1e-6)
    """)


def test_absorbed_node_keeps_no_ports():
    #   a ─┐                          e
    #   b ─┴─ d   (a disconnected, b dropped), then e joined to a's old node
    run_child(CHILD_PRELUDE + """
    a, b, d = (ce.CyBus(1, c([1.0])) for _ in range(3))
    a.connect(b, [(0, 0)])
    a.disconnect()
    d.connect(b, [(0, 0)])
    del b
    e = ce.CyBus(1, c([1.0]))
    e.connect(a, [(0, 0)])
    """)


def test_branch_with_a_huge_count_is_refused_cleanly():
    out = run_child(CHILD_PRELUDE + """
    for n in (2**30, 2**31 - 1, -2**31):
        for make in (ce.CySwitch, ce.CyOpenSwitch, lambda n: ce.CySimplifiedLine(n, None),
                     lambda n: ce.CyShuntLine(n, None, None)):
            try:
                make(n)
            except (RuntimeError, ValueError, MemoryError) as error:
                print(type(error).__name__)
    """)
    assert len(out.split()) == 12


def test_save_matrix_refuses_a_prefix_with_a_zero_byte(tmp_path):
    #   bus ── star load ── (reference on the neutral)
    bus = ce.CyBus(2, carray([230, 0]))
    load = ce.CyPowerLoad(2, carray([1000]))
    reference = ce.CyPotentialRef()
    bus.connect(load, [(0, 0), (1, 1)])
    reference.connect(bus, [(0, 1)])
    network = ce.CyElectricalNetwork(np.array([bus, load, reference], dtype=object), 3)
    solver = ce.CyNewton(network, False)
    with pytest.raises(ValueError):
        solver.save_matrix(str(tmp_path / "jacobian\0_of_the_feeder"))
    assert list(tmp_path.iterdir()) == []


