"""CyControl, CyProjection, CyFlexibleParameter, CyFlexibleLoad and CyDeltaFlexibleLoad."""

import copy
import gc
import weakref

import numpy as np
import pytest
from conftest import carray

from tarvelo import cy_engine as ce

CONSTANT = ce.CyControl("constant", 0, 0, 0, 0, 1, 1)
EUCLIDEAN = ce.CyProjection("euclidean", 1000, 1e-6)


def softplus(z):
    return np.logaddexp(0.0, z)


def parameter(p=CONSTANT, q=CONSTANT, projection=EUCLIDEAN, s_max=1e4, q_min=0, q_max=0):
    return ce.CyFlexibleParameter(p, q, projection, s_max, q_min, q_max)


def objects(*items):
    return np.array(items, dtype=object)


def test_control_laws_follow_their_formulas_and_limits():
    s, alpha, eps = 1e4, 50.0, 1e-4
    production = parameter(ce.CyControl("p_max_u_production", 0, 0, 240, 250, alpha, eps))
    consumption = parameter(ce.CyControl(b"p_max_u_consumption", 200, 210, 0, 0, alpha, eps))
    q_u = parameter(q=ce.CyControl("q_u", 200, 210, 240, 250, alpha, eps), q_min=-5000, q_max=4000)
    for u in (150.0, 205.0, 230.0, 245.0, 249.0, 255.0, 300.0):
        p = -5000.0
        a = (240 + (p / s + 1) * 10) / 250
        d = alpha * (eps * np.exp(-(1 - a) / eps) + 1 - a)
        step = softplus(alpha * (u / 250 - 1)) - softplus(alpha * (u / 250 - a))
        assert production.compute_power(u, p) == pytest.approx(p * (1 + step / d), rel=1e-9)
        assert production.compute_power(x=u, s_th=0j) == 0

        p = 5000.0
        b = (210 - (1 - p / s) * 10) / 200
        d = alpha * (eps * np.exp(-(b - 1) / eps) + b - 1)
        step = softplus(alpha * (u / 200 - b)) - softplus(alpha * (u / 200 - 1))
        assert consumption.compute_power(u, p) == pytest.approx(-p * step / d, rel=1e-9)

        q, x, m, dn, up = 2000.0, u / 250, 0.8, 0.84, 0.96
        lo = (softplus(alpha * (x - dn)) - softplus(alpha * (x - m))) / (alpha * (m - dn)) - 1
        hi = (softplus(alpha * (x - up)) - softplus(alpha * (x - 1))) / (alpha * (1 - up))
        expected = q + lo * (q + 5000) + hi * (4000 - q)
        assert q_u.compute_power(u, 1000 + 2000j) == pytest.approx(1000 + 1j * expected, rel=1e-9)

    # Steep laws saturate: the full request in the dead band, the limits far outside.
    steep = parameter(q=ce.CyControl("q_u", 200, 210, 240, 250, 1e4, 1e-4), q_min=-5e3, q_max=4e3)
    for u, q in ((100, -5000), (225, 2000), (400, 4000)):
        assert steep.compute_power(u, 2000j).imag == pytest.approx(q)
    # Both laws constant: the request itself, far above s_max and at any voltage.
    assert parameter(s_max=1).compute_power(0, 5e4 - 7e4j) == 5e4 - 7e4j


def test_projections_bring_the_power_within_the_limit():
    dead_band = ce.CyControl("q_u", 200, 210, 240, 250, 1e4, 1e-4)  # Q = q at 225

    def project(name, s_th, alpha=1000.0):
        return parameter(q=dead_band, projection=ce.CyProjection(name, alpha, 1e-6), s_max=1000,
                         q_min=-1000, q_max=1000).compute_power(225, s_th)

    assert project("euclidean", 300 + 400j) == pytest.approx(300 + 400j)
    f = 1 + softplus(20 * (2 - 1)) / 20  # radius 2 with alpha 20
    assert project("euclidean", 1200 - 1600j, alpha=20) == pytest.approx((1200 - 1600j) / f)
    assert project("euclidean", 1200 - 1600j) == pytest.approx(600 - 800j, abs=1)
    assert project("keep_q", 1500 + 600j) == pytest.approx(800 + 600j, abs=0.1)
    assert project("keep_q", -1500 + 600j) == pytest.approx(-800 + 600j, abs=0.1)
    kept_p = project("keep_p", 600 - 1200j)
    assert kept_p.real == 600 and kept_p == pytest.approx(600 - 800j, abs=0.1)


