"""Long time series leave no memory behind: building, solving, updating, re-solving and dropping
a feeder of 45 elements again and again keeps the Python heap and the resident memory
of the process flat, and so do the refusals and engine errors met on the way.

TARVELO_LEAK_CYCLES sets the number of cycles (default 2000; `make leaks` runs 10000). The first
fifth of the cycles warms the allocators up; the growth over the rest must stay within a bound
far below what one lost element, node, array or tape per cycle would add.
"""

import gc
import os
import resource
import tracemalloc

import numpy as np
import pytest

from tarvelo import cy_engine as ce

CYCLES = int(os.environ.get("TARVELO_LEAK_CYCLES", "2000"))
A = np.exp(-2j * np.pi / 3)
PHASES = 230.0 * np.array([1, A, A * A])
PAGE = resource.getpagesize()


def carray(values):
    return np.array(values, dtype=np.complex128)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def line_matrix(n, z, mutual):
    return carray(np.full((n, n), mutual) + np.eye(n) * (z - mutual)).ravel()


class Feeder:
    """A four-wire feeder of `segments` line sections with a load mix on each bus, a switch,
    a three-phase transformer, single-phase branches and a delta island:

      source ═ bus0 ═ line ═ ... ═ busN ═╤═ switch ══════╤═ after ═ Yy0 ═ lv bus (loads)
        │ ref         ║ loads      ║ loads └─ open switch ─┘     ├─ single ─ bus (load)
                                                               ├─ centre-tapped ─ bus
                                                               └─ regulator ─ bus (load)
      delta source ═ delta reference ═ delta load
    """

    def __init__(self, segments):
        self.elements = []
        self.star_loads = []
        self.source = self.add(ce.CyVoltageSource(4, carray(PHASES)))
        bus = self.bus(4)
        bus.connect(self.source, [(i, i) for i in range(4)])
        self.add(ce.CyPotentialRef()).connect(bus, [(0, 3)])
        z, y = line_matrix(4, 0.05 + 0.02j, 0.01), line_matrix(4, 1e-6j, 0)
        for k in range(segments):
            line = self.add(ce.CyShuntLine(4, y, z) if k % 2 else ce.CySimplifiedLine(4, z))
            line.connect_side(bus, [(i, i) for i in range(4)], True)
            if k % 2:
                ground = self.add(ce.CyGround())
                ground.connect(line, [(0, 8)])
                self.add(ce.CyPotentialRef()).connect(ground, [(0, 0)])
            bus = self.bus(4)
            line.connect_side(bus, [(i, i) for i in range(4)], False)
            self.loads(bus, k)
        switch, open_switch = self.add(ce.CySwitch(4)), self.add(ce.CyOpenSwitch(4))
        after = self.bus(4)
        for branch in (switch, open_switch):  # in parallel
            branch.connect_side(bus, [(i, i) for i in range(4)], True)
            branch.connect_side(after, [(i, i) for i in range(4)], False)
        transformer = self.add(ce.CyThreePhaseTransformer(4, 4, "Y", "y", 0.01 + 0.02j,
                                                          1e-6 - 1e-5j, 1.0, 0))
        transformer.connect_side(after, [(i, i) for i in range(4)], True)
        lv = self.bus(4)
        transformer.connect_side(lv, [(i, i) for i in range(4)], False)
        self.add(ce.CyPotentialRef()).connect(lv, [(0, 3)])
        self.loads(lv, 1)
        self.single_phase(after, ce.CySingleTransformer(0.01 + 0.02j, 1e-6 - 1e-5j, 1.0), 2)
        self.single_phase(after, ce.CyCenterTransformer(0.01 + 0.02j, 1e-6 - 1e-5j, 1.0), 3)
        self.single_phase(after, ce.CySingleVoltageRegulator(0.02 + 0.04j, 1e-5 - 1e-4j, 230.0,
                                                             0.1, 10.0, 0.0), 2)
        delta = self.add(ce.CyDeltaVoltageSource(3, carray([400, 400 * A])))
        self.add(ce.CyDeltaPotentialRef(3)).connect(delta, [(i, i) for i in range(3)])
        delta.connect(self.add(ce.CyDeltaAdmittanceLoad(3, carray([0.01, 0.005j, 0.008]))),
                      [(i, i) for i in range(3)])

    def add(self, element):
        self.elements.append(element)
        return element

    def bus(self, n):
        start = np.append(PHASES, 0)[-n:] if n == 4 else np.append(230 * np.ones(n - 1), 0)
        return self.add(ce.CyBus(n, carray(start)))

    def loads(self, bus, k):
        four = [(i, i) for i in range(4)]
        three = [(i, i) for i in range(3)]
        star = self.add(ce.CyPowerLoad(4, carray([1000 + 200j, 800, 500j])))
        self.star_loads.append(star)
        bus.connect(star, four)
        if k % 3 == 0:
            bus.connect(self.add(ce.CyDeltaPowerLoad(3, carray([900, 300j, 600]))), three)
            bus.connect(self.add(ce.CyCurrentLoad(4, carray([2, 1j, 1]))), four)
        elif k % 3 == 1:
            bus.connect(self.add(ce.CyAdmittanceLoad(4, carray([0.01, 0.01, 0.005j]))), four)
            bus.connect(self.add(ce.CyDeltaCurrentLoad(3, carray([1, 1, 1j]))), three)
            bus.connect(self.add(ce.CyLoadBalancer(8 + 4j, 0.05 - 0.08j, 0.9)), four)
        else:
            control = ce.CyControl("q_u", 200, 210, 240, 250, 100, 1e-4)
            constant = ce.CyControl("constant", 0, 0, 0, 0, 1, 1)
            projection = ce.CyProjection("euclidean", 100, 1e-6)
            # The loads keep the parameter alive; it keeps copies of the laws.
            parameter = ce.CyFlexibleParameter(constant, control, projection, 5000, -3000, 3000)
            entries = np.array([parameter] * 3, dtype=object)
            bus.connect(self.add(ce.CyFlexibleLoad(4, carray([1000, 800, 600]), entries)), four)
            bus.connect(self.add(ce.CyDeltaFlexibleLoad(3, carray([500, 400, 300]), entries)),
                        three)

    def single_phase(self, upstream, branch, n2):
        self.add(branch).connect_side(upstream, [(0, 0), (1, 3)], True)
        bus = self.bus(n2)
        branch.connect_side(bus, [(i, i) for i in range(n2)], False)
        if not isinstance(branch, ce.CySingleVoltageRegulator):
            self.add(ce.CyPotentialRef()).connect(bus, [(0, n2 - 1)])
        load = self.add(ce.CyPowerLoad(n2, carray([600 + 100j, 400][:n2 - 1])))
        bus.connect(load, [(i, i) for i in range(n2)])

    def network(self):
        return ce.CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))


