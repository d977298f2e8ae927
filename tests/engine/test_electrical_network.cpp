// The network's sweep passes and the sweep's stopping rule.
#include "core/electrical_network.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

// An element that notes when the backward pass reaches it and reports a fixed change.
struct Probe : Element {
  double change;
  std::vector<const Element*>* calls;
  Probe(double change, std::vector<const Element*>* calls)
      : Element(1), change(change), calls(calls) {}
  void eval_currents(bool taped) override { zero_currents(*this, taped); }
  void backward() override { calls->push_back(this); }
  double forward() override { return change; }
};

TEST(ElectricalNetwork, SweepPassesVisitInOrderAndKeepTheLargestChangeNeverNaN) {
  std::vector<const Element*> calls;
  Probe a(0.5, &calls), b(std::numeric_limits<double>::quiet_NaN(), &calls), c(0.2, &calls);
  EXPECT_EQ(ElectricalNetwork({&a, &b, &c}).forward(), 0.5);
  EXPECT_EQ(ElectricalNetwork({&b, &c}).forward(), 0.2);
  EXPECT_EQ(ElectricalNetwork({&b}).forward(), 0.0);
  ElectricalNetwork({&a, &b, &c}).backward();
  EXPECT_EQ(calls, (std::vector<const Element*>{&c, &b, &a}));
  // The sweep stops at a change equal to the tolerance, at its limit, and sweeps at least once.
  ElectricalNetwork one({&a});
  BackwardForward sweep(&one);
  EXPECT_EQ(sweep.solve_load_flow(10, 0.5), std::make_pair(1, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(3, 0.4), std::make_pair(3, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(0, 0.4), std::make_pair(1, 0.5));
}

}  // namespace
}  // namespace tarvelo