def test_refusals_texts_and_class_contract():
    for bad in ("Constant", "q_U", ""):
        with pytest.raises(RuntimeError, match=f"^{bad} is a bad control type name$"):
            ce.CyControl(bad, 0, 0, 0, 0, 1, 1)
    with pytest.raises(RuntimeError, match="^keep_Q is a bad projection type name$"):
        ce.CyProjection(t="keep_Q", alpha=1, epsilon=1)
    with pytest.raises(TypeError, match=r"^Argument 'control_p' has incorrect type \(expected "
                       r"tarvelo.cy_engine.CyControl, got NoneType\)$"):
        parameter(p=None)
    with pytest.raises(TypeError, match="'projection' .*got tarvelo.cy_engine.CyControl"):
        parameter(projection=CONSTANT)
    with pytest.raises(TypeError, match="must be real number, not str"):  # numbers come first
        ce.CyFlexibleParameter(None, None, None, "1", 0, 0)

    q_u = ce.CyControl("q_u", 200, 210, 240, 250, 100, 1e-4)
    production = ce.CyControl("p_max_u_production", 200, 210, 240, 250, 100, 1e-4)
    for p, q, text in ((q_u, CONSTANT, "P"), (CONSTANT, production, "Q"), (q_u, production, "P")):
        with pytest.raises(RuntimeError, match=f"^Bad control type for {text}$"):
            parameter(p, q).compute_power(230, 100)
        feeder = make_feeder([parameter(p, q)] * 3, [parameter()] * 3)
        with pytest.raises(RuntimeError, match=f"^Bad control type for {text}$"):
            feeder.pv.get_powers(4)
        with pytest.raises(RuntimeError, match=f"^Bad control type for {text}$"):
            ce.CyNewton(feeder.network(), False)

    for cls in (ce.CyControl, ce.CyProjection, ce.CyFlexibleParameter):
        assert cls.__bases__ == (object,)
    for cls in (ce.CyFlexibleLoad, ce.CyDeltaFlexibleLoad):
        assert cls.__bases__ == (ce.CyLoad,)
    for instance in (CONSTANT, EUCLIDEAN, parameter(), ce.CyFlexibleLoad(1, None, None)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            copy.deepcopy(instance)
    assert ce.CyFlexibleParameter.update_parameters.__doc__ == \
        "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)"
    assert ce.CyDeltaFlexibleLoad.get_powers.__doc__ == \
        "CyDeltaFlexibleLoad.get_powers(self, int n)"


def test_load_arguments_counts_and_updates():
    fixed = parameter()
    with pytest.raises(ValueError, match="parameters: expected at least 3 values, got 2"):
        ce.CyFlexibleLoad(4, carray([1, 2, 3]), objects(fixed, fixed))
    with pytest.raises(TypeError, match=r"parameters\[1\]: expected .*CyFlexibleParameter, got "
                       r"tarvelo.cy_engine.CyControl"):
        ce.CyDeltaFlexibleLoad(3, carray([1, 2, 3]), objects(fixed, CONSTANT, fixed))
    with pytest.raises(TypeError, match=r"parameters\[0\]: .* got NoneType"):
        ce.CyFlexibleLoad(2, carray([1]), np.empty(1, dtype=object))
    with pytest.raises(TypeError):  # a list offers no buffer
        ce.CyFlexibleLoad(2, carray([1]), [fixed])
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 2"):
        ce.CyDeltaFlexibleLoad(3, carray([1, 2]), objects(fixed, fixed, fixed))

    # Entries past the used ones are not looked at; a load without phases reads nothing.
    star = ce.CyFlexibleLoad(4, carray([1, 2, 3]), objects(fixed, fixed, fixed, "unused"))
    delta = ce.CyDeltaFlexibleLoad(3, carray([1, 2, 3, 4]), objects(fixed, fixed, fixed, 1.5))
    single = ce.CyFlexibleLoad(2, carray([1]), objects(fixed))
    empty = ce.CyFlexibleLoad(1, None, None)
    assert star.get_powers(4).shape == (3,) and star.get_powers(n=6).shape == (5,)
    assert delta.get_powers(3).shape == (3,) and empty.get_powers(1).shape == (0,)
    for load, ports, n in ((star, 4, 3), (delta, 3, 2), (delta, 3, -1)):
        with pytest.raises(ValueError, match=f"^n: expected at least the load's port count "
                           f"{ports}, got {n}$"):
            load.get_powers(n)
    with pytest.raises(ValueError, match="holds 3"):
        star.update_power(5)
    with pytest.raises(ValueError, match="powers: expected at least 3 values, got 0"):
        delta.update_powers(None)
    empty.update_power(5)  # nothing to change
    single.update_power(7 - 1j)
    star.update_powers(carray([4, 5, 6, 99]))
    delta.update_powers(carray([7, 8, 9]))
    # Both laws constant: the requested powers come back unchanged, before any solve.
    assert single.get_powers(2)[0] == 7 - 1j
    np.testing.assert_array_equal(star.get_powers(4)[:3], [4, 5, 6])
    np.testing.assert_array_equal(delta.get_powers(3), [7, 8, 9])


def test_float_array_of_parameters_names_the_expected_class():
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'CyFlexibleParameter' "
                       "but got 'double'$"):
        ce.CyFlexibleLoad(2, carray([1]), np.ones(1))


