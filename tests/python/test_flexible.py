# CyControl, CyProjection, CyFlexibleParameter, CyFlexibleLoad and CyDeltaFlexibleLoad.

import itertools

import numpy as np
import pytest
from conftest import (A, SOLVERS, assert_kirchhoff, assert_law, assert_refusals, behind_line,
                      carray, objects, solve)

from tarvelo import cy_engine as ce

CONSTANT = ce.CyControl("constant", 0, 0, 0, 0, 1, 1)
PV_POWERS = np.array([-9000, -8000, -7000], dtype=complex)
HEATER_POWERS = np.array([-3000, -2000 - 500j, 2500], dtype=complex)


def parameter(p=CONSTANT, q=CONSTANT, projection="euclidean", s_max=1e4, q_min=0, q_max=0,
              alpha=1000.0, eps=1e-6):
    return ce.CyFlexibleParameter(p, q, ce.CyProjection(projection, alpha, eps), s_max, q_min,
                                  q_max)


def expected_power(u, s, p_law, q_law, projection, s_max, q_min, q_max):
    # The laws and projections in their textbook form: (name, u_min, u_down, u_up, u_max, alpha,
    # eps) and (name, alpha, eps).
    def step(a, b):
        return np.logaddexp(0, a) - np.logaddexp(0, b)

    def soft_sqrt(m):
        return np.sqrt(eps * np.exp(-m / eps) + m)

    def soft_min(x, y):
        wx, wy = np.exp(-0.15 * alpha * x), np.exp(-0.15 * alpha * y)
        return (x * wx + y * wy) / (wx + wy)

    p, q = s.real, s.imag
    name, u_min, u_down, u_up, u_max, alpha, eps = p_law
    if name == "p_max_u_production":
        a = (u_up + (p / s_max + 1) * (u_max - u_up)) / u_max
        d = alpha * (eps * np.exp(-(1 - a) / eps) + 1 - a)
        p = p * (1 + step(alpha * (u / u_max - 1), alpha * (u / u_max - a)) / d)
    elif name == "p_max_u_consumption":
        b = (u_down - (1 - p / s_max) * (u_down - u_min)) / u_min
        d = alpha * (eps * np.exp(-(b - 1) / eps) + b - 1)
        p = -p * step(alpha * (u / u_min - b), alpha * (u / u_min - 1)) / d
    name, u_min, u_down, u_up, u_max, alpha, eps = q_law
    if name == "q_u":
        x, m, dn, up = u / u_max, u_min / u_max, u_down / u_max, u_up / u_max
        lo = step(alpha * (x - dn), alpha * (x - m)) / (alpha * (m - dn)) - 1
        hi = step(alpha * (x - up), alpha * (x - 1)) / (alpha * (1 - up))
        q = q + lo * (q - q_min) + hi * (q_max - q)
    name, alpha, eps = projection
    pn, qn = p / s_max, q / s_max
    if name == "euclidean":
        f = 1 + np.logaddexp(0, alpha * (soft_sqrt(pn**2 + qn**2) - 1)) / alpha
        pn, qn = pn / f, qn / f
    elif name == "keep_q":
        pn = np.sign(s.real or 1) * soft_sqrt(soft_min(pn**2, 1 - qn**2))
    else:
        qn = np.tanh(alpha * qn) * soft_sqrt(soft_min(qn**2, 1 - pn**2))
    return complex(pn * s_max, qn * s_max)


def test_laws_and_projections_follow_their_formulas_at_moderate_steepness():
    laws = {"constant": ("constant", 0, 0, 0, 0, 1, 1),
            "production": ("p_max_u_production", 0, 0, 240, 250, 30, 0.05),
            "consumption": ("p_max_u_consumption", 200, 210, 0, 0, 30, 0.05),
            "q_u": ("q_u", 200, 210, 240, 250, 30, 0.05)}
    requests = (-5000 + 2000j, 4000 - 3000j, 9000 + 6000j, -1500 - 800j, 3000j)
    limits = (1e4, -5000, 4000)
    for (p_law, q_law), name in itertools.product(
            [("production", "q_u"), ("consumption", "constant"), ("constant", "q_u")],
            ["euclidean", "keep_q", "keep_p"]):
        projection = name, 8, 0.3
        flexible = ce.CyFlexibleParameter(*(ce.CyControl(*laws[law]) for law in (p_law, q_law)),
                                          ce.CyProjection(*projection), *limits)
        for u, s in itertools.product((150, 205, 230, 245, 255, 300), requests):
            expected = expected_power(u, s, laws[p_law], laws[q_law], projection, *limits)
            assert flexible.compute_power(u, s) == pytest.approx(expected, rel=1e-11, abs=1e-9)


