// Loads with no voltage across their phases.
#include "elements/load.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

// The power and current laws divide by the voltage: at none they give non-finite currents,
// plain and taped, where an admittance draws nothing.
//
//   bus a b c n, every port at one potential ──── each load's ports
TEST(Load, NoVoltageGivesNonFiniteCurrentsExceptThroughAnAdmittance) {
  const Complex values[3] = {{1000, 100}, {500, 0}, {200, 50}};
  PowerLoad power(4, values);
  CurrentLoad current(4, values);
  DeltaPowerLoad delta_power(3, values);
  DeltaCurrentLoad delta_current(3, values);
  AdmittanceLoad admittance(4, values);
  Bus bus(4, std::vector<Complex>(4, Complex(230.0, 10.0)).data());
  for (Element* load :
       std::vector<Element*>{&power, &current, &delta_power, &delta_current, &admittance}) {
    bus.connect(*load, checks::same_ports(static_cast<int>(load->ports.size())));
    load->eval_currents(false);
    load->eval_currents(true);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(std::isfinite(std::abs(load->ports[i].current)), load == &admittance);
      EXPECT_EQ(std::isfinite(CppAD::Value(load->ports[i].ad_current.real())), load == &admittance);
    }
  }
  EXPECT_EQ(admittance.ports[0].current, Complex(0.0, 0.0));
}

}  // namespace
}  // namespace tarvelo
