// Three-phase transformers: the power balance of every winding pair and clock at arbitrary
// potentials.
#include "elements/transformer.hpp"

#include <gtest/gtest.h>

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

// With ym = 0 the series impedance takes all the power: z2 |I2|^2 over the low-voltage windings.
// (The single-phase transformer meets its laws in the sweep tests.)
TEST(TransformerPowerBalance, SeriesImpedanceTakesThePowerAtArbitraryPotentials) {
  std::mt19937 random(7);
  const Complex z2(0.03, 0.08);
  for (const std::string windings : {"Yy", "Yz", "Yd", "Dy", "Dz", "Dd"}) {
    for (int clock = -1; clock <= 12; ++clock) {
      SCOPED_TRACE(windings + std::to_string(clock));
      const std::string whv = windings.substr(0, 1), wlv = windings.substr(1);
      ThreePhaseTransformer t(whv == "Y" ? 4 : 3, wlv == "d" ? 3 : 4, whv, wlv, z2, 0.0, 0.4,
                              clock);
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
