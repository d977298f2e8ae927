"""CyTransformer, CyThreePhaseTransformer, CySingleTransformer, CyCenterTransformer and
CySingleVoltageRegulator."""

import pickle
import numpy as np
import pytest
from conftest import A, assert_node_potentials_agree, carray, node_current_sums

from tarvelo import cy_engine as ce

SQRT3 = 1.7320508075688772
SWEEP_REFUSED = "2 No backward-forward method has been defined for transformers yet."
needs_sweep = pytest.mark.skipif(not hasattr(ce, "CyBackwardForward"),
                                 reason="no backward-forward solver in this build")

# Catalogue of a 160 kVA 20 kV / 400 V distribution transformer.
UHV, ULV, SN = 20e3, 400.0, 160e3
P0, I0, PSC, VSC = 460.0, 0.023, 2350.0, 0.04


def series_impedance(ulv=ULV, sn=SN, psc=PSC, vsc=VSC):
    """z2 of a star (or two-winding) low-voltage side from its short-circuit figures."""
    r = psc * ulv**2 / sn**2
    return r + 1j * np.sqrt((vsc * ulv**2 / sn) ** 2 - r**2)


def magnetising_admittance(windings, uhv=UHV, sn=SN, p0=P0, i0=I0):
    """ym of each of `windings` windings that carry the full rated voltage `uhv`."""
    g = p0 / (windings * uhv**2)
    return g - 1j * np.sqrt((i0 * sn / (windings * uhv**2)) ** 2 - g**2)


Z2, YM_DELTA = series_impedance(), magnetising_admittance(3)
K_DYN = ULV / (SQRT3 * UHV)  # a delta winding sees the line voltage
HV_PHASES = UHV / SQRT3 * np.array([1, A, A**2])
LV_SHIFT = np.exp(-11j * np.pi / 6)  # clock 11: 330 degrees behind
LV_LOADS = np.array([30e3 + 5e3j, 20e3 + 2e3j, 40e3 - 1e3j])
LV_DELTA_LOADS = np.array([10e3 + 1e3j, 0, 15e3 + 3e3j])


def dyn11(z2=Z2, ym=YM_DELTA, k=K_DYN):
    return ce.CyThreePhaseTransformer(3, 4, "D", "y", z2, ym, k, 11)


class Dyn11Network:
    """A 20 kV source feeding a four-wire LV bus through a Dyn11 transformer.

    source(0..3) == hv(0..3) ─ hv(0..2) == side 1 (D) ┐        ┌ side 2 (yn) == lv(0..3)
          │ hv(3)                                      trafo ─┘     lv(0..3) == star(0..3)
       PotentialRef                                       lv(0..2) == delta(0..2)
                                                          lv(3) ── PotentialRef
    """

    def __init__(self, star=LV_LOADS, delta=LV_DELTA_LOADS):
        self.star, self.delta = star, delta
        self.source = ce.CyVoltageSource(4, carray(HV_PHASES))
        self.pref_hv, self.pref_lv = ce.CyPotentialRef(), ce.CyPotentialRef()
        self.hv = ce.CyBus(4, carray(list(HV_PHASES) + [0]))
        self.trafo = dyn11()
        self.lv = ce.CyBus(4, carray(list(0.95 * ULV / SQRT3 * np.array([1, A, A**2]) *
                                          LV_SHIFT) + [0]))
        self.star_load = ce.CyPowerLoad(4, carray(self.star))
        self.delta_load = ce.CyDeltaPowerLoad(3, carray(self.delta))
        self.hv.connect(self.source, [(i, i) for i in range(4)])
        self.hv.connect(self.pref_hv, [(3, 0)])
        self.trafo.connect_side(self.hv, [(i, i) for i in range(3)], True)
        self.trafo.connect_side(self.lv, [(i, i) for i in range(4)], False)
        self.lv.connect(self.star_load, [(i, i) for i in range(4)])
        self.lv.connect(self.delta_load, [(i, i) for i in range(3)])
        self.lv.connect(self.pref_lv, [(3, 0)])
        self.elements = [self.source, self.pref_hv, self.hv, self.trafo, self.lv,
                         self.star_load, self.delta_load, self.pref_lv]
        self.nodes = [[(self.source, k), (self.hv, k), (self.trafo, k)] for k in range(3)]
        self.nodes.append([(self.source, 3), (self.hv, 3), (self.pref_hv, 0)])
        self.nodes += [[(self.trafo, 3 + k), (self.lv, k), (self.star_load, k),
                        (self.delta_load, k)] for k in range(3)]
        self.nodes.append([(self.trafo, 6), (self.lv, 3), (self.star_load, 3),
                           (self.pref_lv, 0)])

    def network(self):
        return ce.CyElectricalNetwork(np.array(self.elements, dtype=object), len(self.elements))

    def assert_kirchhoff(self):
        np.testing.assert_allclose(node_current_sums(self.nodes), 0, atol=1e-7)
        assert_node_potentials_agree(self.nodes)

    def assert_loads(self):
        v = self.lv.get_potentials(4)
        i_star = self.star_load.get_currents(4)
        np.testing.assert_allclose((v[:3] - v[3]) * np.conj(i_star[:3]), self.star, atol=1e-5)
        j = self.delta_load.get_inner_currents(3)
        np.testing.assert_allclose((v[:3] - np.roll(v[:3], -1)) * np.conj(j), self.delta,
                                   atol=1e-5)


