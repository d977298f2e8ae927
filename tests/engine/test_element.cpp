// Ports and nodes: detached and destroyed elements, the default sweep step. (Joins, their
// direction and the hold at zero are what every network test builds on.)
#include "core/element.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

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
