#include "solvers/solvers.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
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

// The iterations have CppAD keep the blocks it frees for reuse: every Jacobian resizes the tape's
// Taylor storage twice (one direction for the zero-order sweep, 30 for the first-order ones), and
// held blocks save their page faults at every iteration. The work done once per solver
// (recording, optimising, the pattern, the colouring) frees blocks that no later call reuses:
// while an object of this class lives, CppAD gives back every block it frees, and it starts by
// giving back those it holds, so that their memory is the system's again before the next large
// block (the 30-direction Taylor storage) is taken.
class BlocksGivenBack {
 public:
  BlocksGivenBack() {
    CppAD::thread_alloc::hold_memory(false);
    CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
  }
  BlocksGivenBack(const BlocksGivenBack&) = delete;
  BlocksGivenBack& operator=(const BlocksGivenBack&) = delete;
  ~BlocksGivenBack() { CppAD::thread_alloc::hold_memory(true); }
};

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

namespace {

// The solvers alive, oldest first. The engine runs on one thread; the list is never destroyed,
// so that a solver freed at any point of the process's exit still finds it.
std::vector<AbstractSolver*>& live_solvers() {
  static auto* solvers = new std::vector<AbstractSolver*>();
  return *solvers;
}

}  // namespace

AbstractSolver::AbstractSolver(ElectricalNetwork* network) : network(network) {
  require_connections_as_built();
  live_solvers().push_back(this);
  network->solver_added();
}

AbstractSolver::~AbstractSolver() {
  auto& alive = live_solvers();
  alive.erase(std::remove(alive.begin(), alive.end(), this), alive.end());
  network->solver_removed();
  if (alive.empty()) {  // nobody to take anything
    network->unlink_variables(variables, dynamic_variables);
    return;
  }
  // Only what another solver can take is looked for: the slots of the nodes and records that
  // another network with a live solver lists, or all of them while its own network has another
  // solver. The rest keeps its present value as its stored value.
  auto [held, others_can_take] = [this]() noexcept -> std::pair<std::size_t, std::size_t> {
    try {
      const HandingOver counting(variables, dynamic_variables, true);
      return network->count_held_slots(counting);
    } catch (...) {  // counted as held, and as takeable by any solver
      const auto all = static_cast<std::size_t>(variables.size() + dynamic_variables.size());
      return {all, all};
    }
  }();
  const bool own_network_takes = network->solvers_alive() > 0;
  const std::size_t takeable = own_network_takes ? held : others_can_take;
  std::size_t left = held;
  if (takeable > 0) left -= takeable - hand_over(takeable, others_can_take > 0);
  if (left > 0) network->unlink_variables(variables, dynamic_variables);
}

std::size_t AbstractSolver::hand_over(std::size_t left, bool any_network) noexcept {
  // Newest first: a record taken by a solver no longer points here, and an older one leaves it.
  const auto& alive = live_solvers();
  for (auto it = alive.rbegin(); it != alive.rend() && left > 0; ++it) {
    if (any_network || (*it)->network == network) left -= std::min(left, hand_over_to(**it));
  }
  return left;
}

std::size_t AbstractSolver::hand_over_to(AbstractSolver& heir) noexcept {
  // A heir whose network's connections changed since it was built solves no more, and its
  // vectors may no longer have its network's layout (a join held one of its nodes at zero).
  if (heir.network->connections_changed()) return 0;
  std::optional<HandingOver> handing;
  try {
    ElectricalNetwork& on = *heir.network;
    handing.emplace(variables, dynamic_variables);
    on.link_variables(taped_constants(heir.variables), heir.variables,
                      taped_constants(heir.dynamic_variables), heir.dynamic_variables);
  } catch (...) {
    // What the heir took before the failure stays in its vectors, where it is valid; the rest
    // goes to an older solver or keeps its value as stored value.
  }
  return handing ? handing->slots_found() : 0;
}

void AbstractSolver::require_connections_as_built() const {
  if (network->connections_changed()) throw std::runtime_error(messages::connections_changed);
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
  const BlocksGivenBack once_per_solver;
  undone_on_failure([&] {
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
  });
}

bool AbstractNewton::has_tape() const {
  return variables.size() > 0;
}

Eigen::VectorXd AbstractNewton::residuals_at_variables() {
  Eigen::VectorXd out;
  residuals_into(out);
  return out;
}

void AbstractNewton::residuals_into(Eigen::VectorXd& out) {
  if (!has_tape()) {
    out.resize(0);
    return;
  }
  const auto n = static_cast<std::size_t>(variables.size());
  if (sweep_point.size() != n) sweep_point.resize(n);
  std::copy(variables.data(), variables.data() + n, sweep_point.data());
  sweep_values = tape.Forward(0, sweep_point);
  out.resize(static_cast<Eigen::Index>(sweep_values.size()));
  std::copy(sweep_values.data(), sweep_values.data() + sweep_values.size(), out.data());
}

Eigen::VectorXd AbstractNewton::forward() {
  return residuals_at_variables();
}

Eigen::SparseMatrix<double> AbstractNewton::compute_jacobian() {
  if (!has_tape()) return Eigen::SparseMatrix<double>(0, 0);
  return update_jacobian();
}

