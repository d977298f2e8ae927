# CyElectricalNetwork, the solvers and their diagnostics, CySimplifiedLine and CyShuntLine.

import os
import re
import warnings

import numpy as np
import pytest
import scipy.io
from conftest import (DELTA_POWERS, PHASE_VOLTAGES, SOLVERS, STAR_POWERS, START, Z_LINE,
                      assert_feeder_laws, assert_law, assert_refusals, build_feeder, carray,
                      expected_line_currents, feeder_line_matrices, four_wire, objects, same,
                      solve, two_bus)

from tarvelo import cy_engine as ce


def test_the_three_solvers_solve_the_feeder_before_and_after_line_updates():
    for name in SOLVERS:  # the laws hold at one solution only
        feeder = build_feeder()
        solver = solve(feeder, SOLVERS[name])
        assert_feeder_laws(feeder)
        for index, (line, _, _) in enumerate(feeder.lines):  # every line 1.5 times longer
            z, y = feeder_line_matrices(index + 1, 1.5)
            line.update_line_parameters(*[carray(m.ravel()) for m in (y, z) if m is not None])
            feeder.lines[index] = (line, z, y)
        assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        assert_feeder_laws(feeder)
        start = SOLVERS[name](feeder.network()).get_variables()
        solve(feeder, SOLVERS[name])  # a new solver starts from the stored values
        assert_feeder_laws(feeder)
        feeder.solver.reset_inputs()  # and goes back to them
        np.testing.assert_array_equal(feeder.solver.get_variables(), start)
        del solver, feeder.solver  # unlinked: an update reaches the stored values alone
        shunt, z, y = feeder.lines[0]
        shunt.update_line_parameters(carray(y.ravel()), carray(z.ravel()))


# source(0, n) == b1(0) ─ line ─ b2(0) == load(0); the neutrals of source and load on a
# PotentialRef each, the first also holding the ground-side port 2 of a shunt line.
@pytest.mark.parametrize("name", ["newton", "sweep"])
def test_single_conductor_lines_take_single_values(name):
    z = 0.08 + 0.03j
    for y in (5e-3j, 0, None):
        load, ports = ce.CyPowerLoad(2, carray([4000 + 1000j])), 2 + (y is not None)
        line = ce.CySimplifiedLine(1, carray([0.05])) if y is None else ce.CyShuntLine(
            1, carray([2e-3j]), carray([0.05]))
        net = two_bus(line, ports, [(load, 2)], [230], [(0, 0)], [(0, 0)], lv_ref=True)
        if y is not None:
            net.join(net.pref, line, [(0, 2)])
        solver = solve(net, SOLVERS[name])
        line.update_single_line_parameters(*[v for v in (y, z) if v is not None])
        assert solver.solve_load_flow(100, 1e-10)[1] <= 1e-10
        expected = expected_line_currents(np.array([[z]]), None if y is None else np.array([[y]]),
                                          line.get_potentials(ports))
        np.testing.assert_allclose(line.get_currents(ports), expected, rtol=0, atol=1e-6)