# ---- a feeder ----

A = np.exp(-2j * np.pi / 3)
SOURCE = 240.0 * np.array([1, A, A**2])
Z_LINE = (np.eye(4) * (0.3 + 0.1j) + (1 - np.eye(4)) * 0.05j).ravel()
PV_POWERS = np.array([-9000, -8000, -7000], dtype=complex)
HEATER_POWERS = np.array([3000, 2000 + 500j, 2500], dtype=complex)


class Feeder:
    """A source feeding a PV inverter (star) and a heater (delta) through a four-wire line.

    source(0..3) ══ bus0(0..3) ── line(0..3 | 4..7) ── bus1(0..3) ══ pv(0..3)
      │ port 3                                             ╚══════ heater(0..2)
    PotentialRef
    """

    def __init__(self, pv, heater):
        self.source, self.pref = ce.CyVoltageSource(4, carray(SOURCE)), ce.CyPotentialRef()
        self.bus0, self.bus1 = (ce.CyBus(4, carray(list(SOURCE) + [0])) for _ in range(2))
        self.line, self.pv, self.heater = ce.CySimplifiedLine(4, carray(Z_LINE)), pv, heater
        self.bus0.connect(self.source, [(i, i) for i in range(4)])
        self.pref.connect(self.bus0, [(0, 3)])
        self.line.connect_side(self.bus0, [(i, i) for i in range(4)], True)
        self.line.connect_side(self.bus1, [(i, i) for i in range(4)], False)
        self.bus1.connect(pv, [(i, i) for i in range(4)])
        self.bus1.connect(heater, [(i, i) for i in range(3)])
        self.nodes = [[(self.source, k), (self.bus0, k), (self.line, k)] for k in range(4)]
        self.nodes[3].append((self.pref, 0))
        self.nodes += [[(self.line, 4 + k), (self.bus1, k), (pv, k)] for k in range(4)]
        for k in range(3):
            self.nodes[4 + k].append((heater, k))

    def network(self):
        elements = [self.source, self.pref, self.bus0, self.line, self.bus1, self.pv, self.heater]
        return ce.CyElectricalNetwork(objects(*elements), len(elements))


def make_feeder(pv_parameters, heater_parameters, pv_powers=PV_POWERS, heater=HEATER_POWERS):
    return Feeder(ce.CyFlexibleLoad(4, carray(pv_powers), objects(*pv_parameters)),
                  ce.CyDeltaFlexibleLoad(3, carray(heater), objects(*heater_parameters)))


# Gentle enough for the sweep's fixed-point iteration to settle.
def volt_watt():
    return ce.CyControl("p_max_u_production", 0, 0, 240, 252, 20, 1e-4)


def volt_var_q():
    return ce.CyControl("q_u", 200, 215, 240, 252, 20, 1e-4)


def volt_var(q_max=3000):
    return parameter(volt_watt(), volt_var_q(), s_max=1e4, q_min=-3000, q_max=q_max)


def assert_feeder_laws(feeder, pv_parameters, heater_parameters, pv_powers, heater_powers):
    """Kirchhoff at every node; each load draws what its laws give at its phase voltages."""
    sums = [sum(e.get_port_current(i) for e, i in node) for node in feeder.nodes]
    np.testing.assert_allclose(sums, 0, atol=1e-7)
    v = feeder.bus1.get_potentials(4)
    i_pv, i_heater = feeder.pv.get_currents(4), feeder.heater.get_currents(3)
    assert abs(i_pv.sum()) < 1e-9 and abs(i_heater.sum()) < 1e-9
    dv_pv, dv_heater = v[:3] - v[3], v[:3] - np.roll(v[:3], -1)
    drawn_pv, drawn_heater = feeder.pv.get_powers(4), feeder.heater.get_powers(3)
    np.testing.assert_allclose(dv_pv * np.conj(i_pv[:3]), drawn_pv, atol=1e-6)
    np.testing.assert_allclose(dv_heater * np.conj(feeder.heater.get_inner_currents(3)),
                               drawn_heater, atol=1e-6)
    for drawn, dv, params, requested in ((drawn_pv, dv_pv, pv_parameters, pv_powers),
                                         (drawn_heater, dv_heater, heater_parameters,
                                          heater_powers)):
        laws = [p.compute_power(abs(d), s) for p, d, s in zip(params, dv, requested)]
        np.testing.assert_allclose(drawn, laws, atol=1e-6)
    return drawn_pv, drawn_heater


