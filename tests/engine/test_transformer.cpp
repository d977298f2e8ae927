// Transformers: the vector groups at no load, the winding matrices of the worked cases and the
// power balance at arbitrary potentials.
#include "elements/transformer.hpp"

#include <gtest/gtest.h>

#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::same_ports;

void expect_close(const Complex& actual, const Complex& expected) {
  EXPECT_LE(std::abs(actual - expected), 1e-8 * std::max(1.0, std::abs(expected)))
      << "actual " << actual << ", expected " << expected;
}

// A transformer of the windings named by `windings` ("Dy": "D" high, "y" low) on ports to fit.
ThreePhaseTransformer make(const std::string& windings, int clock, Complex z2 = 0.01,
                           Complex ym = 0.0, double k = 0.5) {
  const std::string whv = windings.substr(0, 1), wlv = windings.substr(1);
  return ThreePhaseTransformer(whv == "Y" ? 4 : 3, wlv == "d" ? 3 : 4, whv, wlv, z2, ym, k, clock);
}

//   src ══ [T] ══ bus       no load; the source's neutral on ref_hv, the bus's neutral on ref_lv
//    │n             │n      (a delta low-voltage side on a DeltaPotentialRef instead)
TEST(TransformerVectorGroups, NoLoadVoltagesLagByTheClock) {
  struct Group {
    std::string windings;
    int clock;
    double ratio;  // phase-to-neutral magnitude ratio per unit of k
  };
  const double k = 0.02;
  for (const Group& g : {Group{"Dy", 11, kSqrt3}, Group{"Dy", 5, kSqrt3}, Group{"Dy", 1, kSqrt3},
                         Group{"Yy", 0, 1.0}, Group{"Yy", 6, 1.0}, Group{"Yd", 11, 1.0 / kSqrt3},
                         Group{"Yz", 11, kSqrt3}, Group{"Dd", 0, 1.0}, Group{"Yy", 4, 1.0},
                         Group{"Yy", 8, 1.0}, Group{"Dz", 10, 3.0}}) {
    SCOPED_TRACE(g.windings + std::to_string(g.clock));
    const auto hv = checks::balanced_voltages(20000.0 / kSqrt3);
    VoltageSource src(4, hv.data());
    PotentialRef ref_hv, ref_lv;
    DeltaPotentialRef delta_ref(3);
    ThreePhaseTransformer t = make(g.windings, g.clock, {0.01, 0.04}, {1e-7, -1e-6}, k);
    const int n1 = static_cast<int>(t.ports1.size()), n2 = static_cast<int>(t.ports2.size());
    Bus bus(n2);
    src.connect(ref_hv, {{3, 0}});
    t.connect_side(src, same_ports(n1), true);
    t.connect_side(bus, same_ports(n2), false);
    Element& lv_ref = n2 == 4 ? static_cast<Element&>(ref_lv) : delta_ref;
    bus.connect(lv_ref, n2 == 4 ? checks::Pairs{{3, 0}} : same_ports(3));
    ElectricalNetwork network({&src, &ref_hv, &t, &bus, &lv_ref});
    Newton newton(&network, false);
    EXPECT_LT(newton.solve_load_flow(10, 1e-10).second, 1e-10);
    checks::expect_kirchhoff(network, 1e-9);
    const Complex lag = std::polar(k * g.ratio, -g.clock * std::numbers::pi / 6.0);
    for (int p = 0; p < 3; ++p) expect_close(bus.get_port_potential(p), lag * hv[p]);
  }
}

