// Transformers and the voltage regulator: vector groups, power balance, catalogue tests,
// regulation, parameter updates and the sweep.
#include "elements/transformer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "elements/load.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using checks::balanced_voltages;
using checks::drawn_power;
using checks::expect_kirchhoff;
using checks::power_in;

constexpr double kTolerance = 1e-10;
constexpr double kPi = std::numbers::pi;
constexpr double kRoot3 = 1.7320508075688772;

void expect_close(const Complex& actual, const Complex& expected, double relative = 1e-8) {
  EXPECT_LE(std::abs(actual - expected), relative * std::max(1.0, std::abs(expected)))
      << "actual " << actual << ", expected " << expected;
}

std::vector<std::pair<int, int>> same_ports(int n) {
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < n; ++i) pairs.emplace_back(i, i);
  return pairs;
}

std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
  std::vector<Complex> v;
  for (const auto& node : network.all_connections) v.push_back(plain_potential(*node));
  return v;
}

// Series impedance and magnetising admittance from catalogue figures; a delta winding takes
// three times the star impedance (lv_share) and sees the line voltage (hv_share).
struct Catalogue {
  double uhv, ulv, sn, p0, i0, psc, vsc;

  Complex z2(double lv_share = 1.0) const {
    const double r = psc * ulv * ulv / (sn * sn), z = vsc * ulv * ulv / sn;
    return lv_share * Complex(r, std::sqrt(z * z - r * r));
  }
  Complex ym(double hv_share = 1.0) const {
    const double g = p0 / (hv_share * uhv * uhv), y = i0 * sn / (hv_share * uhv * uhv);
    return {g, -std::sqrt(y * y - g * g)};
  }
};
const Catalogue kCatalogue{20000.0, 400.0, 160e3, 460.0, 0.023, 2350.0, 0.04};

//   src ══ [whv  T  wlv] ══ bus         (no load)
//    │n               │n, or a delta reference
//   ref              ref
TEST(TransformerVectorGroups, NoLoadVoltagesLagByTheClock) {
  struct Group {
    const char *whv, *wlv;
    int clock;
    double ratio;  // phase-to-neutral magnitude ratio per unit of k
  };
  const double k = 0.02;
  for (const Group g :
       {Group{"D", "y", 11, kRoot3}, Group{"D", "y", 5, kRoot3}, Group{"D", "y", 1, kRoot3},
        Group{"Y", "y", 0, 1.0}, Group{"Y", "y", 6, 1.0}, Group{"Y", "d", 11, 1.0 / kRoot3},
        Group{"Y", "z", 11, kRoot3}, Group{"D", "d", 0, 1.0}}) {
    SCOPED_TRACE(std::string(g.whv) + g.wlv + std::to_string(g.clock));
    const int n1 = g.whv[0] == 'Y' ? 4 : 3, n2 = g.wlv[0] == 'd' ? 3 : 4;
    const auto hv = balanced_voltages(20000.0 / kRoot3);
    VoltageSource src(4, hv.data());
    PotentialRef ref_hv, ref_lv;
    DeltaPotentialRef delta_ref(3);
    ThreePhaseTransformer t(n1, n2, g.whv, g.wlv, {0.01, 0.04}, {1e-7, -1e-6}, k, g.clock);
    Bus bus(n2);
    src.connect(ref_hv, {{3, 0}});
    t.connect_side(src, same_ports(n1), true);
    t.connect_side(bus, same_ports(n2), false);
    Element* lv_ref = &ref_lv;
    if (n2 == 4) {
      bus.connect(ref_lv, {{3, 0}});
    } else {
      bus.connect(delta_ref, same_ports(3));
      lv_ref = &delta_ref;
    }
    ElectricalNetwork network({&src, &ref_hv, &t, &bus, lv_ref});
    Newton newton(&network, false);
    EXPECT_LT(newton.solve_load_flow(10, kTolerance).second, kTolerance);
    expect_kirchhoff(network, 1e-9);
    const Complex lag = std::polar(k * g.ratio, -g.clock * kPi / 6.0);
    for (int p = 0; p < 3; ++p) expect_close(bus.get_port_potential(p), lag * hv[p]);
  }
}

