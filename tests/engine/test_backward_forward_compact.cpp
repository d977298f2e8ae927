// The sweep's compact form against the elements' own steps: the same results to the last bit,
// through updates, new starting potentials, a join and a deletion.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::same_ports;
using Three = std::array<Complex, 3>;

std::vector<Complex> matrix(Complex diagonal, Complex off) {
  return checks::rows(Eigen::MatrixXcd::Constant(4, 4, off) +
                      (diagonal - off) * Eigen::MatrixXcd::Identity(4, 4));
}

//   src ══ b0 ══ shunt ══ b1 ══ sw ══ b2 ── power (star)
//    │n             g┘    ║
//   ref               line ══ b3 ── delta (power), stray (star power, not listed)
//   delta src ══ b4 ── far (delta power), its port 0 held at zero by dref
//   island: a single-phase source joined to nothing, its neutral floating
// The shunt's return is tied to its own far neutral, and the line is listed before the shunt
// line: a backward pass reads currents it has not set yet. The loads' ports come first on their
// nodes, and the node held at zero stores 1 V. The stray load, joined before the network is
// built but not listed, keeps currents of its own that draw nothing. A feeder that lists its
// first bus twice has no compact form: its solver runs the elements' own steps. The load listed
// first puts the source's voltages after its powers in the plan's storage.
struct Feeder {
  Three u{230.0, 230.0 * kA * kA, 230.0 * kA}, s{{{4e3, 800}, {2e3, 0}, {3e3, 0}}};
  Three later{{{10, 2}, {5, 0}, {8, -1}}};  // the star load's powers after an update
  std::array<Complex, 4> v0{u[0], u[1], u[2], 1.0};
  std::vector<Complex> z = matrix({0.06, 0.03}, {0.01, 0.02}), shunt_y = matrix({0, 1e-5}, 0);
  VoltageSource src{4, u.data()};
  PotentialRef ref;
  Bus b0{4, v0.data()}, b1{4, v0.data()}, b2{4, v0.data()}, b3{4, v0.data()};
  ShuntLine shunt{4, shunt_y.data(), z.data()};
  SimplifiedLine line{4, z.data()};
  Switch sw{4};
  PowerLoad power{4, s.data()};
  DeltaPowerLoad delta{3, s.data()}, far{3, s.data()};
  DeltaVoltageSource dsrc{3, u.data()};
  PotentialRef dref;
  Bus b4{3, v0.data()};
  VoltageSource island{2, u.data()};
  std::unique_ptr<PowerLoad> stray = std::make_unique<PowerLoad>(4, s.data());
  std::unique_ptr<ElectricalNetwork> network;
  std::unique_ptr<BackwardForward> solver;

  explicit Feeder(bool elements_steps = false) {
    src.connect(b0, same_ports(4));
    power.connect(b2, same_ports(4));
    delta.connect(b3, same_ports(3));
    for (Element* e : std::initializer_list<Element*>{&dsrc, &far}) e->connect(b4, same_ports(3));
    dsrc.connect(dref, {{0, 0}});
    src.connect(ref, {{3, 0}});
    shunt.connect(shunt, {{8, 7}});
    for (auto [branch, from, to] :
         {std::tuple<Branch*, Bus*, Bus*>{&shunt, &b0, &b1}, {&sw, &b1, &b2}, {&line, &b1, &b3}}) {
      branch->connect_side(*from, same_ports(4), true);
      branch->connect_side(*to, same_ports(4), false);
    }
    for (Bus* bus : {&b0, &b1, &b2, &b3}) bus->initialize_potentials(v0.data());
    b3.connect(*stray, same_ports(4));
    stray->eval_currents(false);
    std::vector<Element*> list{&power, &src, &ref, &b0,  &line, &b3,   &delta, &shunt,
                               &b1,    &sw,  &b2,  &far, &dsrc, &dref, &b4,    &island};
    if (elements_steps) list.push_back(&b0);
    network = std::make_unique<ElectricalNetwork>(list);
    solver = std::make_unique<BackwardForward>(network.get());
  }
};

// The potentials of the nodes and the currents of all their ports.
std::vector<Complex> state(const ElectricalNetwork& network) {
  std::vector<Complex> v = checks::node_potentials(network);
  for (const auto& node : network.all_connections)
    for (const Port* port : node->ports) v.push_back(port->current);
  return v;
}

void solve_both(Feeder& a, Feeder& b, int max_iterations = 100) {
  EXPECT_EQ(a.solver->solve_load_flow(max_iterations, 1e-9),
            b.solver->solve_load_flow(max_iterations, 1e-9));
  EXPECT_EQ(state(*a.network), state(*b.network));
}

TEST(BackwardForwardCompact, GivesTheElementStepsResults) {
  Feeder a, b(true);
  const auto both = [&](auto change, int max_iterations = 100) {
    for (Feeder* f : {&a, &b}) change(*f);
    solve_both(a, b, max_iterations);
  };
  solve_both(a, b);
  EXPECT_GT(std::abs(a.stray->ports[0].current), 1.0);  // its own, drawing nothing
  checks::expect_power_flow(*a.network, a.src, {{&a.power, a.s[0] + a.s[1] + a.s[2]}}, 1e-6);
  for (int k = 0; k < 3; ++k) checks::expect_near(a.b0.get_port_potential(k), a.u[k], 1e-9);
  solve_both(a, b, 1);
  const auto z = matrix({0.1, 0.05}, {0.02, 0.01});
  both([&](Feeder& f) {
    update(f.power.powers, f.later.data());
    f.line.update_line_parameters(z.data());
    f.shunt.update_line_parameters(f.shunt_y.data(), z.data());
    update(f.src.voltages[0], f.u[0] * 1.02);
    f.b3.initialize_potentials(f.v0.data());
  });
  // The plan made again starts from the currents the ports hold, those of the element whose step
  // reads them included (the shunt's ground-side port, on its own far neutral): one sweep shows
  // any other start.
  both([](Feeder& f) { f.stray.reset(); }, 1);
  // New starting potentials everywhere, the island's floating neutral included, which no
  // forward step writes. Without a solver the nodes read their stored values, which the compact
  // form writes too, for the nodes the steps write alone.
  both([](Feeder& f) {
    const Eigen::VectorXd start = 0.9 * f.solver->variables.array() + 1.0;
    f.solver->set_variables(start.data());
  });
  for (Feeder* f : {&a, &b}) f->solver.reset();
  EXPECT_EQ(state(*a.network), state(*b.network));
}

}  // namespace
}  // namespace tarvelo