def test_dyn11_at_no_load_turns_hv_phases_into_lv_phases_330_degrees_behind():
    net = Dyn11Network(star=np.zeros(3), delta=np.zeros(3))
    solver = ce.CyNewton(net.network(), False)  # reads fall back to stored values once it dies
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert residual <= 1e-10
    net.assert_kirchhoff()
    v1, v2 = net.trafo.get_side_potentials(3, 4)
    np.testing.assert_allclose(v1, HV_PHASES, rtol=1e-12)
    phases = v2[:3] - v2[3]
    np.testing.assert_allclose(phases, ULV / UHV * HV_PHASES * LV_SHIFT, rtol=1e-9)
    lag = np.degrees(np.angle(v1 / phases)) % 360
    np.testing.assert_allclose(lag, 330, atol=1e-7)
    # The LV side carries nothing; the HV side takes the catalogue's no-load losses and current.
    i1, i2 = net.trafo.get_side_currents(3, 4)
    np.testing.assert_allclose(i2, 0, atol=1e-9)
    assert np.sum(v1 * np.conj(i1)).real == pytest.approx(P0, rel=1e-9)
    np.testing.assert_allclose(np.abs(i1) / (SN / (SQRT3 * UHV)), I0, rtol=1e-9)


@pytest.mark.parametrize("make_solver", [lambda n: ce.CyNewton(n, True),
                                         lambda n: ce.CyNewtonGoldstein(n, False, 0.1, 0.9)],
                         ids=["newton", "goldstein"])
def test_dyn11_loaded_obeys_kirchhoff_and_loses_power_in_z2_only(make_solver):
    net = Dyn11Network()
    net.trafo.update_transformer_parameters(Z2, 0, K_DYN)  # before any solver: stored values
    solver = make_solver(net.network())
    iterations, residual = solver.solve_load_flow(20, 1e-10)
    assert residual <= 1e-10
    net.assert_kirchhoff()
    net.assert_loads()
    v, i = net.trafo.get_potentials(7), net.trafo.get_currents(7)
    np.testing.assert_allclose(i[6], -np.sum(i[3:6]), atol=1e-9)  # the LV neutral returns them
    losses = Z2 * np.sum(np.abs(i[3:6]) ** 2)  # the LV winding currents are the phase currents
    assert abs(np.sum(v * np.conj(i)) - losses) < 1e-6 * abs(losses)


def test_transformer_updates_between_solves_equal_a_fresh_solver():
    net = Dyn11Network()
    network = net.network()
    solver = ce.CyNewton(network, False)
    solver.solve_load_flow(20, 1e-10)
    before = net.lv.get_potentials(4)

    # A 2.5 % higher ratio; the three-phase model ignores the imaginary part of k.
    net.trafo.update_transformer_parameters(1.5 * Z2, 2 * YM_DELTA, 1.025 * K_DYN + 0.3j)
    solver.solve_load_flow(20, 1e-10)
    after = net.lv.get_potentials(4)
    assert np.min(np.abs(after[:3]) - np.abs(before[:3])) > 3
    net.assert_kirchhoff()
    net.assert_loads()

    net.trafo.update_transformer_parameters(1.5 * Z2, 2 * YM_DELTA, 1.025 * K_DYN)
    fresh = ce.CyNewton(network, False)
    fresh.solve_load_flow(20, 1e-10)
    np.testing.assert_allclose(net.lv.get_potentials(4), after, atol=1e-8)