TEST(TransformerVectorGroups, WindingMatrices) {
  using M = Eigen::Matrix3d;
  const M i = M::Identity(), r = (M() << 0, 0, 1, 1, 0, 0, 0, 1, 0).finished();
  const Eigen::MatrixXd s =
      (Eigen::MatrixXd(3, 4) << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1).finished();
  auto make = [](int n1, int n2, const char* whv, const char* wlv, int clock) {
    return std::make_unique<ThreePhaseTransformer>(n1, n2, whv, wlv, 0.01, 0.0, 0.5, clock);
  };
  const auto dy11 = make(3, 4, "D", "y", 11);
  EXPECT_EQ(dy11->hv_winding, Eigen::MatrixXd(i - r.transpose()));
  EXPECT_EQ(dy11->hv_current_map, M(i - r));
  EXPECT_EQ(dy11->lv_winding, s);
  EXPECT_TRUE(dy11->lv_current_map == i && dy11->voltage_coupling == i);
  EXPECT_TRUE(dy11->current_coupling == -i && dy11->polarity == 1.0);
  // Odd clocks on a star low-voltage side: 1, 3, 9, 11 as clock 0; 5, 7 as clock 6.
  for (int clock : {1, 3, 5, 7, 9, 11}) {
    const auto odd = make(4, 4, "Y", "y", clock);
    const auto even = make(4, 4, "Y", "y", clock == 5 || clock == 7 ? 6 : 0);
    EXPECT_TRUE(odd->lv_winding == even->lv_winding &&
                odd->lv_current_map == even->lv_current_map &&
                odd->voltage_coupling == even->voltage_coupling)
        << clock;
  }
  // Clock 12 and negative clocks: no reversal, the choices outside the listed sets.
  for (int clock : {12, -1}) {
    const auto dz = make(3, 4, "D", "z", clock);
    EXPECT_EQ(dz->polarity, 1.0);
    EXPECT_EQ(dz->hv_winding, Eigen::MatrixXd(i - r));
    EXPECT_TRUE(dz->voltage_coupling == i - r.transpose() && dz->current_coupling == r - i);
    EXPECT_EQ(make(4, 3, "Y", "d", clock)->lv_winding, Eigen::MatrixXd(i - r));
    EXPECT_EQ(make(4, 4, "Y", "y", clock)->lv_winding, s);
  }
}

