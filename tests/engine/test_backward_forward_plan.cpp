// The sweep's compact form against the elements' own steps: the same potentials, currents, sweep
// counts and changes, bit for bit, across parameter updates, joins and deletions.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "elements/line.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::same_ports;

std::array<Complex, 16> cable(double km) {
  std::array<Complex, 16> z;
  for (int k = 0; k < 16; ++k) z[k] = (k % 5 == 0 ? Complex(0.2, 0.08) : Complex(0.03, 0.05)) * km;
  return z;
}

//   src ══ bus0 ══ line_a ══ bus1 ── load1
//    │n                       ║
//   ref                     line_b ══ bus2 ── load2, stray (joined, not listed)
//
// line_b is listed before line_a, so that a backward pass reads currents of line_b that it has
// not set yet; the stray load's current is whatever its last evaluation left.
struct Feeder {
  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  std::array<Complex, 4> start{u[0], u[1], u[2], 0.0};
  std::array<Complex, 3> s1{{{4000, 800}, {2500, 300}, {3000, 0}}};
  std::array<Complex, 3> s2{{{1500, 200}, {0, 0}, {2000, 600}}};
  VoltageSource src{4, u.data()};
  PotentialRef ref;
  Bus bus0{4, start.data()}, bus1{4, start.data()}, bus2{4, start.data()};
  SimplifiedLine line_a{4, cable(0.3).data()}, line_b{4, cable(0.2).data()};
  PowerLoad load1{4, s1.data()}, load2{4, s2.data()};
  std::unique_ptr<PowerLoad> stray = std::make_unique<PowerLoad>(4, s2.data());
  std::unique_ptr<ElectricalNetwork> network;
  std::unique_ptr<BackwardForward> solver;

  Feeder() {
    src.connect(ref, {{3, 0}});
    bus0.connect(src, same_ports(4));
    line_a.connect_side(bus0, same_ports(4), true);
    line_a.connect_side(bus1, same_ports(4), false);
    line_b.connect_side(bus1, same_ports(4), true);
    line_b.connect_side(bus2, same_ports(4), false);
    bus1.connect(load1, same_ports(4));
    bus2.connect(load2, same_ports(4));
    bus2.connect(*stray, same_ports(4));
    stray->eval_currents(false);
    network = std::make_unique<ElectricalNetwork>(
        std::vector<Element*>{&src, &ref, &bus0, &line_b, &bus2, &load2, &line_a, &bus1, &load1});
    solver = std::make_unique<BackwardForward>(network.get());
  }

  // The solver's loop over the network's passes, that is over the elements' own steps.
  std::pair<int, double> solve_by_elements(int max_iterations, double tolerance) {
    int i = 0;
    double change = 0.0;
    do {
      network->backward();
      change = network->forward();
      if (!solver->variables.allFinite()) change = std::numeric_limits<double>::quiet_NaN();
      ++i;
    } while (change > tolerance && i < max_iterations);
    return {i, change};
  }
};

void expect_same(const Feeder& a, const Feeder& b, const char* when) {
  for (std::size_t e = 0; e < a.network->elements.size(); ++e) {
    const Element& x = *a.network->elements[e];
    const Element& y = *b.network->elements[e];
    for (int p = 0; p < static_cast<int>(x.ports.size()); ++p) {
      EXPECT_EQ(x.get_port_potential(p), y.get_port_potential(p)) << when << ", " << e << ":" << p;
      EXPECT_EQ(x.get_port_current(p), y.get_port_current(p)) << when << ", " << e << ":" << p;
    }
  }
  EXPECT_EQ(a.solver->variables, b.solver->variables) << when;
}

TEST(BackwardForwardPlan, GivesTheElementStepsResultsThroughUpdatesJoinsAndDeletions) {
  Feeder a, b;
  const auto solve_both = [&](const char* when, int max_iterations = 100) {
    const auto by_plan = a.solver->solve_load_flow(max_iterations, 1e-9);
    const auto by_elements = b.solve_by_elements(max_iterations, 1e-9);
    EXPECT_EQ(by_plan, by_elements) << when;
    expect_same(a, b, when);
    return by_plan;
  };

  const auto [sweeps, change] = solve_both("first solve");
  EXPECT_GT(sweeps, 2);
  EXPECT_LE(change, 1e-9);
  checks::expect_kirchhoff(*a.network, 1e-6);
  // Every load draws its power, the source imposes its voltages.
  for (int i = 0; i < 3; ++i) {
    checks::expect_near(a.load1.voltage<Complex>(i) * std::conj(a.load1.ports[i].current), a.s1[i],
                        1e-3);
    checks::expect_near(a.bus0.get_port_potential(i), a.u[i], 1e-9);
  }

  solve_both("a limit of one sweep", 1);

  // New powers, a new cable and a moved source voltage.
  const std::array<Complex, 3> s{{{500, 100}, {6000, 900}, {1000, -300}}};
  const Complex raised = a.u[0] * 1.02;
  for (Feeder* f : {&a, &b}) {
    update(f->load2.powers, s.data());
    f->line_b.update_line_parameters(cable(0.5).data());
    update(f->src.voltages[0], raised);
  }
  solve_both("after updates");
  checks::expect_near(a.bus0.get_port_potential(0), raised, 1e-9);

  // Potentials moved from outside between two solves.
  for (Feeder* f : {&a, &b}) f->bus2.initialize_potentials(f->start.data());
  solve_both("after new starting potentials");

  // A load joined after the solver was built, then the stray load deleted.
  PowerLoad late_a(4, s.data()), late_b(4, s.data());
  a.bus1.connect(late_a, same_ports(4));
  b.bus1.connect(late_b, same_ports(4));
  late_a.eval_currents(false);
  late_b.eval_currents(false);
  solve_both("after a join");
  a.stray.reset();
  b.stray.reset();
  solve_both("after a deletion");
  checks::expect_kirchhoff(*a.network, 1e-6);
}

}  // namespace
}  // namespace tarvelo
