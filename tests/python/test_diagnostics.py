"""The Jacobian diagnostics of CyAbstractNewton: residuals, Jacobian, Matrix Market files and the
elements behind empty columns and non-finite rows. The network is the feeder of conftest."""

import os
import re

import numpy as np
import pytest
import scipy.io
from conftest import build_feeder, carray

from tarvelo import cy_engine as ce

NUMBER = r"-?\d\.\d{17}e[+-]\d{2,3}"


def test_residuals_and_jacobian_are_those_of_the_equations():
    feeder = build_feeder()
    solver = ce.CyNewton(feeder.network(), False)
    x = solver.get_variables()
    n = x.size
    jacobian = solver.get_jacobian()
    assert jacobian.shape == (n, n) and jacobian.dtype == np.float64
    residuals = solver.get_residuals()
    assert residuals.shape == (n,) and np.max(np.abs(residuals)) > 1.0

    # Entry [i, j] is dF_i / dx_j: central differences over a few unknowns of each kind (node
    # potentials, loaded and not, and the source's currents at the end).
    for j in (0, 1, 7, 40, 101, n - 6, n - 1):
        step = np.zeros(n)
        step[j] = 1e-4
        solver.set_variables(x + step)
        upper = solver.get_residuals()
        solver.set_variables(x - step)
        lower = solver.get_residuals()
        np.testing.assert_allclose(jacobian[:, j], (upper - lower) / 2e-4, rtol=1e-6, atol=1e-7)
    solver.set_variables(x)

    # After a converged solve the residuals are those the solve reported, at its final point.
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert iterations >= 2
    assert np.max(np.abs(solver.get_residuals())) == residual
    assert not np.allclose(solver.get_jacobian(), jacobian)


def test_save_matrix_writes_the_jacobian_and_residuals_as_matrix_market(tmp_path):
    feeder = build_feeder()
    solver = ce.CyNewtonGoldstein(feeder.network(), True, 0.1, 0.9)
    solver.solve_load_flow(1, 1e-10)  # one step: the residuals are not yet zero
    prefix = tmp_path / "feeder"
    assert solver.save_matrix(str(prefix)) is None
    assert sorted(os.listdir(tmp_path)) == ["feeder.mtx", "feeder_b.mtx"]
    n = solver.get_variables().size

    lines = (tmp_path / "feeder.mtx").read_text().splitlines()
    assert lines[0] == "%%MatrixMarket matrix coordinate  real general"
    rows, cols, stored = map(int, lines[1].split(" "))
    assert (rows, cols) == (n, n) and stored == len(lines) - 2
    entries = [re.fullmatch(rf"(\d+) (\d+) ({NUMBER})", line) for line in lines[2:]]
    assert all(entries)
    order = [(int(e[2]), int(e[1])) for e in entries]  # column by column, rows ascending
    assert order == sorted(order) and order[0] >= (1, 1) and order[-1] <= (n, n)
    jacobian = solver.get_jacobian()
    assert stored >= np.count_nonzero(jacobian)
    read_back = scipy.io.mmread(tmp_path / "feeder.mtx", spmatrix=False).toarray()
    np.testing.assert_allclose(read_back, jacobian, rtol=1e-12, atol=1e-12)

    lines = (tmp_path / "feeder_b.mtx").read_text().splitlines()
    assert lines[:2] == ["%%MatrixMarket matrix array real general", f"{n} 1"]
    assert len(lines) == n + 2 and all(re.fullmatch(NUMBER, line) for line in lines[2:])
    residuals = solver.get_residuals()
    assert np.max(np.abs(residuals)) > 1e-6
    np.testing.assert_array_equal(scipy.io.mmread(tmp_path / "feeder_b.mtx").ravel(), residuals)

    # Files are overwritten; a prefix given as bytes is taken byte for byte.
    solver.solve_load_flow(20, 1e-10)
    solver.save_matrix(os.fsencode(prefix))
    np.testing.assert_array_equal(scipy.io.mmread(tmp_path / "feeder_b.mtx").ravel(),
                                  solver.get_residuals())

    # A file that cannot be created is an error naming it, never a silent success.
    missing = tmp_path / "missing" / "feeder"
    with pytest.raises(OSError, match=re.escape(f"{missing}.mtx")):
        solver.save_matrix(prefix=str(missing))
    assert not (tmp_path / "missing").exists()


def test_analyse_jacobian_names_the_elements_behind_the_faults():
    """
    feeder (elements 0 .. m-1) + lonely: a bus of one port joined to nothing, listed last.
    """
    feeder = build_feeder()
    lonely = ce.CyBus(1, carray([1.0]))
    solver = ce.CyNewton(feeder.network(extra=[lonely]), False)
    assert solver.analyse_jacobian() == ([len(feeder.elements)], [])

    # A loaded bus starting at 0 V: its load's currents are not finite, nor are the rows of the
    # bus's nodes. The solve fails at once, and the load is named.
    feeder = build_feeder()
    dead_bus = feeder.buses[12]
    dead_bus.initialize_potentials(carray(np.zeros(4)))
    solver = ce.CyNewton(feeder.network(), False)
    with pytest.raises(RuntimeError) as failure:
        solver.solve_load_flow(10, 1e-10)
    assert str(failure.value) == "1 NaN value encountered at iteration 0. "
    load = next(star for star, bus, _ in feeder.stars if bus is dead_bus)
    delta = next(delta for delta, bus, _ in feeder.deltas if bus is dead_bus)
    positions = [feeder.elements.index(load), feeder.elements.index(delta)]
    assert solver.analyse_jacobian() == ([], sorted(positions))
    assert not np.all(np.isfinite(solver.get_residuals()))

    # A healthy feeder has neither.
    feeder = build_feeder()
    solver = ce.CyNewton(feeder.network(), True)
    solver.solve_load_flow(20, 1e-10)
    empty, non_finite = solver.analyse_jacobian()
    assert (empty, non_finite) == ([], []) and isinstance(empty, list)


def test_diagnostics_refused_on_a_bare_solver_and_their_signatures():
    bare = ce.CyAbstractNewton("ignored", key=1)
    for call in (lambda: bare.save_matrix("x"), bare.get_jacobian, bare.get_residuals,
                 bare.analyse_jacobian):
        with pytest.raises(TypeError, match="holds no engine object"):
            call()
    solver = ce.CyNewton(build_feeder().network(), False)
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        solver.get_jacobian(1)
    with pytest.raises(TypeError, match="expected str, bytes or bytearray"):
        solver.save_matrix(None)
    empty = ce.CyNewton(ce.CyElectricalNetwork(None, 0), False)
    assert empty.get_jacobian().shape == (0, 0) and empty.get_residuals().shape == (0,)
    assert empty.analyse_jacobian() == ([], [])
    for name, signature in (("save_matrix", "(self, string prefix)"), ("get_jacobian", "(self)"),
                            ("get_residuals", "(self)"), ("analyse_jacobian", "(self)")):
        assert getattr(ce.CyAbstractNewton, name).__doc__ == f"CyAbstractNewton.{name}{signature}"
