#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "core/element.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

Bus one_port_bus(Complex v) {
  return Bus(1, &v);
}

TEST(Element, JoiningMergesNodesKeepingTheSurvivorsPotential) {
  Complex a(1, 1), b(2, 2);
  Bus bus_a(1, &a), bus_b(1, &b), bus_c(1, &b), bus_d(1, &a);
  bus_a.connect(bus_b, {{0, 0}});
  EXPECT_EQ(bus_a.ports[0].connection, bus_b.ports[0].connection);
  EXPECT_EQ(bus_b.get_port_potential(0), a);
  EXPECT_EQ(bus_a.ports[0].connection->ports.size(), 2u);

  bus_c.connect(bus_d, {{0, 0}});
  EXPECT_EQ(bus_d.get_port_potential(0), b);

  // Joining again, or a node with itself, changes nothing.
  bus_a.connect(bus_b, {{0, 0}});
  bus_a.connect_ports(std::vector<int>{0, 0}.data(), 2);
  EXPECT_EQ(bus_a.ports[0].connection->ports.size(), 2u);

  // connect_ports merges into the first listed port's node; no indices or no count, no join.
  const Complex v[3] = {{1, 0}, {2, 0}, {3, 0}};
  Bus bus(3, v);
  const int order[3] = {2, 0, 1};
  bus.connect_ports(order, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bus.get_port_potential(i), v[2]);
  EXPECT_EQ(bus.ports[2].connection->ports.size(), 3u);

  Bus other(3, v);
  other.connect_ports(nullptr, 3);
  const int bad[1] = {7};
  other.connect_ports(bad, 0);
  other.connect_ports(bad, -1);
  EXPECT_NE(other.ports[0].connection, other.ports[1].connection);

  // A node held at zero stays held whichever side survives, and reads 0 whatever it stores.
  Bus held = one_port_bus({5, 5});
  Bus free = one_port_bus({6, 6});
  PotentialRef ref;
  held.connect(ref, {{0, 0}});
  EXPECT_TRUE(held.ports[0].connection->fixed_zero);
  EXPECT_EQ(held.get_port_potential(0), Complex(0, 0));  // the stored 5 + 5j is not read
  free.connect(held, {{0, 0}});
  EXPECT_TRUE(free.ports[0].connection->fixed_zero);
  EXPECT_EQ(free.get_port_potential(0), Complex(0, 0));
}

TEST(Element, IndexChecksCarryTheirConditionAndKeepEarlierPairs) {
  const Complex v[2] = {{1, 0}, {2, 0}};
  Bus a(2, v), b(2, v);
  checks::expect_throw_text<std::out_of_range>(
      [&] {
        a.connect(b, {{0, 0}, {2, 0}});
      },
      "(size_t)i < ports.size()");
  EXPECT_EQ(a.ports[0].connection, b.ports[0].connection);  // the first pair stays applied
  checks::expect_throw_text<std::out_of_range>(
      [&] {
        a.connect(b, {{1, -1}});
      },
      "(size_t)j < element.ports.size()");
  checks::expect_throw_text<std::out_of_range>(
      [&] {
        a.connect(b, {{-1, 0}});
      },
      "(size_t)i < ports.size()");
  EXPECT_NE(a.ports[1].connection, b.ports[1].connection);

  const int first_bad[2] = {2, 0}, later_bad[3] = {0, 1, 5};
  checks::expect_throw_text<std::out_of_range>([&] { a.connect_ports(first_bad, 1); },
                                               "(size_t)ports_index[0] < ports.size()");
  checks::expect_throw_text<std::out_of_range>([&] { a.connect_ports(later_bad, 3); },
                                               "(size_t)ports_index[i] < ports.size()");
  EXPECT_EQ(a.ports[0].connection, a.ports[1].connection);

  Complex out[3] = {{9, 9}, {9, 9}, {9, 9}};
  a.get_potentials(0, out);
  EXPECT_EQ(out[0], Complex(9, 9));
  checks::expect_throw_text<std::out_of_range>([&] { a.get_potentials(3, out); },
                                               "(size_t)size <= ports.size()");
  checks::expect_throw_text<std::out_of_range>([&] { a.get_currents(-1, out); },
                                               "(size_t)size <= ports.size()");
  checks::expect_throw_text<std::out_of_range>([&] { a.get_port_potential(2); },
                                               "(size_t)index < ports.size()");
  checks::expect_throw_text<std::out_of_range>([&] { a.get_port_current(-1); },
                                               "(size_t)index < ports.size()");
  EXPECT_EQ(out[2], Complex(9, 9));
}

TEST(Element, DisconnectedPortsReadTheirNodeButNoLongerCount) {
  Bus bus = one_port_bus({3, 4});
  Ground ground;
  bus.connect(ground, {{0, 0}});
  ground.ports[0].current = {1, 0};
  bus.ports[0].current = {0, 2};
  const auto node = bus.ports[0].connection;
  EXPECT_EQ(node->sum_currents(), Complex(1, 2));
  ground.disconnect();
  EXPECT_EQ(node->sum_currents(), Complex(0, 2));
  EXPECT_EQ(ground.get_port_potential(0), Complex(3, 4));
  EXPECT_EQ(node->ports.size(), 1u);
  bus.disconnect();
  EXPECT_EQ(node->sum_currents(), Complex(0, 0));
}

TEST(Element, ADestroyedElementLeavesItsSharedNodeConsistent) {
  Bus bus = one_port_bus({1, 0});
  auto ground = std::make_unique<Ground>();
  ground->connect(bus, {{0, 0}});  // the surviving node is the ground's own
  const auto node = bus.ports[0].connection;
  ASSERT_EQ(node->ports.size(), 2u);
  ground->ports[0].current = {5, 0};
  ground.reset();
  ASSERT_EQ(node->ports.size(), 1u);
  EXPECT_EQ(node->ports[0], &bus.ports[0]);
  EXPECT_EQ(node->sum_currents(), Complex(0, 0));
  EXPECT_EQ(bus.get_port_potential(0), Complex(0, 0));
}

TEST(Element, InitializePotentialsWritesStoredValuesAndLinkedSlots) {
  const Complex v[2] = {{1, 0}, {2, 0}};
  Bus bus(2, v);
  PotentialRef ref;
  bus.connect(ref, {{1, 0}});
  Eigen::VectorXd slots = Eigen::VectorXd::Zero(2);
  ADVector taped(2);
  int k = 0;
  bus.ports[0].connection->link_independent_variables(taped, slots, k);
  EXPECT_EQ(bus.get_port_potential(0), Complex(0, 0));  // now read from the slots

  const Complex fresh[2] = {{10, 1}, {20, 2}};
  bus.initialize_potentials(fresh);
  EXPECT_EQ(bus.get_port_potential(0), Complex(10, 1));
  EXPECT_EQ(slots[0], 10.0);
  EXPECT_EQ(bus.ports[1].connection->potential.value, Complex(20, 2));
  EXPECT_EQ(bus.get_port_potential(1), Complex(0, 0));  // held at zero whatever is stored
}

TEST(Element, TheDefaultSweepStepIsRefused) {
  struct Bare : Element {
    Bare() : Element(1) {}
    void eval_currents(bool taped) override { zero_currents(*this, taped); }
  } bare;
  try {
    bare.backward();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "2 No backward-forward method has been defined for this element");
  }
  EXPECT_EQ(bare.forward(), 0.0);
  EXPECT_THROW(Bus(-1), std::length_error);
}

}  // namespace
}  // namespace tarvelo