def refusals(feeder, network, solver):
    """Calls refused before the engine, and engine errors: their paths must not leak either."""
    star = feeder.star_loads[0]
    for call, error in ((lambda: star.update_powers(carray([1, 2])), ValueError),
                        (lambda: star.get_potentials(5), IndexError),
                        (lambda: star.connect(None, [(0, 0)]), TypeError),
                        (lambda: star.connect(feeder.source, [(0, 0, 0)]), ValueError),
                        (lambda: solver.set_variables(np.zeros(3)), ValueError),
                        (lambda: ce.CyControl("bogus", 0, 0, 0, 0, 1, 1), RuntimeError),
                        # no sweep step for these transformers
                        (lambda: ce.CyBackwardForward(network).solve_load_flow(5, 1e-6),
                         RuntimeError)):
        with pytest.raises(error):
            call()


def cycle(segments=3):
    feeder = Feeder(segments)
    network = feeder.network()
    solver = ce.CyNewton(network, True)
    assert solver.solve_load_flow(30, 1e-8)[1] <= 1e-8
    for load in feeder.star_loads:
        load.update_powers(carray([1200 + 100j, 900, 700j]))
    feeder.source.update_voltages(carray(PHASES * 1.02))
    assert solver.solve_load_flow(30, 1e-8)[1] <= 1e-8
    solver.get_jacobian()
    solver.get_residuals()
    solver.analyse_jacobian()
    solver.set_variables(solver.get_variables())
    refusals(feeder, network, solver)
    # A second solver takes the links over; the first goes before it.
    second = ce.CyNewtonGoldstein(network, False, 0.1, 0.9)
    del solver
    assert second.solve_load_flow(30, 1e-8)[1] <= 1e-8
    return len(feeder.elements)


def sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def test_cycles_of_build_solve_update_and_drop_keep_memory_flat():
    elements = cycle()
    assert 20 <= elements <= 50
    if sanitized():
        # The sanitizers hold freed memory back on purpose: a few cycles, and LeakSanitizer
        # judges what is left at exit.
        for _ in range(20):
            cycle()
        return
    # A fifth to warm up, two fifths watching the resident memory, two fifths the Python heap
    # (tracing has tables of its own, so the two are not watched at once).
    warm = max(CYCLES // 5, 50)
    watched = max((CYCLES - warm) // 2, 10)
    for _ in range(warm):
        cycle()
    gc.collect()
    resident = [resident_bytes()]
    for k in range(watched):
        cycle()
        if (k + 1) % max(watched // 10, 1) == 0:
            resident.append(resident_bytes())
    tracemalloc.start()
    gc.collect()
    python_start = tracemalloc.get_traced_memory()[0]
    for _ in range(watched):
        cycle()
    gc.collect()
    python_growth = tracemalloc.get_traced_memory()[0] - python_start
    tracemalloc.stop()
    # The allocator's high-water mark comes and goes by a page run or two: compare the lowest
    # of the first few samples with the lowest of the last few.
    resident_growth = min(resident[-3:]) - min(resident[:3])
    print(f"\n{elements} elements, {warm} cycles to warm up; over {watched} cycles: resident "
          f"{resident[0] / 2**20:.1f} MiB at the start, {resident[-1] / 2**20:.1f} MiB at the "
          f"end, trend {resident_growth:+,d} B; over {watched} more: Python heap "
          f"{python_growth:+,d} B")
    # One Python object, element, node, array or tape lost a cycle would exceed these.
    assert python_growth < 16 * 1024 + 4 * watched
    assert resident_growth < 2**20 + 64 * watched
