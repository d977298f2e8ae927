// The backward-forward sweep, checked against the Newton solvers on a radial four-wire feeder.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using checks::expect_near;
using Rows = std::vector<Complex>;  // an n x n matrix row by row
using Pairs = std::vector<std::pair<int, int>>;

const Pairs kFourWire{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
const Pairs kPhases{{0, 0}, {1, 1}, {2, 2}};

Eigen::MatrixXcd matrix(const Rows& rows) {
  return Eigen::Map<const Eigen::Matrix<Complex, -1, -1, Eigen::RowMajor>>(rows.data(), 4, 4);
}

// A cable section of phases a, b, c and the neutral, with mutual terms; `scale` varies it.
Rows cable_impedance(double scale) {
  const Complex s(0.010, 0.006), m(0.002, 0.004), sn(0.015, 0.007), mn(0.002, 0.003);
  Rows z{s, m, m, mn, m, s, m, mn, m, m, s, mn, mn, mn, mn, sn};
  for (auto& e : z) e *= scale;
  return z;
}
Rows cable_shunt(double scale) {
  const Complex s(0.0, 2e-3), m(0.0, -4e-4);
  Rows y{s, m, m, m, m, s, m, m, m, m, s, m, m, m, m, s};
  for (auto& e : y) e *= scale;
  return y;
}

// A radial four-wire feeder of 20 buses:
//
//   src ── b0 ═S═ b1 ═P═ b2 ═S═ b3 ═P═ b4 ... b12 ═P═ b13        trunk
//    │n                 ║
//   ref                 ╚═P═ b14 ═S═ b15 ═P═ ... ═S═ b19          lateral
//
//   ═S═ SimplifiedLine, ═P═ ShuntLine (ground-side ports on gnd ── ref_g);
//   a star power load on every odd bus, a delta power load on every even bus but b0.
class Feeder {
 public:
  static constexpr int kBuses = 20;

  struct Segment {
    bool shunt;
    Rows z, y;
    std::unique_ptr<Branch> line;
    std::unique_ptr<Bus> bus;
    std::unique_ptr<Element> load;
    std::vector<Complex> powers;
  };

  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  std::array<Complex, 4> start{u[0], u[1], u[2], Complex(0.0, 0.0)};
  VoltageSource src{4, u.data()};
  PotentialRef ref, ref_g;
  Ground gnd;
  Bus b0{4, start.data()};
  std::vector<Segment> segments;  // segment k feeds bus k + 1

  Feeder() {
    b0.connect(src, kFourWire);
    b0.connect(ref, {{3, 0}});
    gnd.connect(ref_g, {{0, 0}});
    segments.reserve(kBuses - 1);
    for (int bus = 1; bus < kBuses; ++bus) add_segment(bus, bus == 14 ? 2 : bus - 1);
  }

  Bus& bus(int index) { return index == 0 ? b0 : *segments[index - 1].bus; }

  // The source first, then every line before what it feeds (the order the sweep needs), or the
  // segments from the far end back to the source.
  std::vector<Element*> elements(bool far_end_first = false) {
    std::vector<Element*> out{&src, &ref, &gnd, &ref_g, &b0};
    for (std::size_t k = 0; k < segments.size(); ++k) {
      const Segment& s = segments[far_end_first ? segments.size() - 1 - k : k];
      out.insert(out.end(), {s.line.get(), s.bus.get(), s.load.get()});
    }
    return out;
  }

  // Every line's port currents against its matrices applied to the potentials it sees.
  void expect_line_laws(double tolerance) {
    for (const Segment& s : segments) {
      const int ports = s.shunt ? 9 : 8;
      std::vector<Complex> v(ports), i(ports);
      s.line->get_potentials(ports, v.data());
      s.line->get_currents(ports, i.data());
      const Eigen::VectorXcd v1 = Eigen::Map<const Eigen::VectorXcd>(v.data(), 4);
      const Eigen::VectorXcd v2 = Eigen::Map<const Eigen::VectorXcd>(v.data() + 4, 4);
      const Eigen::VectorXcd series = matrix(s.z).inverse() * (v1 - v2);
      Eigen::VectorXcd shunt1 = Eigen::VectorXcd::Zero(4), shunt2 = Eigen::VectorXcd::Zero(4);
      if (s.shunt) {
        const Eigen::VectorXcd vg = Eigen::VectorXcd::Constant(4, v[8]);
        shunt1 = 0.5 * matrix(s.y) * (v1 - vg);
        shunt2 = 0.5 * matrix(s.y) * (v2 - vg);
        expect_near(i[8], -shunt1.sum() - shunt2.sum(), tolerance);
      }
      for (int k = 0; k < 4; ++k) {
        expect_near(i[k], shunt1[k] + series[k], tolerance);
        expect_near(i[4 + k], shunt2[k] - series[k], tolerance);
      }
    }
  }

  // Every star load draws its power; the source imposes its voltages.
  void expect_loads_and_source(double tolerance) {
    for (const Segment& s : segments) {
      if (dynamic_cast<PowerLoad*>(s.load.get()) == nullptr) continue;
      for (int phase = 0; phase < 3; ++phase) {
        expect_near(checks::drawn_power(*s.load, phase, 3), s.powers[phase], tolerance);
      }
    }
    for (int phase = 0; phase < 3; ++phase) {
      expect_near(src.get_port_potential(phase) - src.get_port_potential(3), u[phase], 1e-9);
    }
  }

 private:
  void add_segment(int index, int parent) {
    Segment s;
    s.shunt = index % 2 == 0;
    s.z = cable_impedance(1.0 + 0.1 * (index % 5));
    s.y = cable_shunt(1.0 + 0.2 * (index % 3));
    if (s.shunt) {
      s.line = std::make_unique<ShuntLine>(4, s.y.data(), s.z.data());
    } else {
      s.line = std::make_unique<SimplifiedLine>(4, s.z.data());
    }
    s.bus = std::make_unique<Bus>(4, start.data());
    const double k = index;
    if (index % 2 == 1) {
      s.powers = {{2000 + 100 * k, 400}, {1500 + 50 * k, 300}, {2500 - 60 * k, -200}};
      s.load = std::make_unique<PowerLoad>(4, s.powers.data());
      s.bus->connect(*s.load, kFourWire);
    } else {
      s.powers = {{1800, 300}, {1200 + 20 * k, 0}, {900, 150}};
      s.load = std::make_unique<DeltaPowerLoad>(3, s.powers.data());
      s.bus->connect(*s.load, kPhases);
    }
    s.line->connect_side(bus(parent), kFourWire, true);
    s.line->connect_side(*s.bus, kFourWire, false);
    if (s.shunt) gnd.connect(*s.line, {{0, 8}});
    segments.push_back(std::move(s));
  }
};

std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
  std::vector<Complex> out;
  for (const auto& node : network.all_connections) out.push_back(plain_potential(*node));
  return out;
}

