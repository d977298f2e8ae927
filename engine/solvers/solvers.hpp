// The load-flow solvers.
//
// Unknowns x: node potentials (Re, Im per node not held at zero) then the elements' own unknowns,
// in the network's layout. Residuals F(x, p): Kirchhoff's law per node, then the elements' own
// equations; p are the changeable element parameters.
//
// Newton-Raphson records F once on a tape with p as dynamic parameters. Each iteration:
//     J = dF/dx (sparse, pattern computed once),   J dx = F (sparse LU, pattern analysed once),
//     x <- x - t dx,
// with t = 1 for `Newton` and t from a Goldstein line search on f = |F|^2 / 2 for
// `NewtonGoldstein`. The backward-forward sweep repeats the elements' backward steps (currents,
// last element first) and forward steps (potentials, first element first) instead.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>

#include "core/electrical_network.hpp"

namespace tarvelo {

class AbstractSolver {
 public:
  ElectricalNetwork* network;
  Eigen::VectorXd variables;
  Eigen::VectorXd initial_variables;
  Eigen::VectorXd dynamic_variables;

  // Refuses a network whose connections changed after it was built.
  explicit AbstractSolver(ElectricalNetwork* network);
  AbstractSolver(const AbstractSolver&) = delete;
  AbstractSolver& operator=(const AbstractSolver&) = delete;
  // Hands each node and record that this solver holds to the newest solver still alive, on any
  // network, whose network holds it; what none of them takes keeps the value it holds now as its
  // stored value.
  virtual ~AbstractSolver();

  virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

  void reset_inputs();
  void get_variables(double* out) const;
  void set_variables(const double* in);
  int independents_size() const;

 protected:
  // Declares the network's variables into the solver's vectors and links the network to them;
  // x and p become the taped vectors (independent variables of a tape when one is recording).
  void declare_and_link(ADVector& x, ADVector& p, bool record);
  // Runs a constructor's work from the link on: should it fail, every node and record the
  // solver linked goes back to what it was before (the solver that held it, or its stored
  // value), so that the solver holds nothing when it goes, and the exception goes on.
  template <class Work>
  void undone_on_failure(Work&& work);
  // Refuses a solve when the network's connections changed after it was built.
  void require_connections_as_built() const;

 private:
  // Links to `heir`'s vectors the nodes and records of the heir's network that this solver
  // holds; they carry into it the values they hold now (the latest potentials, the parameters
  // as updated). Returns the slots of this solver they held: none when the connections of the
  // heir's network changed since it was built, those taken so far when the pass fails part way.
  std::size_t hand_over_to(AbstractSolver& heir) noexcept;
  // Hands over to the solvers alive, newest first, until they have taken `left` slots; only to
  // those of its own network unless `any_network`. Returns the slots still held.
  std::size_t hand_over(std::size_t left, bool any_network) noexcept;
};

class BackwardForward : public AbstractSolver {
 public:
  explicit BackwardForward(ElectricalNetwork* network);

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

 private:
  // Whether every potential the sweep reads or writes is finite: the node slots of `variables`
  // while the network's nodes are in them (not the unknowns after them, source and switch
  // currents that the sweep never uses), and the nodes checked one by one.
  bool potentials_finite();
  // Finds again, once the structure revision has moved, whether the network's nodes are in the
  // node slots of `variables` and which nodes are checked one by one: those outside `variables`,
  // or every node while the nodes are not all in place (a newer solver holds some).
  void find_nodes_to_check();
  // Whether every port current of the network's elements is finite.
  bool currents_finite() const;
  // Whether what the elements compute when they are read (a delta load's inner currents, a
  // flexible load's powers) is finite at the present potentials and parameters.
  bool readings_finite() const;

