#include "solvers/solvers.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "solvers/logging.hpp"
#include "solvers/messages.hpp"

namespace tarvelo {

namespace {

// The largest absolute value of v (0 for an empty vector), NaN-aware: a NaN anywhere gives NaN.
double infinity_norm(const Eigen::VectorXd& v) {
  if (v.size() == 0) return 0.0;
  if (v.hasNaN()) return std::nan("");
  return std::max(v.maxCoeff(), -v.minCoeff());
}

// True when some column holds no stored entry: no pivot can be found for it, whatever the
// values. Eigen's SparseLU must never see such a matrix with fewer than about n / 20 entries: its
// first estimate of the factors' size rounds down to zero and its allocation loop never ends.
// Every column holding an entry keeps that estimate above zero.
bool has_empty_column(const Eigen::SparseMatrix<double>& m) {
  const int* starts = m.outerIndexPtr();
  for (Eigen::Index col = 0; col < m.outerSize(); ++col) {
    if (starts[col + 1] == starts[col]) return true;
  }
  return false;
}

bool all_finite(const Eigen::SparseMatrix<double>& m) {
  const double* values = m.valuePtr();
  for (Eigen::Index k = 0; k < m.nonZeros(); ++k) {
    if (!std::isfinite(values[k])) return false;
  }
  return true;
}

[[noreturn]] void fail_at(const char* message, int iteration) {
  throw std::runtime_error(fmt::format(fmt::runtime(message), iteration));
}

ADVector taped_constants(const Eigen::VectorXd& values) {
  ADVector taped(values.size());
  for (Eigen::Index i = 0; i < values.size(); ++i) taped[i] = values[i];
  return taped;
}

}  // namespace

// ---- AbstractSolver ----

AbstractSolver::AbstractSolver(ElectricalNetwork* network) : network(network) {}

AbstractSolver::~AbstractSolver() {
  if (network != nullptr && network->linker == this) {
    network->unlink_variables(variables, dynamic_variables);
    network->linker = nullptr;
  }
}

void AbstractSolver::declare_and_link(ADVector& x, ADVector& p, bool record) {
  auto [x0, p0] = network->declare_variables();
  variables = Eigen::Map<const Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
  dynamic_variables =
      Eigen::Map<const Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
  x = taped_constants(variables);
  p = taped_constants(dynamic_variables);
  // A tape needs at least one independent variable: a system without unknowns records nothing.
  if (record && x.size() > 0) CppAD::Independent(x, 0, true, p);
  network->link_variables(x, variables, p, dynamic_variables);
  network->linker = this;
}

void AbstractSolver::reset_inputs() {
  variables = initial_variables;
}

void AbstractSolver::get_variables(double* out) const {
  std::copy(variables.data(), variables.data() + variables.size(), out);
}

void AbstractSolver::set_variables(const double* in) {
  std::copy(in, in + variables.size(), variables.data());
}

int AbstractSolver::independents_size() const {
  return static_cast<int>(variables.size());
}

// ---- AbstractNewton ----

AbstractNewton::AbstractNewton(ElectricalNetwork* network, bool optimize_tape)
    : AbstractSolver(network) {
  CppAD::ErrorHandler handler(custom_handler);
  // The sparse Jacobian resizes the tape's work space at every call; keeping freed blocks for
  // reuse saves their page faults at every iteration.
  CppAD::thread_alloc::hold_memory(true);
  try {
    ADVector x, p;
    declare_and_link(x, p, true);
    ADVector y(variables.size());
    network->add_equations(y);
    if (has_tape()) tape.Dependent(x, y);
  } catch (...) {
    // Close the recording so that a later solver can start its own.
    AD::abort_recording();
    throw;
  }
  spdlog::debug(messages::tape_evaluation);
  spdlog::debug(fmt::runtime(messages::tape_operators), tape.size_op());
  if (optimize_tape) {
    if (has_tape()) tape.optimize("");
    spdlog::debug(messages::tape_optimization);
    spdlog::debug(fmt::runtime(messages::tape_operators), tape.size_op());
  }
  initial_variables = variables;
}

bool AbstractNewton::has_tape() const {
  return variables.size() > 0;
}

Eigen::VectorXd AbstractNewton::residuals_at_variables() {
  if (!has_tape()) return Eigen::VectorXd();
  return tape.Forward(0, variables);
}

Eigen::VectorXd AbstractNewton::forward() {
  return residuals_at_variables();
}

Eigen::SparseMatrix<double> AbstractNewton::compute_jacobian() {
  const auto n = static_cast<std::size_t>(variables.size());
  if (!has_tape()) return Eigen::SparseMatrix<double>(0, 0);
  if (!pattern_analysed) {
    CppAD::sparse_rc<SizeVector> identity(n, n, n);
    for (std::size_t k = 0; k < n; ++k) identity.set(k, k, k);
    tape.for_jac_sparsity(identity, false, false, false, jacobian_pattern);
    jacobian_subset = CppAD::sparse_rcv<SizeVector, Eigen::VectorXd>(jacobian_pattern);
    spdlog::debug(messages::sparse_pattern);
    spdlog::debug(fmt::runtime(messages::pattern_size), n, jacobian_subset.nnz());
  }
  tape.sparse_jac_for(30, variables, jacobian_subset, jacobian_pattern, "cppad", jacobian_work);

  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(jacobian_subset.nnz());
  const auto& rows = jacobian_subset.row();
  const auto& cols = jacobian_subset.col();
  const auto& values = jacobian_subset.val();
  for (std::size_t k = 0; k < jacobian_subset.nnz(); ++k) {
    triplets.emplace_back(static_cast<int>(rows[k]), static_cast<int>(cols[k]),
                          values[static_cast<Eigen::Index>(k)]);
  }
  Eigen::SparseMatrix<double> jacobian(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  jacobian.setFromTriplets(triplets.begin(), triplets.end());
  return jacobian;
}

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
  CppAD::ErrorHandler handler(custom_handler);
  if (has_tape()) tape.new_dynamic(dynamic_variables);
  Eigen::VectorXd residuals = residuals_at_variables();
  int i = 0;
  while (true) {
    // A system without unknowns has nothing to step, whatever the tolerance.
    if (residuals.size() == 0) break;
    const double norm = infinity_norm(residuals);
    if (!((norm > tolerance || std::isnan(norm)) && i < max_iterations)) break;
    const Eigen::SparseMatrix<double> jacobian = compute_jacobian();
    if (!all_finite(jacobian)) fail_at(messages::nan_encountered, i);
    if (!pattern_analysed) {
      if (has_empty_column(jacobian)) fail_at(messages::decomposition_failed, i);
      lu.analyzePattern(jacobian);
      pattern_analysed = true;
    }
    lu.factorize(jacobian);
    if (lu.info() != Eigen::Success) fail_at(messages::decomposition_failed, i);
    const Eigen::VectorXd dx = lu.solve(residuals);
    if (lu.info() != Eigen::Success) fail_at(messages::solving_failed, i);
    step(dx, residuals);
    ++i;
  }
  network->eval_currents();
  // A NaN residual is reported as NaN, never as a small norm.
  return {i, infinity_norm(residuals)};
}

// ---- Newton and NewtonGoldstein ----

Newton::Newton(ElectricalNetwork* network, bool optimize_tape)
    : AbstractNewton(network, optimize_tape) {}

void Newton::step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) {
  variables -= dx;
  residuals = residuals_at_variables();
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1,
                                 double m2)
    : AbstractNewton(network, optimize_tape), m1(m1), m2(m2) {}

void NewtonGoldstein::update_params(double new_m1, double new_m2) {
  m1 = new_m1;
  m2 = new_m2;
}

void NewtonGoldstein::step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) {
  constexpr int kMaxTrials = 10;
  const double f0 = 0.5 * residuals.squaredNorm();
  const double slope = -residuals.squaredNorm();
  const Eigen::VectorXd x0 = variables;
  double t = 1.0, t_lo = 0.0, t_hi = 0.0;
  for (int trials = 1;; ++trials) {
    variables = x0 - t * dx;
    residuals = residuals_at_variables();
    const double q = (0.5 * residuals.squaredNorm() - f0) / t;
    if ((m2 * slope <= q && q <= m1 * slope) || trials == kMaxTrials) return;
    if (q > m1 * slope) {
      t_hi = t;  // too little decrease: the step is too long
    } else {
      t_lo = t;  // too short, or NaN
    }
    t = t_hi == 0.0 ? 2.0 * t : (t_lo + t_hi) * 0.5;
  }
}

}  // namespace tarvelo