def test_refusals_and_the_parameters_a_load_keeps():
    fixed, q_u = parameter(), ce.CyControl("q_u", 200, 210, 240, 250, 100, 1e-4)
    # Entries past the used ones are not looked at; without laws the requests come back.
    delta = ce.CyDeltaFlexibleLoad(3, carray([1, 2, 3, 4]), objects(fixed, fixed, fixed, 1.5))
    single, empty = ce.CyFlexibleLoad(2, carray([1]), objects(fixed)), ce.CyFlexibleLoad(1, None,
                                                                                          None)
    empty.update_power(5)  # nothing to change
    single.update_power(7 - 1j)
    delta.update_powers(carray([7, 8, 9]))
    assert single.get_powers(2)[0] == 7 - 1j and empty.get_powers(1).shape == (0,)
    np.testing.assert_array_equal(delta.get_powers(n=4)[:3], [7, 8, 9])
    load = ce.CyFlexibleLoad(2, carray([100]), objects(parameter(q_u)))
    assert_refusals([(call, RuntimeError, "Bad control type for P") for call in (
        lambda: parameter(q_u).compute_power(230, 100), lambda: load.get_powers(2),
        lambda: ce.CyNewton(behind_line([(load, 2)], [230]).network(), False))] + [
        (lambda: parameter(q=ce.CyControl("p_max_u_production", 0, 0, 240, 250, 1, 1))
         .compute_power(230, 100), RuntimeError, "Bad control type for Q"),
        (lambda: ce.CyControl("Constant", 0, 0, 0, 0, 1, 1), RuntimeError, "Constant is a bad ..."),
        (lambda: parameter(projection="keep_Q"), RuntimeError, "keep_Q is a bad projection ..."),
        (lambda: ce.CyControl(5, 0, 0, 0, 0, 1, 1), TypeError,
         "t: expected str, bytes or bytearray, got int"),
        (lambda: ce.CyProjection(3.0, 1, 1), TypeError,
         "t: expected str, bytes or bytearray, got float"),
        (lambda: ce.CyFlexibleParameter(None, CONSTANT, None, 1, 0, 0), TypeError,
         "Argument 'control_p' has incorrect type (expected ...CyControl, got NoneType)"),
        (lambda: ce.CyDeltaFlexibleLoad(3, carray([1, 2, 3]), objects(fixed, CONSTANT, fixed)),
         TypeError, "parameters[1]: expected ...CyFlexibleParameter, got ...CyControl"),
        (lambda: ce.CyFlexibleLoad(2, carray([1]), np.ones(1)), ValueError,
         "Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'double'"),
        (lambda: delta.get_powers(2), ValueError, "n: ...at least the load's port count 3, got 2")])
    # Without laws no projection applies, even above s_max. "keep_p" keeps P above s_max, which
    # leaves Q the square root of a negative number, infinite for a small epsilon: a solve fails.
    for name in ("euclidean", "keep_p", "keep_q"):
        assert parameter(projection=name, s_max=5000).compute_power(230, 6000) == 6000
    keep_p = parameter(q=ce.CyControl("q_u", 210, 220, 240, 250, 100, 1e-4), projection="keep_p",
                       s_max=5000, alpha=100, eps=1e-4)
    assert keep_p.compute_power(230, 6000 + 500j) == complex(6000, np.inf)
    over = ce.CyFlexibleLoad(4, carray([6000 + 500j] * 3), objects(*[keep_p] * 3))
    assert_refusals([(lambda: ce.CyNewton(behind_line([(over, 4)]).network(), False)
                      .solve_load_flow(20, 1e-9), RuntimeError,
                      "1 NaN value encountered at iteration 0. ")])


def volt_var(s_max=1e4, q_min=-3000, q_max=3000):  # gentle enough for the sweep's iteration
    return parameter(ce.CyControl("p_max_u_production", 0, 0, 240, 252, 20, 1e-4),
                     ce.CyControl("q_u", 200, 215, 240, 252, 20, 1e-4), s_max=s_max, q_min=q_min,
                     q_max=q_max)


def assert_flexible_laws(net, loads):
    # Kirchhoff; each load draws what get_powers reports, which its laws give at its voltages.
    assert_kirchhoff(net, atol=1e-7)
    for load, n, laws, requested in loads:
        dv = assert_law("power", load, load.get_powers(n), rtol=0, atol=1e-6)
        expected = [p.compute_power(abs(u), s) for p, u, s in zip(laws, dv, requested)]
        np.testing.assert_allclose(load.get_powers(n), expected, rtol=0, atol=1e-6)
    return np.concatenate([load.get_powers(n) for load, n, _, _ in loads])


# source(0..3) == bus1 == line ─ bus2(0..3) == PV inverter (star, 0..3), heater (delta, 0..2)
def test_feeder_shared_parameter_and_updates_equal_a_fresh_solver():
    # The heater produces on two phases, under the laws of the PV inverter, and consumes on one.
    shared, own, heating = volt_var(), volt_var(), parameter(ce.CyControl(
        "p_max_u_consumption", 400, 415, 0, 0, 200, 1e-4))
    laws = [shared, shared, own], [shared, shared, heating]
    loads = list(zip([ce.CyFlexibleLoad(4, carray(PV_POWERS), objects(*laws[0])),
                      ce.CyDeltaFlexibleLoad(3, carray(HEATER_POWERS), objects(*laws[1]))],
                     (4, 3), laws, (PV_POWERS, HEATER_POWERS)))
    feeder = behind_line([(load, n) for load, n, _, _ in loads], 240.0 * np.array([1, A, A**2]))
    solver = solve(feeder)
    before = assert_flexible_laws(feeder, loads)
    v = feeder.bus2.get_potentials(4)
    assert np.all(abs(v[:3] - v[3]) > 241)  # the PV raises the voltage and is curtailed
    assert np.all(before[:3].real > PV_POWERS.real + 2000) and np.all(before[:3].imag > 1000)
    # One update of the shared object reaches every phase that holds it, at the next solve.
    for changed in (shared, own):
        changed.update_parameters(9e3, -2000, 500)
    solver.solve_load_flow(30, 1e-9)
    after = assert_flexible_laws(feeder, loads)
    assert np.all(np.abs(after[:5].imag - before[:5].imag) > 50)
    fresh = volt_var(9e3, -2000, 500)  # what the update gave
    for u, s in itertools.product((205, 245, 251), PV_POWERS):
        assert shared.compute_power(u, s) == fresh.compute_power(u, s)
    solve(feeder, SOLVERS["sweep"])  # the sweep, from the stored potentials
    assert_flexible_laws(feeder, loads)