std::size_t AbstractNewton::sparse_jacobian() {
  std::optional<BlocksGivenBack> first_colouring;  // the colouring's sets, made once
  if (jacobian_work.color.size() == 0) first_colouring.emplace();
  jacobian_point.resize(static_cast<std::size_t>(variables.size()));
  std::copy(variables.begin(), variables.end(), jacobian_point.data());
  return tape.sparse_jac_for(30, jacobian_point, jacobian_subset, jacobian_pattern, "cppad",
                             jacobian_work);
}

const Eigen::SparseMatrix<double>& AbstractNewton::update_jacobian() {
  const auto n = static_cast<std::size_t>(variables.size());
  if (!pattern_analysed) {
    const BlocksGivenBack once_per_solver;
    CppAD::sparse_rc<SizeVector> identity(n, n, n);
    for (std::size_t k = 0; k < n; ++k) identity.set(k, k, k);
    tape.for_jac_sparsity(identity, false, false, false, jacobian_pattern);
    // The tape keeps the pattern of every one of its variables for later sparsity calls, which
    // the Newton solvers never make: only the Jacobian's own pattern is kept.
    tape.size_forward_set(0);
    jacobian_subset = CppAD::sparse_rcv<SizeVector, CppAD::vector<double>>(jacobian_pattern);
    build_jacobian_structure();
    spdlog::debug(messages::sparse_pattern);
    spdlog::debug(fmt::runtime(messages::pattern_size), n, jacobian_subset.nnz());
    pattern_analysed = true;
  }
  sparse_jacobian();
  const auto& values = jacobian_subset.val();
  double* stored = jacobian.valuePtr();
  for (std::size_t k = 0; k < storage_of_entry.size(); ++k) {
    stored[storage_of_entry[k]] = values[k];
  }
  return jacobian;
}

// The column-major structure of the pattern, each column's rows ascending, and where each entry
// of the subset (in the pattern's order) lands in it.
void AbstractNewton::build_jacobian_structure() {
  const auto n = static_cast<Eigen::Index>(variables.size());
  const std::size_t nnz = jacobian_subset.nnz();
  const SizeVector column_major = jacobian_pattern.col_major();
  const auto& rows = jacobian_pattern.row();
  const auto& cols = jacobian_pattern.col();
  jacobian = Eigen::SparseMatrix<double>(n, n);
  jacobian.resizeNonZeros(static_cast<Eigen::Index>(nnz));
  int* starts = jacobian.outerIndexPtr();
  int* inner = jacobian.innerIndexPtr();
  std::fill(starts, starts + n + 1, 0);
  storage_of_entry.assign(nnz, 0);
  for (std::size_t k = 0; k < nnz; ++k) {
    const std::size_t entry = column_major[k];
    ++starts[cols[entry] + 1];
    inner[k] = static_cast<int>(rows[entry]);
    storage_of_entry[entry] = static_cast<int>(k);
  }
  for (Eigen::Index col = 0; col < n; ++col) starts[col + 1] += starts[col];
  std::fill(jacobian.valuePtr(), jacobian.valuePtr() + nnz, 0.0);
}

void AbstractNewton::take_parameters_held_elsewhere() {
  if (parameters_found_at != structure_revision) {
    parameters_elsewhere.clear();
    const FindingRecordsElsewhere finding(dynamic_variables, parameters_elsewhere);
    const ADVector none;
    Eigen::VectorXd unused;
    network->link_variables(none, unused, none, dynamic_variables);
    parameters_found_at = structure_revision;
  }
  take_present_values(parameters_elsewhere, dynamic_variables);
}

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
  require_connections_as_built();
  CppAD::ErrorHandler handler(custom_handler);
  take_parameters_held_elsewhere();
  if (has_tape()) tape.new_dynamic(dynamic_variables);
  residuals_into(residual_values);
  int i = 0;
  while (true) {
    // A system without unknowns has nothing to step, whatever the tolerance.
    if (residual_values.size() == 0) break;
    const double norm = infinity_norm(residual_values);
    if (!((norm > tolerance || std::isnan(norm)) && i < max_iterations)) break;
    const Eigen::SparseMatrix<double>& matrix = update_jacobian();
    if (!all_finite(matrix)) fail_at(messages::nan_encountered, i);
    if (!lu_analysed) {
      if (has_empty_column(matrix)) fail_at(messages::decomposition_failed, i);
      lu.analyzePattern(matrix);
      lu_analysed = true;
    }
    lu.factorize(matrix);
    if (lu.info() != Eigen::Success) fail_at(messages::decomposition_failed, i);
    increment = lu.solve(residual_values);
    if (lu.info() != Eigen::Success) fail_at(messages::solving_failed, i);
    step(increment, residual_values);
    ++i;
  }
  network->eval_currents();
  // A NaN residual is reported as NaN, never as a small norm.
  return {i, infinity_norm(residual_values)};
}

// ---- Newton and NewtonGoldstein ----

Newton::Newton(ElectricalNetwork* network, bool optimize_tape)
    : AbstractNewton(network, optimize_tape) {}

void Newton::step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) {
  variables -= dx;
  residuals_into(residuals);
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
  start = variables;
  double t = 1.0, t_lo = 0.0, t_hi = 0.0;
  for (int trials = 1;; ++trials) {
    variables = start - t * dx;
    residuals_into(residuals);
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