TEST(TransformerVectorGroups, WindingMatricesOfTheWorkedCases) {
  using M = Eigen::Matrix3d;
  const M i = M::Identity(), r = (M() << 0, 0, 1, 1, 0, 0, 0, 1, 0).finished();
  const Eigen::MatrixXd s =
      (Eigen::MatrixXd(3, 4) << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1).finished();
  const auto dy11 = make("Dy", 11);
  EXPECT_EQ(dy11.hv_winding, Eigen::MatrixXd(i - r.transpose()));
  EXPECT_EQ(dy11.hv_current_map, M(i - r));
  EXPECT_EQ(dy11.lv_winding, s);
  EXPECT_TRUE(dy11.lv_current_map == i && dy11.voltage_coupling == i);
  EXPECT_TRUE(dy11.current_coupling == -i && dy11.polarity == 1.0);
  // Odd clocks on a star low-voltage side: 1, 3, 9, 11 as clock 0; 5, 7 as clock 6.
  for (int clock : {1, 3, 5, 7, 9, 11}) {
    const auto odd = make("Yy", clock), even = make("Yy", clock == 5 || clock == 7 ? 6 : 0);
    EXPECT_TRUE(odd.lv_winding == even.lv_winding && odd.lv_current_map == even.lv_current_map &&
                odd.voltage_coupling == even.voltage_coupling)
        << clock;
  }
  // Clock 12 and negative clocks: no reversal, the choices outside the listed sets.
  for (int clock : {12, -1}) {
    const auto dz = make("Dz", clock);
    EXPECT_EQ(dz.polarity, 1.0);
    EXPECT_EQ(dz.hv_winding, Eigen::MatrixXd(i - r));
    EXPECT_TRUE(dz.voltage_coupling == i - r.transpose() && dz.current_coupling == r - i);
    EXPECT_EQ(make("Yd", clock).lv_winding, Eigen::MatrixXd(i - r));
    EXPECT_EQ(make("Yy", clock).lv_winding, s);
  }
}

// The power entering through all ports of `t`, each side on a bus at random potentials.
Complex power_at_random_potentials(Branch& t, std::mt19937& random) {
  std::uniform_real_distribution<double> draw(-300.0, 300.0);
  std::vector<Complex> v(t.ports.size());
  for (auto& x : v) x = {draw(random), draw(random)};
  const int n1 = static_cast<int>(t.ports1.size()), n2 = static_cast<int>(t.ports2.size());
  Bus side1(n1, v.data()), side2(n2, v.data() + n1);
  t.connect_side(side1, same_ports(n1), true);
  t.connect_side(side2, same_ports(n2), false);
  t.eval_currents(false);
  return checks::power_in(t);
}

// With ym = 0 the series impedance takes all the power: z2 |I2|^2, over the half windings of the
// centre tap, over the low-voltage windings of the three-phase transformers.
TEST(TransformerPowerBalance, SeriesImpedanceTakesThePowerAtArbitraryPotentials) {
  std::mt19937 random(7);
  const Complex z2(0.03, 0.08);
  SingleTransformer single(z2, 0.0, Complex(0.4, 0.1));
  const Complex s1 = power_at_random_potentials(single, random);
  expect_close(s1, z2 * std::norm(single.get_port_current(2)));
  CenterTransformer center(z2, 0.0, 0.4);
  const Complex sc = power_at_random_potentials(center, random);
  expect_close(
      sc,
      z2 / 2.0 * (std::norm(center.get_port_current(2)) + std::norm(center.get_port_current(3))));

  for (const std::string windings : {"Yy", "Yz", "Yd", "Dy", "Dz", "Dd"}) {
    for (int clock = -1; clock <= 12; ++clock) {
      SCOPED_TRACE(windings + std::to_string(clock));
      ThreePhaseTransformer t = make(windings, clock, z2, 0.0, 0.4);
      const Complex s = power_at_random_potentials(t, random);
      const int n1 = static_cast<int>(t.ports1.size());
      Complex sums[2] = {};  // the ports of each side, neutral included, carry no net current
      double windings_norm = 0.0;
      for (int p = 0; p < static_cast<int>(t.ports.size()); ++p) {
        sums[p >= n1] += t.get_port_current(p);
        if (p >= n1 && p < n1 + 3) windings_norm += std::norm(t.get_port_current(p));
      }
      expect_close(sums[0], 0.0);
      expect_close(sums[1], 0.0);
      if (t.ports2.size() == 4) {  // the phase ports carry the winding currents
        expect_close(s, z2 * windings_norm);
      } else {  // a delta may also carry a circulating current: z2 times a positive sum
        EXPECT_GT((s / z2).real(), 0.0);
        EXPECT_LT(std::abs((s / z2).imag()), 1e-8 * (s / z2).real());
      }
    }
  }
}

}  // namespace
}  // namespace tarvelo
