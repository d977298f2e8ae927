# The Jacobian diagnostics of CyAbstractNewton, on the feeder of conftest.

import os
import re

import numpy as np
import pytest
import scipy.io
from conftest import assert_refusals, build_feeder, carray

from tarvelo import cy_engine as ce

NUMBER = r"-?\d\.\d{17}e[+-]\d{2,3}"


def test_save_matrix_writes_the_jacobian_and_residuals_as_matrix_market(tmp_path):
    solver = ce.CyNewtonGoldstein(build_feeder().network(), True, 0.1, 0.9)
    n = solver.get_variables().size
    solver.solve_load_flow(1, 1e-10)  # one step: the residuals are not yet zero
    assert solver.save_matrix(str(tmp_path / "feeder")) is None
    assert sorted(os.listdir(tmp_path)) == ["feeder.mtx", "feeder_b.mtx"]
    lines = (tmp_path / "feeder.mtx").read_text().splitlines()
    assert lines[0] == "%%MatrixMarket matrix coordinate  real general"
    assert lines[1] == f"{n} {n} {len(lines) - 2}"
    entries = [re.fullmatch(rf"(\d+) (\d+) ({NUMBER})", line) for line in lines[2:]]
    order = [(int(e[2]), int(e[1])) for e in entries]  # column by column, rows ascending
    assert order == sorted(order) and order[0] >= (1, 1) and order[-1] <= (n, n)
    read_back = scipy.io.mmread(tmp_path / "feeder.mtx", spmatrix=False).toarray()
    np.testing.assert_allclose(read_back, solver.get_jacobian(), rtol=1e-12, atol=1e-12)
    lines = (tmp_path / "feeder_b.mtx").read_text().splitlines()
    assert lines[:2] == ["%%MatrixMarket matrix array real general", f"{n} 1"]
    assert len(lines) == n + 2 and all(re.fullmatch(NUMBER, line) for line in lines[2:])
    np.testing.assert_array_equal(scipy.io.mmread(tmp_path / "feeder_b.mtx").ravel(),
                                  solver.get_residuals())
    # After a converged solve the residuals are those the solve reported. Files are
    # overwritten; a prefix given as bytes is taken byte for byte.
    residual = solver.solve_load_flow(20, 1e-10)[1]
    solver.save_matrix(os.fsencode(tmp_path / "feeder"))
    read_back = scipy.io.mmread(tmp_path / "feeder_b.mtx").ravel()
    np.testing.assert_array_equal(read_back, solver.get_residuals())
    assert np.max(np.abs(read_back)) == residual
    # A file that cannot be created is an error naming it and the system's reason.
    missing = tmp_path / "missing" / "feeder"
    assert_refusals([(lambda: solver.save_matrix(prefix=str(missing)), OSError,
                      f"cannot write the file {missing}.mtx: No such file or directory")])
    assert not (tmp_path / "missing").exists()


# feeder (elements 0 .. m-1) + lonely: a bus of one port joined to nothing, listed last.
def test_analyse_jacobian_names_the_elements_behind_the_faults():
    feeder = build_feeder()
    solver = ce.CyNewton(feeder.network(extra=[ce.CyBus(1, carray([1.0]))]), False)
    assert solver.analyse_jacobian() == ([len(feeder.elements)], [])
    # A loaded bus starting at 0 V: its loads' currents are not finite, nor are the rows of the
    # bus's nodes. The solve fails at once, and the loads are named.
    feeder = build_feeder()
    dead_bus = feeder.buses[12]
    dead_bus.initialize_potentials(carray(np.zeros(4)))
    solver = ce.CyNewton(feeder.network(), False)
    with pytest.raises(RuntimeError) as failure:
        solver.solve_load_flow(10, 1e-10)
    assert str(failure.value) == "1 NaN value encountered at iteration 0. "
    named = [feeder.elements.index(load) for load, bus, _ in feeder.loads if bus is dead_bus]
    assert len(named) == 2 and solver.analyse_jacobian() == ([], named)
    assert not np.all(np.isfinite(solver.get_residuals()))
    dead_bus.initialize_potentials(carray(feeder.buses[11].get_potentials(4)))
    solver.solve_load_flow(20, 1e-10)  # a healthy feeder has neither
    assert solver.analyse_jacobian() == ([], [])
