// Where the time of a backward-forward time series goes, without Python, on a generated radial
// four-wire feeder.
//
// The feeder is of the kind bench/feeders.py builds: a 400 V source with its neutral held at
// zero, a random tree of buses joined by 5 to 20 m of four-wire cable (SimplifiedLine, full
// 4 x 4 impedance matrix), an unbalanced star power load on every bus (or on a share of them,
// --load-share), 150 kW in all. For each size the sweep solver is built and solves once; then:
//     step          a time-series step: every load gets new powers (record updates of powers
//                   drawn beforehand), then solve_load_flow to 1e-6 from the previous step's
//                   potentials (median, with the sweeps it took); the updates alone too
//     solver sweep  solve_load_flow limited to one sweep (the solver's compact form, with its
//                   start and end)
//     element steps one backward pass and one forward pass through the elements' own steps
//                   (the network's passes), each pass alone, and per kind the backward steps of
//                   the loads, lines and buses alone and the forward steps of the lines alone
// and a checksum of the potentials after the series, to compare results across builds.
// --cpu times with the thread's processor time instead of the wall clock: on a machine that other
// work keeps busy, the time the profile waits for a processor then stays out of its figures.
// --check runs the series twice on twin feeders instead, once through the solver and once
// through the elements' own steps (the network's passes), and reports the largest difference of
// potentials and currents between the two.
//
//     build/bench/bench/sweep_profile [--check] [--cpu] [--load-share S] [--steps N] [buses ...]
//                                                                      (default 1000 10000)
//
// Built by `make bench` (bench/CMakeLists.txt), into build/bench/bench/.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <string_view>
#include <vector>

#include "profile_common.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using bench::build_feeder;
using bench::Feeder;
using bench::kFourWires;
using bench::kTotalLoad;
using bench::median_ms;
using bench::now_ms;
constexpr double kTolerance = 1e-6;
constexpr int kMaxSweeps = 1000;

// New powers for every load, drawn around a level `scale` times the nominal one.
std::vector<std::array<Complex, 3>> draw_powers(Feeder& f, double scale) {
  const double mean_phase_power =
      scale * kTotalLoad / (3.0 * static_cast<double>(std::max<std::size_t>(f.loads.size(), 1)));
  std::vector<std::array<Complex, 3>> drawn;
  drawn.reserve(f.loads.size());
  for (std::size_t k = 0; k < f.loads.size(); ++k)
    drawn.push_back(f.random_powers(mean_phase_power));
  return drawn;
}

void update_every_load(Feeder& f, const std::vector<std::array<Complex, 3>>& drawn) {
  for (std::size_t k = 0; k < f.loads.size(); ++k) update(f.loads[k]->powers, drawn[k].data());
}

void change_every_load(Feeder& f, double scale) {
  update_every_load(f, draw_powers(f, scale));
}

double checksum(const Feeder& f) {
  double sum = 0.0;
  for (const Bus* bus : f.buses) {
    for (int k = 0; k < 4; ++k) sum += std::abs(bus->get_port_potential(k));
  }
  return sum;
}

// The solver's loop over the network's own passes, for --check.
std::pair<int, double> solve_by_elements(BackwardForward& solver, int max_iterations,
                                         double tolerance) {
  int i = 0;
  double change = 0.0;
  do {
    solver.network->backward();
    change = solver.network->forward();
    if (!solver.variables.allFinite()) change = std::numeric_limits<double>::quiet_NaN();
    ++i;
  } while (change > tolerance && i < max_iterations);
  return {i, change};
}

void check(int n_buses, double load_share, int steps) {
  auto a = build_feeder(n_buses, load_share);
  auto b = build_feeder(n_buses, load_share);
  ElectricalNetwork network_a(a->elements()), network_b(b->elements());
  BackwardForward solver_a(&network_a), solver_b(&network_b);
  double potentials = 0.0, currents = 0.0;
  int sweeps_differ = 0;
  std::mt19937_64 levels(7);
  for (int s = 0; s <= steps; ++s) {
    if (s > 0) {
      const double scale = std::uniform_real_distribution<double>(0.9, 1.1)(levels);
      change_every_load(*a, scale);
      change_every_load(*b, scale);
    }
    const auto ra = solver_a.solve_load_flow(kMaxSweeps, kTolerance);
    const auto rb = solve_by_elements(solver_b, kMaxSweeps, kTolerance);
    if (ra.first != rb.first || ra.second != rb.second) ++sweeps_differ;
    for (std::size_t e = 0; e < a->owned.size(); ++e) {
      const Element& ea = *a->owned[e];
      const Element& eb = *b->owned[e];
      for (std::size_t k = 0; k < ea.ports.size(); ++k) {
        potentials = std::max(potentials, std::abs(ea.get_port_potential(static_cast<int>(k)) -
                                                   eb.get_port_potential(static_cast<int>(k))));
        currents = std::max(currents, std::abs(ea.ports[k].current - eb.ports[k].current));
      }
    }
  }
  std::printf(
      "%d buses, %d steps: largest difference %.3e V, %.3e A; %d solves differ in "
      "sweeps or change\n",
      n_buses, steps, potentials, currents, sweeps_differ);
}

