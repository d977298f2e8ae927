// Where the time of a Newton iteration goes, on a generated radial four-wire feeder.
//
// The feeder is of the kind bench/feeders.py builds: a 400 V source with its neutral held at
// zero, a random tree of buses joined by 5 to 20 m of four-wire cable (SimplifiedLine, full
// 4 x 4 impedance matrix), an unbalanced star power load on 80 % of the buses, 150 kW in all.
// For each size: the Newton solver is built with tape optimisation and solves; every load then
// changes and the pieces of one iteration are timed at that point, each repeated (median):
//     residuals     zero-order forward sweep of the tape (AbstractNewton::forward)
//     jacobian      AbstractNewton::compute_jacobian: CppAD's sparse_jac_for (its colours are
//                   worked 30 at a time), then the Eigen sparse matrix built from its
//                   triplets; both are timed alone too
//     factorize     lu.factorize (pattern analysed once, as in a solve)
//     lu solve      lu.solve
// and, around the iterations of a solve: new_dynamic (loading the parameters into the tape) and
// the plain currents of every element (ElectricalNetwork::eval_currents). A whole re-solve after
// the change is timed as well.
//
//     newton_profile [--hold-memory] [buses ...]        (default: 1000 10000 100000)
//
// --hold-memory has CppAD keep the memory it frees for reuse (thread_alloc::hold_memory):
// sparse_jac_for resizes the tape's Taylor storage at every call (one direction for the zero
// order sweep, up to 30 for the first order ones), and without it every resize goes back to the
// system and is paid again in page faults.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <random>
#include <string_view>
#include <vector>

#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using Pairs = std::vector<std::pair<int, int>>;
const Pairs kFourWires{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
constexpr double kPhaseVoltage = 230.0;
constexpr double kTotalLoad = 150e3;  // W
constexpr double kLoadShare = 0.8;
constexpr double kTolerance = 1e-6;
const Complex kSelf(0.206, 0.08), kMutual(0.03, 0.05);  // ohm per km

struct Feeder {
  std::vector<std::unique_ptr<Element>> owned;
  std::vector<PowerLoad*> loads;
  std::mt19937_64 rng{1};

  template <class T, class... Args>
  T* add(Args&&... args) {
    owned.push_back(std::make_unique<T>(std::forward<Args>(args)...));
    return static_cast<T*>(owned.back().get());
  }

  std::vector<Element*> elements() const {
    std::vector<Element*> list;
    for (const auto& e : owned) list.push_back(e.get());
    return list;
  }

  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
  }

  std::array<Complex, 3> random_powers(double mean_phase_power) {
    std::array<Complex, 3> s;
    for (Complex& p : s) p = std::polar(mean_phase_power * uniform(0.5, 1.5), uniform(0.0, 0.3));
    return s;
  }
};

std::unique_ptr<Feeder> build_feeder(int n_buses) {
  auto f = std::make_unique<Feeder>();
  std::array<Complex, 3> u;
  for (int k = 0; k < 3; ++k) u[k] = std::polar(kPhaseVoltage, -2.0 * std::numbers::pi * k / 3.0);
  const std::array<Complex, 4> start{u[0], u[1], u[2], Complex(0.0, 0.0)};
  const double mean_phase_power = kTotalLoad / (3.0 * kLoadShare * std::max(n_buses - 1, 1));

  auto* source = f->add<VoltageSource>(4, u.data());
  source->connect(*f->add<PotentialRef>(), {{3, 0}});
  std::vector<Bus*> buses{f->add<Bus>(4, start.data())};
  buses[0]->connect(*source, kFourWires);
  for (int i = 1; i < n_buses; ++i) {
    const double length = f->uniform(0.005, 0.02);
    std::array<Complex, 16> z;
    for (int k = 0; k < 16; ++k) z[k] = (k % 5 == 0 ? kSelf : kMutual) * length;
    Bus* parent = buses[std::uniform_int_distribution<int>(0, i - 1)(f->rng)];
    auto* line = f->add<SimplifiedLine>(4, z.data());
    auto* bus = f->add<Bus>(4, start.data());
    line->connect_side(*parent, kFourWires, true);
    line->connect_side(*bus, kFourWires, false);
    buses.push_back(bus);
    if (f->uniform(0.0, 1.0) < kLoadShare) {
      const auto s = f->random_powers(mean_phase_power);
      auto* load = f->add<PowerLoad>(4, s.data());
      bus->connect(*load, kFourWires);
      f->loads.push_back(load);
    }
  }
  return f;
}

// Median wall time of `repeats` calls, in milliseconds.
template <class Call>
double median_ms(int repeats, Call&& call) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    call();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::nth_element(times.begin(), times.begin() + repeats / 2, times.end());
  return times[repeats / 2];
}