def test_winding_names_and_port_counts_are_refused():
    for whv, wlv, text in (("Y", "D", "Bad LV winding: D"), ("YN", "D", "Bad HV winding: YN"),
                           ("y", "y", "Bad HV winding: y"), ("", "y", "Bad HV winding: "),
                           ("D", "yn", "Bad LV winding: yn")):
        with pytest.raises(RuntimeError) as caught:
            ce.CyThreePhaseTransformer(4, 4, whv, wlv, Z2, 0, 0.5, 11)
        assert str(caught.value) == text
    for n1, n2, whv, wlv, wrong in ((4, 4, "D", "y", 'HV winding "D" needs 3 ports, got 4'),
                                    (3, 3, "D", "y", 'LV winding "y" needs 4 ports, got 3'),
                                    (4, 3, "Y", "z", 'LV winding "z" needs 4 ports, got 3')):
        with pytest.raises(ValueError) as caught:
            ce.CyThreePhaseTransformer(n1, n2, whv, wlv, Z2, 0, 0.5, 11)
        assert str(caught.value) == "ThreePhaseTransformer: " + wrong
    # Strings as str, bytes or bytearray; k is real where the model's ratio is.
    ce.CyThreePhaseTransformer(n1=3, n2=3, whv=b"D", wlv=bytearray(b"d"), z2=Z2, ym=0, k=1,
                               clock=0)
    with pytest.raises(TypeError):
        ce.CyThreePhaseTransformer(3, 4, "D", "y", Z2, 0, 0.5j, 11)
    with pytest.raises(TypeError):
        ce.CyCenterTransformer(Z2, 0, 0.5j)
    with pytest.raises(TypeError, match=r"takes exactly 8 positional arguments \(7 given\)"):
        ce.CyThreePhaseTransformer(3, 4, "D", "y", Z2, 0, 0.5)


# Each model built from the catalogue: a star HV winding sees uhv / sqrt(3), a delta one uhv.
TESTED_MODELS = {
    "Dyn11": lambda: dyn11(),
    "Yzn11": lambda: ce.CyThreePhaseTransformer(4, 4, "Y", "z", series_impedance(),
                                                magnetising_admittance(1), ULV / UHV / SQRT3,
                                                11),
    "single": lambda: ce.CySingleTransformer(series_impedance(), magnetising_admittance(1),
                                             ULV / UHV * np.exp(0.4j)),
    "centre": lambda: ce.CyCenterTransformer(series_impedance(), magnetising_admittance(1),
                                             ULV / UHV),
}


@pytest.mark.parametrize("make", TESTED_MODELS.values(), ids=TESTED_MODELS.keys())
def test_open_and_short_circuit_tests_give_back_the_catalogue(make):
    transformer = make()
    losses, current = transformer.compute_open_circuit_parameters(UHV, ULV, SN)
    assert (losses, current) == pytest.approx((P0, I0), rel=1e-9)
    # The short-circuit test also feeds the magnetising branch at vsc times the rated voltage.
    losses, vsc = transformer.compute_short_circuit_parameters(uhv=UHV, ulv=ULV, sn=SN)
    assert (losses, vsc) == pytest.approx((PSC + P0 * VSC**2, VSC), rel=1e-9)


def test_short_circuit_of_a_delta_lv_side_and_tests_on_a_linked_transformer():
    dyn, dd = dyn11(), ce.CyThreePhaseTransformer(3, 3, "D", "d", Z2, YM_DELTA, ULV / UHV, 0)
    assert dd.compute_short_circuit_parameters(UHV, ULV, SN)[1] == pytest.approx(VSC / 3)
    assert dyn.compute_short_circuit_parameters(UHV, ULV, SN)[1] == pytest.approx(VSC)

    net = Dyn11Network()
    solver = ce.CyNewton(net.network(), False)
    solver.solve_load_flow(20, 1e-10)
    net.trafo.compute_open_circuit_parameters(UHV, ULV, SN)
    # The test potentials are now the solver's own: the LV bus and the solver's unknowns (the
    # three HV phase nodes, then the three LV phase nodes) hold the no-load LV voltages.
    no_load = ULV / UHV * HV_PHASES * LV_SHIFT
    np.testing.assert_allclose(net.lv.get_potentials(3), no_load, rtol=1e-12)
    variables = solver.get_variables()
    np.testing.assert_allclose(variables[6:12:2] + 1j * variables[7:12:2], no_load, rtol=1e-12)