void profile(int n_buses, double load_share, int steps) {
  auto feeder = build_feeder(n_buses, load_share);
  ElectricalNetwork network(feeder->elements());
  BackwardForward solver(&network);
  const auto [first_sweeps, first_change] = solver.solve_load_flow(kMaxSweeps, kTolerance);
  if (!(first_change <= kTolerance)) std::printf("first solve did not converge\n");

  // The time series: new powers for every load, then a solve from where the last step ended.
  std::vector<double> times;
  std::vector<int> sweeps;
  std::mt19937_64 levels(7);
  for (int s = 0; s < steps; ++s) {
    const double scale = std::uniform_real_distribution<double>(0.9, 1.1)(levels);
    const auto drawn = draw_powers(*feeder, scale);
    const double start = now_ms();
    update_every_load(*feeder, drawn);
    const auto [count, change] = solver.solve_load_flow(kMaxSweeps, kTolerance);
    times.push_back(now_ms() - start);
    sweeps.push_back(count);
    if (!(change <= kTolerance)) std::printf("step %d did not converge\n", s);
  }
  const double sum = checksum(*feeder);
  std::nth_element(times.begin(), times.begin() + steps / 2, times.end());
  std::nth_element(sweeps.begin(), sweeps.begin() + steps / 2, sweeps.end());
  const double t_step = times[steps / 2];
  const int step_sweeps = sweeps[steps / 2];

  const int repeats = std::clamp(2000000 / n_buses, 21, 2001);
  const double t_solver_sweep = median_ms(repeats, [&] { solver.solve_load_flow(1, kTolerance); });
  const double t_sweep = median_ms(repeats, [&] {
    network.backward();
    network.forward();
  });
  const double t_backward = median_ms(repeats, [&] { network.backward(); });
  const double t_forward = median_ms(repeats, [&] { network.forward(); });
  const double t_loads = median_ms(repeats, [&] {
    for (auto it = feeder->loads.rbegin(); it != feeder->loads.rend(); ++it) (*it)->backward();
  });
  const double t_lines_backward = median_ms(repeats, [&] {
    for (auto it = feeder->lines.rbegin(); it != feeder->lines.rend(); ++it) (*it)->backward();
  });
  const double t_buses = median_ms(repeats, [&] {
    for (auto it = feeder->buses.rbegin(); it != feeder->buses.rend(); ++it) (*it)->backward();
  });
  const double t_lines_forward = median_ms(repeats, [&] {
    for (SimplifiedLine* line : feeder->lines) line->forward();
  });
  const auto drawn = draw_powers(*feeder, 1.0);
  const double t_records = median_ms(repeats, [&] { update_every_load(*feeder, drawn); });

  std::printf("%d buses, %zu elements, %zu loads; first solve %d sweeps\n", n_buses,
              feeder->owned.size(), feeder->loads.size(), first_sweeps);
  std::printf("  time-series step       %9.3f ms  (%d sweeps, median of %d steps)\n", t_step,
              step_sweeps, steps);
  std::printf("    of which updates     %9.3f ms  (the powers of every load written)\n", t_records);
  std::printf("  solver sweep           %9.3f ms  (%.1f ns per bus)\n", t_solver_sweep,
              1e6 * t_solver_sweep / n_buses);
  std::printf("  element steps, sweep   %9.3f ms  (%.1f ns per bus)\n", t_sweep,
              1e6 * t_sweep / n_buses);
  std::printf("    backward pass        %9.3f ms\n", t_backward);
  std::printf("      loads              %9.3f ms\n", t_loads);
  std::printf("      lines              %9.3f ms\n", t_lines_backward);
  std::printf("      buses              %9.3f ms\n", t_buses);
  std::printf("    forward pass         %9.3f ms\n", t_forward);
  std::printf("      lines              %9.3f ms\n", t_lines_forward);
  std::printf("  checksum of |V| after the series: %.12e\n", sum);
}

}  // namespace
}  // namespace tarvelo

int main(int argc, char** argv) {
  std::vector<int> sizes;
  double load_share = 1.0;
  int steps = 101;
  bool checking = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--check") {
      checking = true;
    } else if (arg == "--cpu") {
      tarvelo::bench::cpu_clock = true;
    } else if (arg == "--load-share" && i + 1 < argc) {
      load_share = std::atof(argv[++i]);
    } else if (arg == "--steps" && i + 1 < argc) {
      steps = std::max(1, std::atoi(argv[++i]));
    } else {
      sizes.push_back(std::atoi(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {1000, 10000};
  for (const int n : sizes) {
    checking ? tarvelo::check(n, load_share, steps) : tarvelo::profile(n, load_share, steps);
  }
  return 0;
}