// The Eigen matrix built from the values of sparse_jac_for, as compute_jacobian builds it.
Eigen::SparseMatrix<double> jacobian_from(
    const CppAD::sparse_rcv<SizeVector, Eigen::VectorXd>& subset, Eigen::Index n) {
  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(subset.nnz());
  for (std::size_t k = 0; k < subset.nnz(); ++k) {
    triplets.emplace_back(static_cast<int>(subset.row()[k]), static_cast<int>(subset.col()[k]),
                          subset.val()[static_cast<Eigen::Index>(k)]);
  }
  Eigen::SparseMatrix<double> jacobian(n, n);
  jacobian.setFromTriplets(triplets.begin(), triplets.end());
  return jacobian;
}

void change_every_load(Feeder& f, double scale) {
  const double mean_phase_power =
      scale * kTotalLoad / (3.0 * static_cast<double>(std::max<std::size_t>(f.loads.size(), 1)));
  for (PowerLoad* load : f.loads) update(load->powers, f.random_powers(mean_phase_power).data());
}

void profile(int n_buses) {
  auto feeder = build_feeder(n_buses);
  ElectricalNetwork network(feeder->elements());
  Newton newton(&network, true);
  const auto [first_iterations, first_residual] = newton.solve_load_flow(50, kTolerance);
  if (!(first_residual <= kTolerance)) std::printf("first solve did not converge\n");
  change_every_load(*feeder, 1.05);

  const int repeats = std::clamp(200000 / n_buses, 5, 101);
  newton.tape.new_dynamic(newton.dynamic_variables);
  const Eigen::VectorXd residuals = newton.forward();
  const Eigen::SparseMatrix<double> jacobian = newton.compute_jacobian();
  std::size_t colours = 0;
  const auto n = static_cast<Eigen::Index>(newton.variables.size());

  const double t_new_dynamic =
      median_ms(repeats, [&] { newton.tape.new_dynamic(newton.dynamic_variables); });
  const double t_forward = median_ms(repeats, [&] { newton.forward(); });
  const double t_jacobian = median_ms(repeats, [&] { newton.compute_jacobian(); });
  const double t_sparse_jac_for = median_ms(repeats, [&] {
    colours = newton.tape.sparse_jac_for(30, newton.variables, newton.jacobian_subset,
                                         newton.jacobian_pattern, "cppad", newton.jacobian_work);
  });
  const double t_triplets = median_ms(repeats, [&] { jacobian_from(newton.jacobian_subset, n); });
  const double t_factorize = median_ms(repeats, [&] { newton.lu.factorize(jacobian); });
  const double t_solve =
      median_ms(repeats, [&] { Eigen::VectorXd dx = newton.lu.solve(residuals); });
  const double t_currents = median_ms(repeats, [&] { network.eval_currents(); });

  // A whole re-solve after a change of every load, from the point reached before the change.
  const Eigen::VectorXd solved = newton.variables;
  int iterations = 0;
  int scale_index = 0;
  const double t_resolve = median_ms(repeats, [&] {
    newton.variables = solved;
    change_every_load(*feeder, 0.95 + 0.01 * (scale_index++ % 10));
    iterations = newton.solve_load_flow(50, kTolerance).first;
  });

  const double iteration = t_forward + t_jacobian + t_factorize + t_solve;
  const auto share = [&](double t) { return 100.0 * t / iteration; };
  std::printf(
      "%d buses: %ld unknowns, %ld Jacobian entries, tape of %zu variables, %zu operators\n",
      n_buses, static_cast<long>(newton.variables.size()), static_cast<long>(jacobian.nonZeros()),
      newton.tape.size_var(), newton.tape.size_op());
  std::printf("  first solve: %d iterations; re-solve: %d iterations, %.3f ms (median of %d)\n",
              first_iterations, iterations, t_resolve, repeats);
  std::printf("  one iteration: %.3f ms\n", iteration);
  std::printf("    residuals (forward 0)          %9.3f ms %5.1f %%\n", t_forward,
              share(t_forward));
  std::printf("    jacobian (compute_jacobian)    %9.3f ms %5.1f %%\n", t_jacobian,
              share(t_jacobian));
  std::printf("      sparse_jac_for (%3zu colours) %9.3f ms %5.1f %%\n", colours, t_sparse_jac_for,
              share(t_sparse_jac_for));
  std::printf("      sparse matrix from triplets  %9.3f ms %5.1f %%\n", t_triplets,
              share(t_triplets));
  std::printf("    LU factorize                   %9.3f ms %5.1f %%\n", t_factorize,
              share(t_factorize));
  std::printf("    LU solve                       %9.3f ms %5.1f %%\n", t_solve, share(t_solve));
  std::printf("  once per solve: new_dynamic %.3f ms, element currents %.3f ms\n", t_new_dynamic,
              t_currents);
}

}  // namespace
}  // namespace tarvelo

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--hold-memory") {
      CppAD::thread_alloc::hold_memory(true);
    } else {
      sizes.push_back(std::atoi(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {1000, 10000, 100000};
  for (const int n : sizes) tarvelo::profile(n);
  return 0;
}
