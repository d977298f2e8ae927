// Where the time and the memory of a Newton iteration go, on a generated radial four-wire feeder.
//
// The feeder is of the kind bench/feeders.py builds: a 400 V source with its neutral held at
// zero, a random tree of buses joined by 5 to 20 m of four-wire cable (SimplifiedLine, full
// 4 x 4 impedance matrix), an unbalanced star power load on 80 % of the buses, 150 kW in all.
// For each size: the Newton solver is built with tape optimisation and solves; every load then
// changes and the pieces of one iteration are timed at that point, each repeated (median of
// the processor time):
//     residuals     zero-order forward sweep of the tape (AbstractNewton::forward)
//     jacobian      AbstractNewton::update_jacobian, as an iteration calls it: CppAD's
//                   sparse_jac_for (its colours are worked 30 at a time, timed alone too), then
//                   the values written into the kept sparse matrix (the difference, a few per
//                   cent, is within the noise of a shared machine, so it is not printed)
//     factorize     lu.factorize (pattern analysed once, as in a solve)
//     lu solve      lu.solve
// and, around the iterations of a solve: new_dynamic (loading the parameters into the tape) and
// the plain currents of every element (ElectricalNetwork::eval_currents). A whole re-solve after
// the change is timed as well.
//
// With --memory, one size only (run it in a fresh process for each size), what the first
// Jacobian's memory is made of: the process's resident and peak memory and CppAD's blocks in use
// and held after each stage of the first iteration, and the sizes of its parts.
//
//     newton_profile [buses ...]          (default: 1000 10000 100000)
//     newton_profile --memory buses
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <numbers>
#include <random>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "profile_common.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using bench::build_feeder;
using bench::Feeder;
using bench::kFourWires;
using bench::kTotalLoad;
using bench::median_ms;
constexpr double kLoadShare = 0.8;
constexpr double kTolerance = 1e-6;

void change_every_load(Feeder& f, double scale) {
  const double mean_phase_power =
      scale * kTotalLoad / (3.0 * static_cast<double>(std::max<std::size_t>(f.loads.size(), 1)));
  for (PowerLoad* load : f.loads) update(load->powers, f.random_powers(mean_phase_power).data());
}

void profile(int n_buses) {
  auto feeder = build_feeder(n_buses, kLoadShare);
  ElectricalNetwork network(feeder->elements());
  Newton newton(&network, true);
  const auto [first_iterations, first_residual] = newton.solve_load_flow(50, kTolerance);
  if (!(first_residual <= kTolerance)) std::printf("first solve did not converge\n");
  change_every_load(*feeder, 1.05);

  const int repeats = std::clamp(200000 / n_buses, 5, 101);
  newton.tape.new_dynamic(newton.dynamic_variables);
  const Eigen::VectorXd residuals = newton.forward();
  const Eigen::SparseMatrix<double>& jacobian = newton.update_jacobian();
  std::size_t colours = 0;

  const double t_new_dynamic =
      median_ms(repeats, [&] { newton.tape.new_dynamic(newton.dynamic_variables); });
  const double t_forward = median_ms(repeats, [&] { newton.forward(); });
  const double t_jacobian = median_ms(repeats, [&] { newton.update_jacobian(); });
  const double t_sparse_jac_for = median_ms(repeats, [&] { colours = newton.sparse_jacobian(); });
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
  std::printf("    LU factorize                   %9.3f ms %5.1f %%\n", t_factorize,
              share(t_factorize));
  std::printf("    LU solve                       %9.3f ms %5.1f %%\n", t_solve, share(t_solve));
  std::printf("  once per solve: new_dynamic %.3f ms, element currents %.3f ms\n", t_new_dynamic,
              t_currents);
}

double mb(double bytes) {
  return bytes / (1024.0 * 1024.0);
}

double resident_mb() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return mb(static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)));
}

double peak_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void stage(const char* name) {
  const std::size_t thread = CppAD::thread_alloc::thread_num();
  std::printf("  %-40s resident %8.1f MB  peak %8.1f MB  CppAD in use %8.1f MB  held %8.1f MB\n",
              name, resident_mb(), peak_mb(),
              mb(static_cast<double>(CppAD::thread_alloc::inuse(thread))),
              mb(static_cast<double>(CppAD::thread_alloc::available(thread))));
}

void memory(int n_buses) {
  auto feeder = build_feeder(n_buses, kLoadShare);
  ElectricalNetwork network(feeder->elements());
  std::printf("%d buses, first Jacobian's memory\n", n_buses);
  stage("network built");
  Newton newton(&network, true);
  stage("solver built (tape recorded, optimised)");
  const double n = static_cast<double>(newton.variables.size());
  const double vars = static_cast<double>(newton.tape.size_var());
  newton.tape.new_dynamic(newton.dynamic_variables);
  const Eigen::VectorXd residuals = newton.forward();
  stage("residuals");
  const Eigen::SparseMatrix<double>& jacobian = newton.update_jacobian();
  stage("first Jacobian");
  newton.lu.analyzePattern(jacobian);
  newton.lu.factorize(jacobian);
  stage("LU analysed and factorised");
  const double nnz = static_cast<double>(newton.jacobian_subset.nnz());
  const double word = sizeof(std::size_t);
  std::printf(
      "  parts (MB): Taylor storage of %.0f variables: %.1f (one direction, 2 orders), "
      "%.1f (30 directions)\n",
      vars, mb(vars * 2 * 8), mb(vars * 31 * 8));
  std::printf(
      "    pattern %.1f, subset %.1f (%.0f entries), colouring work %.1f, kept matrix and "
      "its map %.1f, operation sequence %.1f\n",
      mb(2 * nnz * word), mb(2 * nnz * word + nnz * 8), nnz, mb((nnz + n) * word),
      mb(nnz * (8 + 4 + 4) + (n + 1) * 4), mb(static_cast<double>(newton.tape.size_op_seq())));
  // What the tape would keep if its per-variable sparsity sets were not freed: computed again
  // here, after everything else, so that the figures above are not affected.
  const std::size_t size = newton.variables.size();
  CppAD::sparse_rc<SizeVector> identity(size, size, size);
  for (std::size_t k = 0; k < size; ++k) identity.set(k, k, k);
  CppAD::sparse_rc<SizeVector> pattern;
  newton.tape.for_jac_sparsity(identity, false, false, false, pattern);
  std::printf("    the tape's per-variable sparsity sets (freed after the pattern): %.1f MB\n",
              mb(static_cast<double>(newton.tape.size_forward_set())));
  stage("(sets computed again, for the record)");
}

}  // namespace
}  // namespace tarvelo

int main(int argc, char** argv) {
  tarvelo::bench::cpu_clock = true;  // median processor times
  std::vector<int> sizes;
  bool memory = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--memory") {
      memory = true;
    } else {
      sizes.push_back(std::atoi(argv[i]));
    }
  }
  if (memory) {
    tarvelo::memory(sizes.empty() ? 10000 : sizes.front());
    return 0;
  }
  if (sizes.empty()) sizes = {1000, 10000, 100000};
  for (const int n : sizes) tarvelo::profile(n);
  return 0;
}