# source (230, 230, 230j V) == bus == load, the source's neutral on a PotentialRef: no line, so
# the sweep measures no change and stops after one sweep, at the potentials the source wrote.
def test_what_the_sweep_measures_and_the_non_finite_values_that_fail_it():
    # The source's first two phases equal: a delta branch across them sees 0 V (or, for the
    # admittance, far more than from the bus's start). A star flexible load's power at the
    # source's voltage, under a steep control, while its currents were drawn at the bus's start.
    spread = [200, -100 - 170j, -100 + 170j, 0]
    constant = ce.CyControl("constant", 0, 0, 0, 0, 1, 1)
    steep = ce.CyControl("p_max_u_production", 10, 20, 30, 50, 1e308, 1e-4)

    def parameters(control, n):
        return objects(*[ce.CyFlexibleParameter(control, constant, ce.CyProjection(
            "euclidean", 100, 1e-6), 1e4, -1e3, 1e3)] * n)

    for case, (load, pairs, start) in enumerate([
            (ce.CyDeltaPowerLoad(3, carray([1e3] * 3)), same(3), spread),
            (ce.CyDeltaCurrentLoad(3, carray([5] * 3)), same(3), spread),
            (ce.CyDeltaAdmittanceLoad(3, carray([1e306] * 3)), same(3), [200, 200, 200, 0]),
            (ce.CyDeltaFlexibleLoad(3, carray([1e3] * 3), parameters(constant, 3)), same(3),
             spread),
            (ce.CyFlexibleLoad(2, carray([1e3]), parameters(steep, 1)), [(0, 0), (3, 1)],
             [10, 0, 0, 0])]):
        source, reference = ce.CyVoltageSource(4, carray([230, 230, 230j])), ce.CyPotentialRef()
        bus = ce.CyBus(4, carray(start))
        source.connect(reference, [(3, 0)])
        bus.connect(source, same(4))
        bus.connect(load, pairs)
        network = ce.CyElectricalNetwork(objects(source, reference, bus, load), 4)
        iterations, residual = ce.CyBackwardForward(network).solve_load_flow(50, 1e-9)
        assert iterations == 1 and np.isnan(residual)
        read = load.get_powers(2) if len(pairs) == 2 else load.get_inner_currents(3)
        assert not np.isfinite(read).all() and np.isfinite(load.get_currents(len(pairs))).all()
        if case == 0:
            assert np.isinf(read[0].real) and np.isnan(read[0].imag)
    # A 1 kW load on a bus started at 200 V: joined from the bus's side, the bus keeps its start
    # and the load draws its current there at 230 V; from the source's, the bus starts at the
    # source's 0 V, where a power load's current is not finite.
    def one_phase(bus_side):
        source, reference = ce.CyVoltageSource(2, carray([230])), ce.CyPotentialRef()
        bus, load = ce.CyBus(2, carray([200, 0])), ce.CyPowerLoad(2, carray([1000]))
        source.connect(reference, [(1, 0)])
        bus.connect(source, same(2)) if bus_side else source.connect(bus, same(2))
        bus.connect(load, same(2))
        return ce.CyElectricalNetwork(objects(source, reference, bus, load), 4), load

    network, load = one_phase(bus_side=True)
    assert ce.CyBackwardForward(network).solve_load_flow(50, 1e-9) == (1, 0.0)
    assert 230 * np.conj(load.get_port_current(0)) == pytest.approx(1150, rel=1e-12)
    iterations, residual = ce.CyBackwardForward(one_phase(False)[0]).solve_load_flow(50, 1e-9)
    assert iterations == 1 and np.isnan(residual)
    assert_refusals([(lambda: ce.CyNewton(one_phase(False)[0], False).solve_load_flow(50, 1e-9),
                      RuntimeError, "1 NaN value encountered at iteration 0. ")])
    # source(0..3) ── line ── bus(0..3) == load, the line joined from its own side to the source
    # (0 V), the list reversed: the sweep fails and leaves NaN in the bus's nodes, from which a
    # solver built next starts, until the bus starts them again.
    source, reference = ce.CyVoltageSource(4, carray(PHASE_VOLTAGES)), ce.CyPotentialRef()
    line, bus = ce.CySimplifiedLine(4, carray(Z_LINE.ravel())), ce.CyBus(4, carray(START))
    load = ce.CyPowerLoad(4, carray(STAR_POWERS))
    source.connect(reference, [(3, 0)])
    line.connect_side(source, same(4), True)
    line.connect_side(bus, same(4), False)
    bus.connect(load, same(4))
    network = ce.CyElectricalNetwork(objects(load, bus, line, reference, source), 5)
    assert np.isnan(ce.CyBackwardForward(network).solve_load_flow(50, 1e-9)[1])
    assert np.isnan(bus.get_potentials(4)).all()
    assert_refusals([(lambda: ce.CyNewton(network, False).solve_load_flow(50, 1e-9),
                      RuntimeError, "1 NaN value encountered at iteration 0. ")])
    bus.initialize_potentials(carray(START))
    newton = ce.CyNewton(network, False)
    assert newton.solve_load_flow(50, 1e-9)[1] <= 1e-9
    assert_law("power", load, STAR_POWERS)
    # delta source == bus == DeltaPotentialRef, delta load, the bus started 10 % above the
    # source's potentials: the reference brings the sum of its potentials back to zero and
    # measures that sum, 3 x 10 %, then nothing.
    v = 400 / np.sqrt(3) * np.exp(-2j * np.pi / 3 * np.arange(3))
    source = ce.CyDeltaVoltageSource(3, carray(v - np.roll(v, -1)))
    reference, bus = ce.CyDeltaPotentialRef(3), ce.CyBus(3, carray(1.1 * v))
    load = ce.CyDeltaPowerLoad(3, carray(DELTA_POWERS))
    for element in (source, reference, load):
        bus.connect(element, same(3))
    sweep = ce.CyBackwardForward(ce.CyElectricalNetwork(objects(source, reference, bus, load), 4))
    assert sweep.solve_load_flow(1, 1e-9)[1] == pytest.approx(0.3 * abs(v[0]), rel=1e-12)
    np.testing.assert_allclose(bus.get_potentials(3), v, rtol=0, atol=1e-9)
    assert sweep.solve_load_flow(1, 1e-9)[1] < 1e-9


