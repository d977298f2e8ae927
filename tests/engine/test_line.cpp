// Lines: port currents with unsymmetric matrices and the shunt line's single-conductor sweep
// steps.
#include "elements/line.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::expect_near;
using Rows = std::vector<Complex>;  // an n x n matrix row by row

//   side1 ═══ line (3 conductors) ═══ side2        ground-side port on `ground`, off zero
// Neither matrix is symmetric, and the rows of Y do not sum as its columns.
TEST(Lines, PortCurrentsFollowTheirMatricesRowByRow) {
  using RowMajor = Eigen::Matrix<Complex, 3, 3, Eigen::RowMajor>;
  const Rows z{{0.3, 0.2},  {0.05, 0.1}, {0.0, 0.02},  {0.02, 0.07}, {0.25, 0.3},
               {0.04, 0.0}, {0.1, 0.0},  {0.01, 0.05}, {0.35, 0.15}};
  const Rows y{{0, 4e-3},  {0, -1e-3}, {0, 0}, {0, -5e-4},  {0, 3e-3},
               {0, -2e-3}, {0, -1e-3}, {0, 0}, {1e-4, 5e-3}};
  const Rows v1{{230, -15}, {-120, -190}, {-110, 200}}, v2{{221, -9}, {-115, -185}, {-105, 190}};
  const Complex vg(2, -1);
  Bus side1(3, v1.data()), side2(3, v2.data()), ground(1, &vg);
  ShuntLine shunt(3, y.data(), z.data());
  SimplifiedLine simple(3, z.data());
  ground.connect(shunt, {{0, 6}});
  for (Branch* line : std::initializer_list<Branch*>{&shunt, &simple}) {
    line->connect_side(side1, checks::same_ports(3), true);
    line->connect_side(side2, checks::same_ports(3), false);
    line->eval_currents(false);
  }
  const Eigen::MatrixXcd zm = Eigen::Map<const RowMajor>(z.data()),
                         ym = Eigen::Map<const RowMajor>(y.data());
  checks::expect_line_law(shunt, zm, ym);
  checks::expect_line_law(simple, zm, Eigen::MatrixXcd::Zero(3, 3));
}

// The single-conductor steps measure a change by its larger part, real or imaginary; the
// multi-conductor ones by the largest modulus. An unloaded far end gives I2 = 0, I1 = c V2.
//
//   b1 ═══ line ═══ b2        ground-side port on a node of its own, at 0 V
TEST(Lines, ShuntLineSweepStepsOnAnUnloadedEnd) {
  const Complex z(0.3, 0.1), y(0.0, 2e-3), a = 1.0 + 0.5 * z * y, c = y + 0.25 * y * z * y;
  const Complex v2(227.0, -4.0), change(3.0, 4.0), v1 = (v2 + change) / a;
  Bus b1(1, &v1), b2(1, &v2);
  ShuntLine line(1, &y, &z);
  line.connect_side(b1, {{0, 0}}, true);
  line.connect_side(b2, {{0, 0}}, false);
  line.backward();
  EXPECT_EQ(line.get_port_current(1), 0.0);
  expect_near(line.get_port_current(0), c * v2, 1e-15);
  expect_near(line.get_port_current(2), -c * v2, 1e-15);
  // Linked to a solver: with I1 = 0, V2 = a V1, and the change 3 + 4j measures 4. An element
  // on the far node that the network does not list may be deleted at any time after linking.
  auto unlisted = std::make_unique<Bus>(1);
  unlisted->ports[0].current = 5.0;
  b2.connect(*unlisted, {{0, 0}});
  ElectricalNetwork network({&b1, &line, &b2});
  BackwardForward solver(&network);
  unlisted.reset();
  line.backward();
  EXPECT_EQ(line.get_port_current(1), 0.0);
  line.ports[0].current = 0.0;
  EXPECT_NEAR(line.forward(), 4.0, 1e-12);
  expect_near(b2.get_port_potential(0), v2 + change, 1e-12);

  // Two conductors, the same change on one and none on the other: measured as 5.
  const Rows w2{v2, Complex(-110.0, 190.0)}, w1{v1, w2[1] / a};
  Bus c1(2, w1.data()), c2(2, w2.data());
  ShuntLine pair(2, Rows{y, 0.0, 0.0, y}.data(), Rows{z, 0.0, 0.0, z}.data());
  pair.connect_side(c1, checks::same_ports(2), true);
  pair.connect_side(c2, checks::same_ports(2), false);
  pair.ports[0].current = pair.ports[1].current = 0.0;
  EXPECT_NEAR(pair.forward(), 5.0, 1e-9);
}

}  // namespace
}  // namespace tarvelo