TEST(TransformerVectorGroups, RefusedWindingsAndPortCounts) {
  auto refusal = [](int n1, int n2, const char* whv, const char* wlv) -> std::string {
    try {
      ThreePhaseTransformer t(n1, n2, whv, wlv, 0.01, 0.0, 0.5, 11);
    } catch (const std::runtime_error& e) {
      return std::string("runtime_error: ") + e.what();
    } catch (const std::invalid_argument& e) {
      return std::string("invalid_argument: ") + e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal(4, 4, "YN", "Y"), "runtime_error: Bad HV winding: YN");
  EXPECT_EQ(refusal(4, 4, "y", "y"), "runtime_error: Bad HV winding: y");
  EXPECT_EQ(refusal(4, 4, "", "y"), "runtime_error: Bad HV winding: ");
  EXPECT_EQ(refusal(4, 4, "Y", "yn"), "runtime_error: Bad LV winding: yn");
  EXPECT_EQ(refusal(4, 4, "Y", "Y"), "runtime_error: Bad LV winding: Y");
  EXPECT_EQ(refusal(4, 4, "D", "y"),
            "invalid_argument: ThreePhaseTransformer: HV winding \"D\" needs 3 ports, got 4");
  EXPECT_EQ(refusal(4, 3, "Y", "z"),
            "invalid_argument: ThreePhaseTransformer: LV winding \"z\" needs 4 ports, got 3");
  EXPECT_EQ(refusal(3, 3, "D", "d"), "accepted");
}

// One bus per side at random potentials; the element's plain currents evaluated there.
Complex power_at_random_potentials(Branch& t, int n1, int n2, std::mt19937& random) {
  std::uniform_real_distribution<double> draw(-300.0, 300.0);
  std::vector<Complex> v(n1 + n2);
  for (auto& x : v) x = {draw(random), draw(random)};
  Bus side1(n1, v.data()), side2(n2, v.data() + n1);
  t.connect_side(side1, same_ports(n1), true);
  t.connect_side(side2, same_ports(n2), false);
  t.eval_currents(false);
  return power_in(t);
}

TEST(TransformerPowerBalance, SeriesImpedanceTakesThePowerAtArbitraryPotentials) {
  std::mt19937 random(7);
  const Complex z2(0.03, 0.08);
  SingleTransformer single(z2, 0.0, Complex(0.4, 0.1));
  const Complex s1 = power_at_random_potentials(single, 2, 2, random);
  expect_close(s1, z2 * std::norm(single.get_port_current(2)));
  CenterTransformer center(z2, 0.0, 0.4);
  const Complex s = power_at_random_potentials(center, 2, 3, random);
  const double halves =
      std::norm(center.get_port_current(2)) + std::norm(center.get_port_current(3));
  expect_close(s, z2 / 2.0 * halves);

  for (const char* whv : {"Y", "D"}) {
    for (const char* wlv : {"y", "z", "d"}) {
      for (int clock = -1; clock <= 12; ++clock) {
        SCOPED_TRACE(std::string(whv) + wlv + std::to_string(clock));
        const int n1 = whv[0] == 'Y' ? 4 : 3, n2 = wlv[0] == 'd' ? 3 : 4;
        ThreePhaseTransformer t(n1, n2, whv, wlv, z2, 0.0, 0.4, clock);
        const Complex s = power_at_random_potentials(t, n1, n2, random);
        Complex side1(0.0, 0.0), side2(0.0, 0.0);
        for (int p = 0; p < n1; ++p) side1 += t.get_port_current(p);
        for (int p = 0; p < n2; ++p) side2 += t.get_port_current(n1 + p);
        expect_close(side1, 0.0);
        expect_close(side2, 0.0);
        if (n2 == 4) {  // the phase ports carry the winding currents
          double windings = 0.0;
          for (int p = 0; p < 3; ++p) windings += std::norm(t.get_port_current(n1 + p));
          expect_close(s, z2 * windings);
        } else {  // a delta may also carry a circulating current: z2 times a positive sum
          const Complex ratio = s / z2;
          EXPECT_GT(ratio.real(), 0.0);
          EXPECT_LT(std::abs(ratio.imag()), 1e-8 * ratio.real());
        }
      }
    }
  }
}

// Two families on one 20 kV source, each low-voltage side loaded, its neutral held at zero:
//
//   src ─┬─ Dyn11 ── lv3 ── load3 (unbalanced, four wires)
//    │n  └─ center (phase b) ── lvc ── load_a (a to centre), load_b (b to centre)
//   ref
struct TwoFamilies {
  std::array<Complex, 3> hv = balanced_voltages(20000.0 / kRoot3);
  std::array<Complex, 4> lv3_start = {std::polar(231.0, kPi / 6), std::polar(231.0, -kPi / 2),
                                      std::polar(231.0, 5 * kPi / 6), 0.0};
  std::array<Complex, 3> lvc_start = {std::polar(230.0, -2 * kPi / 3),
                                      std::polar(-230.0, -2 * kPi / 3), 0.0};
  std::array<Complex, 3> s3 = {Complex(20e3, 5e3), Complex(30e3, 0.0), Complex(10e3, 2e3)};
  Complex sa{3e3, 0.0}, sb{2e3, 500.0};

  VoltageSource src{4, hv.data()};
  PotentialRef ref_hv, ref3, refc;
  ThreePhaseTransformer dyn{
      3, 4, "D", "y", kCatalogue.z2(), kCatalogue.ym(3.0), 400.0 / (kRoot3 * 20000.0), 11};
  Bus lv3{4, lv3_start.data()};
  PowerLoad load3{4, s3.data()};
  CenterTransformer center{kCatalogue.z2(), kCatalogue.ym(), 460.0 / 11547.0};
  Bus lvc{3, lvc_start.data()};
  PowerLoad load_a{2, &sa}, load_b{2, &sb};

  TwoFamilies() {
    src.connect(ref_hv, {{3, 0}});
    dyn.connect_side(src, same_ports(3), true);
    dyn.connect_side(lv3, same_ports(4), false);
    lv3.connect(load3, same_ports(4));
    lv3.connect(ref3, {{3, 0}});
    center.connect_side(src, {{0, 1}, {1, 3}}, true);
    center.connect_side(lvc, same_ports(3), false);
    lvc.connect(load_a, {{0, 0}, {2, 1}});
    lvc.connect(load_b, {{1, 0}, {2, 1}});
    lvc.connect(refc, {{2, 0}});
  }
  std::vector<Element*> elements() {
    return {&src, &ref_hv, &dyn, &lv3, &load3, &ref3, &center, &lvc, &load_a, &load_b, &refc};
  }
};

TEST(TransformerPowerBalance, SolvedNetwork) {
  TwoFamilies f;
  ElectricalNetwork network(f.elements());
  Newton newton(&network, false);
  EXPECT_LT(newton.solve_load_flow(20, kTolerance).second, kTolerance);
  expect_kirchhoff(network, 1e-8);
  for (int p = 0; p < 3; ++p) expect_close(drawn_power(f.load3, p, 3), f.s3[p]);
  expect_close(drawn_power(f.load_a, 0, 1), f.sa);
  expect_close(drawn_power(f.load_b, 0, 1), f.sb);

  // Power in = series losses + conj(ym) |U1|^2 per high-voltage winding.
  const Complex z2 = kCatalogue.z2(), ym_delta = kCatalogue.ym(3.0), ym = kCatalogue.ym();
  double series = 0.0, shunt = 0.0;
  for (int p = 0; p < 3; ++p) {
    series += std::norm(f.dyn.get_port_current(3 + p));
    shunt += std::norm(f.dyn.get_port_potential(p) - f.dyn.get_port_potential((p + 1) % 3));
  }
  expect_close(power_in(f.dyn), z2 * series + std::conj(ym_delta) * shunt);
  const double u1 = std::norm(f.center.get_port_potential(0) - f.center.get_port_potential(1));
  const double halves =
      std::norm(f.center.get_port_current(2)) + std::norm(f.center.get_port_current(3));
  expect_close(power_in(f.center), z2 / 2.0 * halves + std::conj(ym) * u1);
}

TEST(TransformerCatalogueTests, GiveBackTheCatalogueFigures) {
  const Catalogue c = kCatalogue;
  auto expect_figures = [&](auto& t) {
    const auto [p0, i0] = t.compute_open_circuit_parameters(c.uhv, c.ulv, c.sn);
    EXPECT_NEAR(p0, c.p0, 1e-6 * c.p0);
    EXPECT_NEAR(i0, c.i0, 1e-9);
    const auto [psc, vsc] = t.compute_short_circuit_parameters(c.uhv, c.ulv, c.sn);
    EXPECT_NEAR(vsc, c.vsc, 1e-12);
    // The magnetising branch still sees the short-circuit voltage.
    EXPECT_NEAR(psc, c.psc + c.vsc * c.vsc * c.p0, 1e-6 * c.psc);
  };
  SingleTransformer single(c.z2(), c.ym(), c.ulv / c.uhv);
  expect_figures(single);
  CenterTransformer center(c.z2(), c.ym(), c.ulv / c.uhv);
  expect_figures(center);
  ThreePhaseTransformer dyn(3, 4, "D", "y", c.z2(), c.ym(3.0), c.ulv / (kRoot3 * c.uhv), 11);
  expect_figures(dyn);
  dyn.compute_open_circuit_parameters(c.uhv, c.ulv, c.sn);
  for (int p = 3; p < 7; ++p) EXPECT_LT(std::abs(dyn.get_port_current(p)), 1e-9);
  ThreePhaseTransformer yzn(4, 4, "Y", "z", c.z2(), c.ym(), c.ulv / (kRoot3 * c.uhv), 11);
  expect_figures(yzn);
  // A delta winding: three times the star impedance gives the same figures, and a third of the
  // short-circuit voltage of a star winding with that impedance.
  ThreePhaseTransformer yd(4, 3, "Y", "d", c.z2(3.0), c.ym(), kRoot3 * c.ulv / c.uhv, 11);
  expect_figures(yd);
  ThreePhaseTransformer yy(4, 4, "Y", "y", c.z2(3.0), c.ym(), c.ulv / c.uhv, 0);
  EXPECT_NEAR(yy.compute_short_circuit_parameters(c.uhv, c.ulv, c.sn).second, 3.0 * c.vsc, 1e-12);
}

TEST(VoltageRegulator, TapLaw) {
  const SingleVoltageRegulator reg({0.01, 0.02}, 0.0, 230.0, 0.1, 10.0, 0.0);
  EXPECT_EQ(reg.compute_tap(207.0), 1.0761594155955765);
  EXPECT_EQ(reg.compute_tap(253.0), 0.9238405844044235);
  EXPECT_EQ(reg.compute_tap(230.0), 1.0);
  for (double u = 0.0; u <= 2000.0; u += 7.5) {
    EXPECT_TRUE(reg.compute_tap(u) <= 1.1 && reg.compute_tap(u) >= 0.9) << u;
  }
  EXPECT_EQ(SingleVoltageRegulator(0.01, 0.0, 230.0, 0.0, 10.0, 0.0).compute_tap(100.0), 1.0);
  EXPECT_EQ(reg.ports[1].connection, reg.ports[3].connection);  // neutrals joined
}

// A feeder whose far end sags, then a regulator:
//
//   src ── single (k = 1, z2 = feeder) ── mid ── regulator ── end ── load
//    │n                              n│              (neutrals joined)
//   ref                              ref
struct RegulatedFeeder {
  std::array<Complex, 2> start = {230.0, 0.0};
  Complex u{230.0}, s{10e3, 2e3};
  VoltageSource src{2, &u};
  PotentialRef ref_src, ref_lv;
  SingleTransformer feeder{{0.3, 0.2}, 0.0, 1.0};
  Bus mid{2, start.data()};
  SingleVoltageRegulator reg{{0.01, 0.02}, {0.0, -1e-6}, 230.0, 0.1, 10.0, 0.05};
  Bus end{2, start.data()};
  PowerLoad load{2, &s};

  RegulatedFeeder() {
    src.connect(ref_src, {{1, 0}});
    feeder.connect_side(src, same_ports(2), true);
    feeder.connect_side(mid, same_ports(2), false);
    mid.connect(ref_lv, {{1, 0}});
    reg.connect_side(mid, same_ports(2), true);
    reg.connect_side(end, same_ports(2), false);
    end.connect(load, same_ports(2));
  }
  std::vector<Element*> elements() {
    return {&src, &ref_src, &feeder, &mid, &ref_lv, &reg, &end, &load};
  }
};

std::unique_ptr<AbstractSolver> newton(ElectricalNetwork* n) {
  return std::make_unique<Newton>(n, false);
}
std::unique_ptr<AbstractSolver> sweep(ElectricalNetwork* n) {
  return std::make_unique<BackwardForward>(n);
}

TEST(VoltageRegulator, RaisesALowVoltageUnderNewtonAndTheSweep) {
  std::vector<Complex> solutions[2];
  for (int use_sweep = 0; use_sweep < 2; ++use_sweep) {
    RegulatedFeeder f;
    ElectricalNetwork network(f.elements());
    // The sweep leaves the currents of its last backward pass.
    const auto solver = use_sweep ? sweep(&network) : newton(&network);
    EXPECT_LT(solver->solve_load_flow(1000, 1e-11).second, 1e-11);
    expect_kirchhoff(network, 1e-7);
    expect_close(drawn_power(f.load, 0, 1), f.s, 1e-7);
    expect_close(power_in(f.feeder), Complex(0.3, 0.2) * std::norm(f.feeder.get_port_current(2)),
                 1e-7);
    const double u_in = std::abs(f.mid.get_port_potential(0));
    const double u_out = std::abs(f.end.get_port_potential(0));
    EXPECT_TRUE(u_in < 225.0 && u_out > u_in + 5.0 && u_out < 230.0) << u_in << " " << u_out;
    EXPECT_DOUBLE_EQ(f.reg.get_tap(), f.reg.compute_tap(u_out));
    // The regulator's own law: U2 = tap e^(j phi) U1 + z2 I2.
    const Complex u1 = f.mid.get_port_potential(0) - f.mid.get_port_potential(1);
    const Complex u2 = f.end.get_port_potential(0) - f.end.get_port_potential(1);
    const Complex i2 = f.reg.get_port_current(2);
    expect_close((u2 - Complex(0.01, 0.02) * i2) / u1, std::polar(f.reg.get_tap(), 0.05), 1e-7);
    solutions[use_sweep] = node_potentials(network);
  }
  for (std::size_t n = 0; n < solutions[0].size(); ++n) {
    expect_close(solutions[1][n], solutions[0][n], 1e-9);
  }
}

// Solve, update, solve again with the same solver: a fresh solver finds the same potentials.
void expect_update_equals_fresh(
    ElectricalNetwork& network,
    const std::function<std::unique_ptr<AbstractSolver>(ElectricalNetwork*)>& make,
    const std::function<void()>& update, double tolerance) {
  const auto first = make(&network);
  first->solve_load_flow(2000, tolerance);
  const auto before = node_potentials(network);
  update();
  first->solve_load_flow(2000, tolerance);
  const auto updated = node_potentials(network);
  const auto fresh = make(&network);
  fresh->solve_load_flow(2000, tolerance);
  const auto again = node_potentials(network);
  double moved = 0.0;
  for (std::size_t n = 0; n < updated.size(); ++n) {
    moved = std::max(moved, std::abs(updated[n] - before[n]));
    expect_close(updated[n], again[n], 1e-9);
  }
  EXPECT_GT(moved, 0.1);  // the update did change the solution
}

TEST(TransformerUpdates, BetweenSolvesEqualAFreshSolver) {
  TwoFamilies f;
  ElectricalNetwork families(f.elements());
  expect_update_equals_fresh(
      families, newton,
      [&] {
        f.dyn.update_transformer_parameters({0.03, 0.06}, {1e-6, -5e-6}, 410.0 / 34641.0);
        f.center.update_transformer_parameters({0.04, 0.1}, 0.0, 0.041);
      },
      kTolerance);
  for (const auto& make : {newton, sweep}) {
    RegulatedFeeder r;
    ElectricalNetwork feeder(r.elements());
    auto update = [&] {
      r.feeder.update_transformer_parameters({0.4, 0.3}, {0.0, -1e-5}, {1.02, 0.0});
      r.reg.update_parameters({0.02, 0.03}, 0.0, 235.0);
    };
    expect_update_equals_fresh(feeder, make, update, make == newton ? kTolerance : 1e-12);
    EXPECT_EQ(r.reg.compute_tap(235.0), 1.0);  // the new reference
  }
}

TEST(TransformerSweep, CenterAndThreePhaseHaveNoSweepStep) {
  TwoFamilies f;
  for (Element* t : std::vector<Element*>{&f.center, &f.dyn}) {
    ElectricalNetwork network({&f.src, &f.ref_hv, t});
    BackwardForward solver(&network);
    try {
      solver.solve_load_flow(10, kTolerance);
      ADD_FAILURE() << "the sweep went through";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
  }
}

}  // namespace
}  // namespace tarvelo