def single_phase_network(branch, voltage, power, lv_ports=2):
    """source(0) == bus1(0) == side 1 (0)     side 2 (0) == bus2(0) == load(0)
       source(1) == bus1(1) == side 1 (1)     side 2 (last) == bus2(1) == load(1) == PotentialRef
                         └ PotentialRef
    A centre-tapped side 2 has its end b left open (no load on it)."""
    source, bus1 = ce.CyVoltageSource(2, carray([voltage])), ce.CyBus(2, carray([voltage, 0]))
    pref1, pref2 = ce.CyPotentialRef(), ce.CyPotentialRef()
    bus2, load = ce.CyBus(2, carray([0.9 * voltage, 0])), ce.CyPowerLoad(2, carray([power]))
    bus1.connect(source, [(0, 0), (1, 1)])
    bus1.connect(pref1, [(1, 0)])
    branch.connect_side(bus1, [(0, 0), (1, 1)], True)
    branch.connect_side(bus2, [(0, 0), (lv_ports - 1, 1)], False)
    bus2.connect(load, [(0, 0), (1, 1)])
    bus2.connect(pref2, [(1, 0)])
    elements = [source, pref1, bus1, branch, bus2, load, pref2]
    network = ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    return network, bus2, load


def two_winding_law(branch, k, z2, ym):
    """Returns the residuals of I2 = (U2 - k U1) / z2 and I1 = ym U1 - conj(k) I2."""
    v, i = branch.get_potentials(4), branch.get_currents(4)
    u1, u2 = v[0] - v[1], v[2] - v[3]
    return (abs(i[2] - (u2 - k * u1) / z2), abs(i[0] - (ym * u1 - np.conj(k) * i[2])),
            abs(i[0] + i[1]) + abs(i[2] + i[3]))


def test_single_phase_and_centre_tapped_transformers_under_newton():
    k, z2, ym = 0.5 * np.exp(0.3j), 0.05 + 0.1j, 1e-4 - 5e-4j
    single = ce.CySingleTransformer(z2, ym, k)
    network, bus2, load = single_phase_network(single, 460, 2000 + 500j)
    solver = ce.CyNewton(network, False)
    solver.solve_load_flow(20, 1e-10)
    assert max(two_winding_law(single, k, z2, ym)) < 1e-9  # the imaginary part of k counts
    v = bus2.get_potentials(2)
    assert (v[0] - v[1]) * np.conj(load.get_currents(1)[0]) == pytest.approx(2000 + 500j)

    # With ym = 0, what enters through all five ports is the loss in the half windings.
    centre = ce.CyCenterTransformer(z2, 0, 0.5)
    network, bus2, load = single_phase_network(centre, 460, 2000 + 500j, lv_ports=3)
    solver = ce.CyNewton(network, False)
    solver.solve_load_flow(20, 1e-10)
    v, i = centre.get_potentials(5), centre.get_currents(5)
    assert abs(np.sum(i[2:])) < 1e-12 and abs(i[3]) < 1e-9  # end b is open
    losses = z2 / 2 * (abs(i[2]) ** 2 + abs(i[3]) ** 2)
    assert abs(np.sum(v * np.conj(i)) - losses) < 1e-8
    assert abs((v[2] - v[4]) - (0.25 * (v[0] - v[1]) + z2 / 2 * i[2])) < 1e-9


REGULATOR = dict(z2=0.02 + 0.04j, ym=1e-5 - 1e-4j, u_ref=230.0, u_range=0.1, alpha=10.0,
                 phi=0.0)


def regulator_solvers():
    yield "newton", lambda network: ce.CyNewton(network, False)
    if hasattr(ce, "CyBackwardForward"):
        yield "sweep", ce.CyBackwardForward


@pytest.mark.parametrize("make_solver", [s for _, s in regulator_solvers()],
                         ids=[name for name, _ in regulator_solvers()])
