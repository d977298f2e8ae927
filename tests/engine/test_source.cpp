#include <gtest/gtest.h>

#include <stdexcept>

#include "elements/source.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

// Links one node's potential to two fresh slots; returns nothing, the slots live with the caller.
void link_node(Connection& node, Eigen::VectorXd& slots) {
  const ADVector taped = slots.cast<AD>();
  int k = 0;
  node.link_independent_variables(taped, slots, k);
}

TEST(PotentialRef, HoldsItsNodeAtZeroAndCarriesWhatTheNodeInjects) {
  const Complex v[2] = {{5, 5}, {6, 6}};
  Bus bus(2, v);
  PotentialRef ref, second;
  bus.connect(ref, {{0, 0}});
  ref.connect(second, {{0, 0}});
  ElectricalNetwork network({&bus, &ref, &second});
  EXPECT_EQ(network.declare_variables().first.size(), 2u);  // only the free port's node
  EXPECT_EQ(bus.get_port_potential(0), Complex(0, 0));

  bus.ports[0].current = {1, 2};
  EXPECT_EQ(ref.get_current(), Complex(1, 2));
  EXPECT_EQ(second.get_current(), Complex(1, 2));

  // The sweep step rewrites the stored value to zero.
  EXPECT_EQ(ref.forward(), 0.0);
  EXPECT_EQ(bus.ports[0].connection->potential.value, Complex(0, 0));
  ref.backward();
  EXPECT_EQ(ref.get_port_current(0), Complex(0, 0));
}

TEST(DeltaPotentialRef, RecentresItsNodesOnZeroMean) {
  const Complex v[3] = {{1, 0}, {2, 0}, {3, 0}};
  Bus bus(3, v);
  DeltaPotentialRef ref(3);
  bus.connect(ref, {{0, 0}, {1, 1}, {2, 2}});
  EXPECT_EQ(ref.forward(), 6.0);
  EXPECT_EQ(bus.get_port_potential(0), Complex(-1, 0));
  EXPECT_EQ(bus.get_port_potential(1), Complex(0, 0));
  EXPECT_EQ(bus.get_port_potential(2), Complex(1, 0));

  // Its current enters at port 0 only.
  update(ref.current, {4, -4});
  ref.eval_currents(false);
  EXPECT_EQ(ref.get_current(), Complex(4, -4));
  EXPECT_EQ(ref.get_port_current(2), Complex(0, 0));
  ref.backward();
  EXPECT_EQ(ref.get_current(), Complex(0, 0));

  EXPECT_THROW(DeltaPotentialRef(0), std::invalid_argument);
  EXPECT_THROW(DeltaPotentialRef(-2), std::invalid_argument);
}

TEST(VoltageSource, ForwardImposesTheVoltagesOnTheNeutral) {
  const auto u = checks::balanced_voltages(230.0);
  VoltageSource source(4, u.data());
  const Complex neutral(3, -2);
  write_potential(*source.ports[3].connection, neutral);
  Eigen::VectorXd slots = Eigen::VectorXd::Zero(2);
  link_node(*source.ports[1].connection, slots);
  EXPECT_EQ(source.forward(), 0.0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(source.get_port_potential(i), neutral + u[i]);
  EXPECT_EQ(slots[0], (neutral + u[1]).real());
}

TEST(DeltaVoltageSource, ForwardChainsTheVoltagesFromPortZero) {
  const auto u = checks::line_voltages(230.0);
  DeltaVoltageSource source(3, u.data());
  const Complex start(100, 50);
  write_potential(*source.ports[0].connection, start);
  EXPECT_EQ(source.forward(), 0.0);
  EXPECT_EQ(source.get_port_potential(1), start - u[0]);
  EXPECT_EQ(source.get_port_potential(2), start - u[0] - u[1]);
}

TEST(VoltageSource, BackwardBalancesWhatEachNodeDraws) {
  const auto u = checks::balanced_voltages(230.0);
  VoltageSource star(4, u.data());
  Bus bus(4);
  bus.connect(star, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
  bus.ports[0].current = {1, 0};
  bus.ports[2].current = {0, 1};
  star.backward();
  EXPECT_EQ(star.get_port_current(0), Complex(-1, 0));
  EXPECT_EQ(star.get_port_current(1), Complex(0, 0));
  EXPECT_EQ(star.get_port_current(3), Complex(1, 1));
}

TEST(VoltageSource, PortCountsOutsideTheModel) {
  const Complex u(1, 0);
  EXPECT_THROW(VoltageSource(0, &u), std::length_error);
  EXPECT_THROW(DeltaVoltageSource(-1, &u), std::length_error);
  VoltageSource single(1, &u);
  EXPECT_TRUE(single.voltages.empty());
  single.ports[0].current = {3, 3};
  single.eval_currents(false);
  EXPECT_EQ(single.get_port_current(0), Complex(0, 0));
  ElectricalNetwork network({&single});
  const auto [x, p] = network.declare_variables();
  EXPECT_EQ(x.size(), 2u);  // its node only
  EXPECT_TRUE(p.empty());
}

}  // namespace
}  // namespace tarvelo
