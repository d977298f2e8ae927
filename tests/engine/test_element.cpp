// Ports and nodes: joins and their direction, nodes held at zero, detached and destroyed
// elements, the default sweep step.
#include "core/element.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

TEST(Element, JoinsKeepTheSurvivingNodesPotentialAndTheHoldAtZero) {
  const Complex a(1, 1), b(2, 2);
  Bus bus_a(1, &a), bus_b(1, &b);
  bus_a.connect(bus_b, {{0, 0}});
  bus_a.connect(bus_b, {{0, 0}});  // joining again changes nothing
  EXPECT_EQ(bus_a.ports[0].connection->ports.size(), 2u);
  EXPECT_EQ(bus_b.get_port_potential(0), a);
  // A node held at zero stays held whichever node survives, and reads 0 whatever it stores.
  Bus held(1, &a), free(1, &b);
  PotentialRef ref;
  held.connect(ref, {{0, 0}});
  free.connect(held, {{0, 0}});
  EXPECT_TRUE(free.ports[0].connection->fixed_zero);
  EXPECT_EQ(free.get_port_potential(0), Complex(0, 0));
}

TEST(Element, DetachedAndDestroyedElementsLeaveTheirNodesConsistent) {
  const Complex v(3, 4);
  Bus bus(1, &v);
  Ground ground;
  auto other = std::make_unique<Ground>();
  other->connect(bus, {{0, 0}});  // the surviving node is the destroyed element's own
  other->connect(ground, {{0, 0}});
  const auto node = bus.ports[0].connection;
  ground.ports[0].current = {1, 0};
  bus.ports[0].current = {0, 2};
  other->ports[0].current = {5, 0};
  other.reset();
  ASSERT_EQ(node->ports.size(), 2u);
  EXPECT_EQ(node->sum_currents(), Complex(1, 2));
  EXPECT_EQ(bus.get_port_potential(0), Complex(0, 0));  // the node it kept, at 0 V

  // A detached port no longer counts on its node but still reads the node's potential.
  ground.disconnect();
  EXPECT_EQ(node->sum_currents(), Complex(0, 2));
  bus.initialize_potentials(&v);
  EXPECT_EQ(ground.get_port_potential(0), v);
}

TEST(Element, TheDefaultSweepStepIsRefused) {
  struct Bare : Element {
    Bare() : Element(1) {}
    void eval_currents(bool taped) override { zero_currents(*this, taped); }
  } bare;
  checks::expect_throw_text<std::runtime_error>(
      [&] { bare.backward(); }, "2 No backward-forward method has been defined for this element");
  EXPECT_EQ(bare.forward(), 0.0);
}

}  // namespace
}  // namespace tarvelo