def test_regulator_raises_a_low_voltage_towards_u_ref(make_solver):
    regulator = ce.CySingleVoltageRegulator(**REGULATOR)
    network, bus2, load = single_phase_network(regulator, 207, 5000 + 1000j)
    solver = make_solver(network)
    iterations, residual = solver.solve_load_flow(100, 1e-10)
    assert residual <= 1e-10
    v = bus2.get_potentials(2)
    u2 = abs(v[0] - v[1])
    tap = regulator.get_tap()
    assert 215 < u2 < 230 and 1 < tap <= 1.1
    assert tap == regulator.compute_tap(u2)
    laws = two_winding_law(regulator, tap, REGULATOR["z2"], REGULATOR["ym"])
    assert max(laws) < 1e-8
    assert (v[0] - v[1]) * np.conj(load.get_currents(1)[0]) == pytest.approx(5000 + 1000j)

    # A higher reference between two solves of one solver, then a fresh solver.
    regulator.update_parameters(REGULATOR["z2"], REGULATOR["ym"], u_ref=250)
    solver.solve_load_flow(100, 1e-10)
    raised = bus2.get_potentials(2)
    assert abs(raised[0] - raised[1]) > u2 + 3 and regulator.get_tap() > tap
    fresh = make_solver(network)
    fresh.solve_load_flow(100, 1e-10)
    np.testing.assert_allclose(bus2.get_potentials(2), raised, atol=1e-7)


def test_regulator_tap_law_and_joined_neutrals():
    regulator = ce.CySingleVoltageRegulator(**REGULATOR)
    assert regulator.compute_tap(230) == 1.0
    assert regulator.compute_tap(u_out=207) == pytest.approx(1.0761594155955765, rel=1e-15)
    assert regulator.compute_tap(253) == pytest.approx(0.9238405844044235, rel=1e-15)
    assert 0.9 <= regulator.compute_tap(1e9) and regulator.compute_tap(0) <= 1.1
    regulator.update_parameters(0.1, 0, 200)
    assert regulator.compute_tap(200) == 1.0
    bus = ce.CyBus(1, carray([7]))
    regulator.connect(bus, [(3, 0)])  # the side-1 neutral shares that node
    assert regulator.get_port_potential(1) == regulator.get_port_potential(3)


@needs_sweep
def test_a_sweep_refuses_three_phase_and_centre_tapped_transformers():
    net = Dyn11Network()
    with pytest.raises(RuntimeError) as caught:
        ce.CyBackwardForward(net.network()).solve_load_flow(10, 1e-8)
    assert str(caught.value) == SWEEP_REFUSED
    network, _, _ = single_phase_network(ce.CyCenterTransformer(Z2, 0, 0.5), 460, 100, 3)
    with pytest.raises(RuntimeError) as caught:
        ce.CyBackwardForward(network).solve_load_flow(10, 1e-8)
    assert str(caught.value) == SWEEP_REFUSED


def test_base_class_pickling_and_signatures():
    bare = ce.CyTransformer(1, x=2)
    assert issubclass(ce.CyTransformer, ce.CyBranch)
    assert issubclass(ce.CySingleVoltageRegulator, ce.CyBranch)
    assert not issubclass(ce.CySingleVoltageRegulator, ce.CyTransformer)
    for call in (lambda: bare.update_transformer_parameters(1, 1, 1),
                 lambda: bare.compute_open_circuit_parameters(1, 1, 1),
                 lambda: bare.get_side_currents(0, 0)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError, match="^self.element cannot be converted to a Python object "
                       "for pickling$"):
        pickle.dumps(bare)
    for obj in (dyn11(), ce.CySingleTransformer(1, 0, 1), ce.CyCenterTransformer(1, 0, 1),
                ce.CySingleVoltageRegulator(**REGULATOR)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial "
                           "__cinit__$"):
            pickle.dumps(obj)
    assert ce.CyTransformer.compute_short_circuit_parameters.__doc__ == (
        "CyTransformer.compute_short_circuit_parameters(self, double uhv, double ulv, double sn)")
    assert ce.CySingleVoltageRegulator.update_parameters.__doc__ == (
        "CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex ym,"
        " double u_ref)")
    assert ce.CySingleVoltageRegulator.get_tap.__doc__ == "CySingleVoltageRegulator.get_tap(self)"