def test_network_and_solver_arguments_variables_and_failures():
    net = four_wire()
    net.star.update_powers(carray(2 * STAR_POWERS))  # before any solver: the stored values
    solver = ce.CyNewtonGoldstein(net.network(), 1, 0.1, 0.9)
    solver.update_params(m1=0.2, m2=0.8)
    start = solver.get_variables()
    assert start.dtype == np.float64 and start.shape == (28,)  # 7 nodes off zero, 7 unknowns
    iterations, residual = solver.solve_load_flow(0, 1e-10)  # no step: starting residual
    assert iterations == 0 and residual > 1
    solver.solve_load_flow(20, 1e-10)
    assert_law("power", net.star, 2 * STAR_POWERS, atol=1e-6)
    solver.set_variables(np.arange(30.0))
    np.testing.assert_array_equal(solver.get_variables(), np.arange(28))
    assert net.bus1.get_port_potential(0) == 1j  # read live
    # Goldstein's coefficients are not checked: with m1 > m2 no step passes the test, each keeps
    # its tenth trial, and the solve stalls where (0.1, 0.9) converges.
    for m1, m2, converges in ((0.9, 0.1, False), (0.1, 0.9, True)):
        iterations, residual = ce.CyNewtonGoldstein(four_wire().network(), False, m1,
                                                    m2).solve_load_flow(20, 1e-10)
        assert (iterations < 20 and residual <= 1e-10) == converges
    swept = four_wire()  # under the sweep, the switch's far side takes its near side's potentials
    solve(swept, SOLVERS["sweep"])
    potentials = swept.branch.get_potentials(8)
    np.testing.assert_allclose(potentials[4:], potentials[:4], rtol=0, atol=1e-9)
    empty = ce.CyElectricalNetwork(None, 0)
    assert ce.CyBackwardForward(empty).solve_load_flow(3, 1e-9) == (1, 0.0)
    elements = objects(net.bus1, 3)
    ce.CyElectricalNetwork(elements, 1)  # only the first nb_elements are read
    # Buses joined to nothing float: a singular Jacobian of very few entries per column, which
    # must fail at once with the engine's coded text.
    lonely = [ce.CyBus(1, carray([1.0])) for _ in range(5000)]
    floating = ce.CyNewton(four_wire().network(extra=lonely), False)
    assert_refusals([
        (lambda: floating.solve_load_flow(5, 1e-10), RuntimeError,
         "1 Decomposition failed, singular matrix at iteration 0. "),
        (lambda: ce.CyElectricalNetwork(elements, -1), RuntimeError, "...nb_elements..."),
        (lambda: ce.CyElectricalNetwork(elements, 2), TypeError, "elements[1]: expected ... int"),
        (lambda: ce.CyElectricalNetwork([net.bus1], 1), TypeError, "...bytes-like..."),
        (lambda: solver.set_variables([0.0] * 28), TypeError,
         "a bytes-like object is required, not 'list'"),
        (lambda: ce.CySimplifiedLine(0, None), ValueError, "Simpl...at least 1 conductor, got 0"),
        (lambda: ce.CyShuntLine(0, None, None), ValueError, "Shunt...at least 1 conductor, got 0"),
        (lambda: ce.CyDeltaPotentialRef(0), ValueError, "DeltaPotentialRef: ...1 port, got 0"),
        (lambda: ce.CyDeltaPotentialRef(-1), RuntimeError, "vector::reserve"),
        # Huge port counts, found by the randomized test: n * n taken in 64 bits.
        (lambda: ce.CySimplifiedLine(2**31 - 1, None), ValueError, "...4611686014132420609 ..."),
        (lambda: ce.CySwitch(-2**31), RuntimeError, "vector::reserve")])


