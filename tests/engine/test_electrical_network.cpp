#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/electrical_network.hpp"
#include "elements/branch.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"

namespace tarvelo {
namespace {

// An element that reports what the network's passes do to it.
class Probe : public Element {
 public:
  Probe(double change, std::vector<int>* calls, int id)
      : Element(1), change_(change), calls_(calls), id_(id) {}
  void eval_currents(bool taped) override { zero_currents(*this, taped); }
  void backward() override { calls_->push_back(id_); }
  double forward() override { return change_; }

 private:
  double change_;
  std::vector<int>* calls_;
  int id_;
};

// Bus A ──── Bus B                  the joined node once, then B's other two nodes
//            (3 ports, 2 of them free)
TEST(ElectricalNetwork, ListsEachNodeOnceInOrderOfFirstAppearance) {
  Bus a(1);
  Bus b(3);
  a.connect(b, {{0, 1}});
  ElectricalNetwork network({&a, &b});
  ASSERT_EQ(network.all_connections.size(), 3u);
  EXPECT_EQ(network.all_connections[0], a.ports[0].connection);
  EXPECT_EQ(network.all_connections[1], b.ports[0].connection);
  EXPECT_EQ(network.all_connections[2], b.ports[2].connection);
}

// Nodes A, B (held at zero by a reference), C; then a switch current, a source current, the
// source voltage and the load powers as parameters:
//
//   VoltageSource ── A ── Switch ── C ── PowerLoad
//        └── B (PotentialRef) ─────────────┘
TEST(ElectricalNetwork, DeclaresNodesThenElementsAndParametersInElementOrder) {
  const Complex u(230, 1), s(1000, 100), a(11, 12), c(13, 14);
  VoltageSource source(2, &u);
  PotentialRef ref;
  Switch sw(1);
  Bus bus_a(1, &a), bus_c(1, &c);
  PowerLoad load(2, &s);
  bus_a.connect(source, {{0, 0}});
  sw.connect_side(bus_a, {{0, 0}}, true);
  sw.connect_side(bus_c, {{0, 0}}, false);
  bus_c.connect(load, {{0, 0}});
  source.connect(ref, {{1, 0}});
  source.connect(load, {{1, 1}});
  source.currents[0].value = {3, 4};  // a starting value other than zero shows where it goes

  ElectricalNetwork network({&bus_a, &source, &ref, &sw, &bus_c, &load});
  ASSERT_EQ(network.all_connections.size(), 3u);
  EXPECT_TRUE(network.all_connections[1]->fixed_zero);
  const auto [x, p] = network.declare_variables();
  EXPECT_EQ(x, (std::vector<double>{11, 12, 13, 14, 3, 4, 0, 0}));
  EXPECT_EQ(p, (std::vector<double>{230, 1, 1000, 100}));

  // Linking visits the same records in the same order, slot for slot.
  Eigen::VectorXd xv = Eigen::Map<const Eigen::VectorXd>(x.data(), 8);
  Eigen::VectorXd pv = Eigen::Map<const Eigen::VectorXd>(p.data(), 4);
  const ADVector xt = xv.cast<AD>(), pt = pv.cast<AD>();
  network.link_variables(xt, xv, pt, pv);
  EXPECT_EQ(network.all_connections[2]->potential.linked, &xv[2]);
  EXPECT_EQ(source.currents[0].linked, &xv[4]);
  EXPECT_EQ(sw.currents[0].linked, &xv[6]);
  EXPECT_EQ(source.voltages[0].linked, &pv[0]);
  EXPECT_EQ(load.powers[0].linked, &pv[2]);
  EXPECT_FALSE(network.all_connections[1]->potential.is_linked);

  // Rows follow the unknowns: Kirchhoff at A and C, then the source and switch equations, all
  // at the declared point.
  ADVector y(8);
  network.add_equations(y);
  std::vector<double> rows;
  for (const AD& row : y) rows.push_back(CppAD::Value(row));
  const Complex load_current = std::conj(s / c);
  EXPECT_EQ(rows[0], 3.0);  // the source current 3 + 4j enters A
  EXPECT_EQ(rows[1], 4.0);
  EXPECT_NEAR(rows[2], load_current.real(), 1e-12);
  EXPECT_NEAR(rows[3], load_current.imag(), 1e-12);
  EXPECT_EQ(rows[4], 11.0 - 230.0);  // V_A - V_B - U with V_B held at zero
  EXPECT_EQ(rows[5], 12.0 - 1.0);
  EXPECT_EQ(rows[6], 11.0 - 13.0);  // V_A - V_C
  EXPECT_EQ(rows[7], 12.0 - 14.0);
}

TEST(ElectricalNetwork, SweepPassesVisitElementsInOrderAndKeepTheLargestChange) {
  std::vector<int> calls;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Probe a(0.5, &calls, 0), b(nan, &calls, 1), c(0.2, &calls, 2);
  ElectricalNetwork network({&a, &b, &c});
  EXPECT_EQ(network.forward(), 0.5);
  ElectricalNetwork nan_first({&b, &c});
  EXPECT_EQ(nan_first.forward(), 0.2);
  ElectricalNetwork only_nan({&b});
  EXPECT_EQ(only_nan.forward(), 0.0);
  ElectricalNetwork empty({});
  EXPECT_EQ(empty.forward(), 0.0);
  EXPECT_TRUE(empty.all_connections.empty());

  network.backward();
  EXPECT_EQ(calls, (std::vector<int>{2, 1, 0}));
}

// Bus A ── N0 ── Switch ── N1 ── Bus B:   unknowns 0..3 are N0 and N1, 4 and 5 the switch current.
TEST(ElectricalNetwork, DetectElementsMapsIndicesBackToElements) {
  Bus a(1), b(1);
  Switch sw(1);
  sw.connect_side(a, {{0, 0}}, true);
  sw.connect_side(b, {{0, 0}}, false);
  ElectricalNetwork network({&a, &sw, &b});

  EXPECT_EQ(network.detect_elements({5}), (std::vector<int>{1}));
  EXPECT_EQ(network.detect_elements({1}), (std::vector<int>{0}));        // N0's first port is A's
  EXPECT_EQ(network.detect_elements({2, 4}), (std::vector<int>{1, 2}));  // N1 starts with B
  EXPECT_EQ(network.detect_elements({}), (std::vector<int>{}));

  // A NaN taped current on N0 names its element instead of the first port's.
  sw.ports[0].ad_current = ADComplex(AD(0.0), AD(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(network.detect_elements({0, 1}), (std::vector<int>{1}));

  // A node whose ports have all left reports nobody.
  a.disconnect();
  sw.disconnect();
  EXPECT_EQ(network.detect_elements({0}), (std::vector<int>{}));
}

}  // namespace
}  // namespace tarvelo