void expect_same_potentials(const std::vector<Complex>& a, const std::vector<Complex>& b,
                            double tolerance) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_LT(std::abs(a[k] - b[k]), tolerance) << "node " << k;
  }
}

TEST(BackwardForward, ReachesTheNewtonSolutionOnAFeeder) {
  Feeder feeder;
  ElectricalNetwork network(feeder.elements());
  std::vector<Complex> newton_potentials, goldstein_potentials;
  {
    Newton newton(&network, false);
    const auto [iterations, residual] = newton.solve_load_flow(30, 1e-10);
    ASSERT_LE(residual, 1e-10);
    newton_potentials = node_potentials(network);
    checks::expect_kirchhoff(network, 1e-8);
    feeder.expect_line_laws(1e-7);
    feeder.expect_loads_and_source(1e-6);
  }
  {
    NewtonGoldstein goldstein(&network, true, 0.1, 0.9);
    const auto [iterations, residual] = goldstein.solve_load_flow(30, 1e-10);
    ASSERT_LE(residual, 1e-10);
    goldstein_potentials = node_potentials(network);
    feeder.expect_line_laws(1e-7);
  }
  expect_same_potentials(goldstein_potentials, newton_potentials, 1e-6);

  BackwardForward sweep(&network);
  const auto [sweeps, change] = sweep.solve_load_flow(100, 1e-10);
  ASSERT_LE(change, 1e-10);
  EXPECT_GT(sweeps, 2);
  // The last backward pass balanced every node by construction.
  checks::expect_kirchhoff(network, 1e-9);
  expect_same_potentials(node_potentials(network), newton_potentials, 1e-6);
  // The currents of the swept potentials, computed from the line matrices, balance too. The
  // sweep leaves the source's own unknowns alone: its currents are taken from its nodes.
  network.eval_currents();
  feeder.src.backward();
  checks::expect_kirchhoff(network, 1e-6);
  feeder.expect_line_laws(1e-7);
  feeder.expect_loads_and_source(1e-6);
}