def test_save_matrix_and_analyse_jacobian(tmp_path):
    # feeder (elements 0 .. m-1) + lonely: a bus of one port joined to nothing, listed last.
    feeder = build_feeder()
    solver = ce.CyNewton(feeder.network(extra=[ce.CyBus(1, carray([1.0]))]), False)
    assert solver.analyse_jacobian() == ([len(feeder.elements)], [])
    # A switch with both sides on one node: its current is in no equation. A bus on the same
    # nodes follows it.
    net, loop, tail = four_wire(), ce.CySwitch(1), ce.CyBus(4, carray(START))
    for beginning in (True, False):
        loop.connect_side(net.bus2, [(0, 0)], beginning)
    tail.connect(net.bus2, same(4))
    solver = ce.CyNewton(net.network(extra=[loop, tail]), False)
    assert solver.analyse_jacobian() == ([len(net.elements)], [])
    # One step of a solve: the residuals are not yet zero. Files are written (and overwritten)
    # under a prefix given as str or bytes.
    solver = ce.CyNewtonGoldstein(build_feeder().network(), True, 0.1, 0.9)
    for steps, prefix in ((1, str(tmp_path / "feeder")), (20, os.fsencode(tmp_path / "feeder"))):
        residual = solver.solve_load_flow(steps, 1e-10)[1]
        assert solver.save_matrix(prefix) is None
        assert sorted(os.listdir(tmp_path)) == ["feeder.mtx", "feeder_b.mtx"]
        with warnings.catch_warnings():  # SciPy's sparse result type changes between versions
            warnings.simplefilter("ignore", DeprecationWarning)
            read_back = scipy.io.mmread(tmp_path / "feeder.mtx").toarray()
        np.testing.assert_allclose(read_back, solver.get_jacobian(), rtol=1e-15, atol=1e-15)
        read_back = scipy.io.mmread(tmp_path / "feeder_b.mtx").ravel()
        np.testing.assert_array_equal(read_back, solver.get_residuals())
        assert np.max(np.abs(read_back)) == residual if steps > 1 else residual > 1e-3
    # A file that cannot be created is an error naming it and the system's reason.
    missing = tmp_path / "missing" / "feeder"
    assert_refusals([(lambda: solver.save_matrix(prefix=str(missing)), OSError,
                      f"cannot write the file {missing}.mtx: No such file or directory"),
                     (lambda: solver.save_matrix(str(tmp_path / "a\0b")), ValueError, None)])
    # A loaded bus starting at 0 V: its loads' currents are not finite, nor are the rows of the
    # bus's nodes. The solve fails at once, and the loads are named; a healthy feeder has neither.
    dead_bus = feeder.buses[12]
    dead_bus.initialize_potentials(carray(np.zeros(4)))
    solver = ce.CyNewton(feeder.network(), False)
    assert_refusals([(lambda: solver.solve_load_flow(10, 1e-10), RuntimeError,
                      "1 NaN value encountered at iteration 0. ")])
    named = [feeder.elements.index(load) for load, bus, _ in feeder.loads if bus is dead_bus]
    assert len(named) == 2 and solver.analyse_jacobian() == ([], named)
    assert not np.all(np.isfinite(solver.get_residuals()))
    dead_bus.initialize_potentials(carray(feeder.buses[11].get_potentials(4)))
    solver.solve_load_flow(20, 1e-10)
    assert solver.analyse_jacobian() == ([], [])


def test_logging_configuration(capfd):
    assert ce.cy_set_logging_config("debug") is None
    ce.CyNewton(four_wire().network(), True)
    ce.cy_set_logging_config(severity="warning")
    counts = re.findall(r"debug Number of tape operators: (\d+)", capfd.readouterr().out)
    assert len(counts) == 2 and int(counts[1]) < int(counts[0])  # recorded, then optimised
    # The sparsity pattern is analysed once, though the first solve refused a singular Jacobian.
    ce.cy_set_logging_config("debug")
    floating = ce.CyNewton(four_wire().network(extra=[ce.CyBus(1, carray([1.0]))]), False)
    with pytest.raises(RuntimeError):
        floating.solve_load_flow(5, 1e-10)
    floating.analyse_jacobian()
    ce.cy_set_logging_config("warning")
    assert capfd.readouterr().out.count("Sparse pattern initialisation") == 1
    assert_refusals([
        (lambda: ce.cy_set_logging_config("Info"), RuntimeError, "Unknown severity string Info."),
        (lambda: ce.cy_set_logging_config(b"info"), TypeError, "Argument 'severity' has incorrect "
                                                               "type (expected str, got bytes)")])