  // The number of node slots at the head of `variables`.
  Eigen::Index node_slots = 0;
  bool nodes_in_place = true;
  std::vector<const Connection*> checked_nodes;
  std::uint64_t checked_revision = std::numeric_limits<std::uint64_t>::max();
  // The network's elements that compute values when they are read.
  std::vector<const Element*> computing_on_reading;
};

template <class Work>
void AbstractSolver::undone_on_failure(Work&& work) {
  UndoableLinking linking;
  try {
    work();
  } catch (...) {
    linking.put_back([this] { network->unlink_variables(variables, dynamic_variables); });
    throw;
  }
}

using SizeVector = CppAD::vector<std::size_t>;

class AbstractNewton : public AbstractSolver {
 public:
  CppAD::ADFun<double> tape;
  CppAD::sparse_rc<SizeVector> jacobian_pattern;
  // The Jacobian's values and the point where it is taken live in CppAD's vectors: the work
  // vectors of its colour groups then come from CppAD's allocator, which keeps them from one
  // iteration to the next, where the system's would give such large blocks back and fault them
  // in again page by page.
  CppAD::sparse_rcv<SizeVector, CppAD::vector<double>> jacobian_subset;
  CppAD::vector<double> jacobian_point;
  CppAD::sparse_jac_work jacobian_work;
  Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu;
  bool pattern_analysed = false;  // the Jacobian's sparsity pattern
  bool lu_analysed = false;       // the LU's pattern, once the Jacobian has no empty column

  std::size_t sparse_jacobian();  // into jacobian_subset at the variables; the colours used

  AbstractNewton(ElectricalNetwork* network, bool optimize_tape);

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
  virtual void step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) = 0;

  Eigen::VectorXd forward();
  // A copy of the Jacobian at the current variables (see update_jacobian).
  Eigen::SparseMatrix<double> compute_jacobian();
  // Computes the pattern when it is not analysed yet, then the Jacobian's values, written in
  // place into the solver's kept matrix, whose structure is built with the pattern. The
  // reference stays valid, and the matrix follows every later call. Needs a tape.
  const Eigen::SparseMatrix<double>& update_jacobian();

  void get_residuals(double* out);
  void get_jacobian(double* out);
  void save_matrix(const std::string& prefix);
  std::pair<std::vector<int>, std::vector<int>> analyse_jacobian();

 protected:
  // Whether a tape was recorded: a system without unknowns has none, and nothing to solve.
  bool has_tape() const;
  // Residuals at the current variables (zero-order forward sweep of the tape).
  Eigen::VectorXd residuals_at_variables();
  // The same, written into `out` (resized only when its size differs).
  void residuals_into(Eigen::VectorXd& out);

 private:
  void build_jacobian_structure();
  // Takes into `dynamic_variables` the present value of every parameter whose record another
  // solver holds (or none): each solve solves the parameters as last set. The records are found
  // again only when the structure revision has moved.
  void take_parameters_held_elsewhere();

  std::vector<RecordElsewhere> parameters_elsewhere;
  std::uint64_t parameters_found_at = std::numeric_limits<std::uint64_t>::max();

  // What one iteration needs, kept from one to the next: the Jacobian (column-major, the
  // pattern's structure), the storage position of each subset entry, the residuals, the
  // increment, and CppAD's argument and result vectors of the zero-order sweep (their memory
  // comes from CppAD's held blocks).
  Eigen::SparseMatrix<double> jacobian;
  std::vector<int> storage_of_entry;
  Eigen::VectorXd residual_values;
  Eigen::VectorXd increment;
  CppAD::vector<double> sweep_point;
  CppAD::vector<double> sweep_values;
};

class Newton : public AbstractNewton {
 public:
  Newton(ElectricalNetwork* network, bool optimize_tape);

  void step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) override;
};

class NewtonGoldstein : public AbstractNewton {
 public:
  double m1;
  double m2;

  NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2);

  void update_params(double m1, double m2);
  void step(const Eigen::VectorXd& dx, Eigen::VectorXd& residuals) override;

 private:
  Eigen::VectorXd start;  // the point the line search starts from, kept between steps
};

}  // namespace tarvelo