TEST(BackwardForward, SweepOrderMatters) {
  Feeder source_first, far_end_first;
  ElectricalNetwork good(source_first.elements());
  ElectricalNetwork reversed(far_end_first.elements(true));
  BackwardForward good_sweep(&good), reversed_sweep(&reversed);

  const auto [needed, change] = good_sweep.solve_load_flow(100, 1e-10);
  ASSERT_LE(change, 1e-10);
  const auto [made, reversed_change] = reversed_sweep.solve_load_flow(needed, 1e-10);
  EXPECT_EQ(made, needed);
  EXPECT_GT(reversed_change, 1e-6);
  EXPECT_GT(std::abs(far_end_first.bus(13).get_port_potential(0) -
                     source_first.bus(13).get_port_potential(0)),
            1e-6);
}

TEST(BackwardForward, AlwaysMakesOneSweep) {
  Feeder feeder;
  ElectricalNetwork network(feeder.elements());
  BackwardForward sweep(&network);
  const auto [one, first_change] = sweep.solve_load_flow(1, 1e-10);
  EXPECT_EQ(one, 1);
  EXPECT_GT(first_change, 1e-3);
  for (const int limit : {0, -4}) {
    sweep.reset_inputs();
    EXPECT_EQ(sweep.solve_load_flow(limit, 1e-10), std::make_pair(1, first_change));
  }
}

// An element that takes part in Newton solves but has no sweep step.
class NoSweepStep : public Element {
 public:
  NoSweepStep() : Element(1) {}
  void eval_currents(bool taped) override { zero_currents(*this, taped); }
};

TEST(BackwardForward, FailuresAreNotConvergence) {
  // A power load seeing zero volts draws an infinite current: the sweep must not look converged.
  //
  //   src ── b0 ═══ line ═══ b1 (starts at 0 V) ── load
  //    │n
  //   ref
  const std::array<Complex, 1> u{Complex(230.0, 0.0)};
  const std::array<Complex, 2> start{u[0], Complex(0.0, 0.0)}, zero{};
  const Rows z{{0.1, 0.05}, {0.02, 0.01}, {0.02, 0.01}, {0.1, 0.05}};
  const Complex power(3e3, 1e3);
  VoltageSource src(2, u.data());
  PotentialRef ref;
  Bus b0(2, start.data()), b1(2, zero.data());
  SimplifiedLine line(2, z.data());
  PowerLoad load(2, &power);
  b0.connect(src, {{0, 0}, {1, 1}});
  b0.connect(ref, {{1, 0}});
  line.connect_side(b0, {{0, 0}, {1, 1}}, true);
  line.connect_side(b1, {{0, 0}, {1, 1}}, false);
  b1.connect(load, {{0, 0}, {1, 1}});
  ElectricalNetwork network({&src, &ref, &b0, &line, &b1, &load});
  BackwardForward sweep(&network);
  const auto [sweeps, change] = sweep.solve_load_flow(20, 1e-6);
  EXPECT_TRUE(std::isnan(change)) << sweeps << " sweeps, change " << change;

  // An element without a sweep step stops the sweep with its coded message.
  NoSweepStep stray;
  b1.connect(stray, {{0, 0}});
  ElectricalNetwork with_stray({&src, &ref, &b0, &line, &b1, &stray});
  BackwardForward stray_sweep(&with_stray);
  try {
    stray_sweep.solve_load_flow(10, 1e-6);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "2 No backward-forward method has been defined for this element");
  }
}

}  // namespace
}  // namespace tarvelo