def test_feeder_with_flexible_loads_obeys_every_law():
    pv = [volt_var() for _ in range(3)]
    heater = [parameter(ce.CyControl("p_max_u_consumption", 400, 415, 0, 0, 200, 1e-4))] * 3
    feeder = make_feeder(pv, heater)
    solver = ce.CyNewton(feeder.network(), True)  # potentials are read from the live solver
    assert solver.solve_load_flow(30, 1e-9)[1] <= 1e-9
    drawn_pv, _ = assert_feeder_laws(feeder, pv, heater, PV_POWERS, HEATER_POWERS)
    v = feeder.bus1.get_potentials(4)
    assert np.all(abs(v[:3] - v[3]) > 241)  # the PV raises the voltage and is curtailed
    assert np.all(drawn_pv.real > PV_POWERS.real + 2000) and np.all(drawn_pv.imag > 1000)

    # The sweep reaches the same solution on a network of its own.
    swept = make_feeder(pv, heater)
    sweep = ce.CyBackwardForward(swept.network())
    assert sweep.solve_load_flow(200, 1e-10)[1] <= 1e-10
    np.testing.assert_allclose(swept.bus1.get_potentials(4), v, atol=1e-6)


def test_shared_parameter_and_power_updates_equal_a_fresh_solver():
    shared = volt_var()
    # The delta load produces here, under the same laws as the PV inverter.
    feeder = make_feeder([shared] * 3, [shared] * 3, heater=-HEATER_POWERS)
    solver = ce.CyNewton(feeder.network(), False)
    solver.solve_load_flow(30, 1e-9)
    before = feeder.pv.get_powers(4), feeder.heater.get_powers(3)

    # One update of the shared object reaches every phase of both loads at the next solve.
    shared.update_parameters(1e4, -3000, 500)
    pv_powers = PV_POWERS * 0.9
    feeder.pv.update_powers(carray(pv_powers))
    v_old = feeder.bus1.get_potentials(4)
    # Before solving, get_powers applies the laws to the new requests at the old potentials.
    np.testing.assert_allclose(feeder.pv.get_powers(4), [
        shared.compute_power(abs(d), s) for d, s in zip(v_old[:3] - v_old[3], pv_powers)])
    solver.solve_load_flow(30, 1e-9)
    after = assert_feeder_laws(feeder, [shared] * 3, [shared] * 3, pv_powers, -HEATER_POWERS)
    for old, new in zip(before, after):
        assert np.all(np.abs(old.imag - new.imag) > 50)

    fresh_parameter = volt_var(q_max=500)
    fresh = make_feeder([fresh_parameter] * 3, [fresh_parameter] * 3, pv_powers, -HEATER_POWERS)
    fresh_solver = ce.CyNewton(fresh.network(), True)
    fresh_solver.solve_load_flow(30, 1e-9)
    np.testing.assert_allclose(fresh.bus1.get_potentials(4), feeder.bus1.get_potentials(4),
                               atol=1e-7)
    np.testing.assert_allclose(fresh.pv.get_powers(4), after[0], atol=1e-6)
    np.testing.assert_allclose(fresh.heater.get_powers(3), after[1], atol=1e-6)


def test_loads_keep_their_parameters_alive():
    class Traced(ce.CyFlexibleParameter):  # a Python subclass can be weakly referenced
        pass

    def build():
        control, production = volt_var_q(), volt_watt()
        projection = ce.CyProjection("euclidean", 1000, 1e-6)
        pv = Traced(production, control, projection, 1e4, -3000, 3000)
        heater = Traced(CONSTANT, control, projection, 1e4, -3000, 3000)
        return make_feeder([pv] * 3, [heater] * 3), weakref.ref(pv), weakref.ref(heater)

    feeder, *traces = build()  # controls, projection and parameters lose every name here
    gc.collect()
    assert all(trace() is not None for trace in traces)
    solver = ce.CyNewton(feeder.network(), False)
    solver.solve_load_flow(30, 1e-9)
    reference = make_feeder([volt_var()] * 3, [parameter(q=volt_var_q(), q_min=-3000,
                                                          q_max=3000)] * 3)
    reference_solver = ce.CyNewton(reference.network(), False)
    reference_solver.solve_load_flow(30, 1e-9)
    np.testing.assert_allclose(feeder.pv.get_powers(4), reference.pv.get_powers(4), atol=1e-6)
    np.testing.assert_allclose(feeder.heater.get_powers(3), reference.heater.get_powers(3),
                               atol=1e-6)
    del feeder, solver
    gc.collect()
    assert all(trace() is None for trace in traces)
