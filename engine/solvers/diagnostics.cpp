// Jacobian diagnostics of the Newton solvers: residuals, dense and sparse Jacobians, Matrix
// Market files, and the elements behind empty columns and non-finite rows.
#include <cmath>
#include <ios>
#include <set>

#include <unsupported/Eigen/SparseExtra>

#include "solvers/logging.hpp"
#include "solvers/messages.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {

void AbstractNewton::get_residuals(double* out) {
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd residuals = residuals_at_variables();
  std::copy(residuals.data(), residuals.data() + residuals.size(), out);
}

void AbstractNewton::get_jacobian(double* out) {
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd jacobian = tape.Jacobian(variables);
  std::copy(jacobian.data(), jacobian.data() + jacobian.size(), out);
}

void AbstractNewton::save_matrix(const std::string& prefix) {
  // The handler is installed here too, so that a report of the differentiation library never
  // ends the process.
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd residuals = residuals_at_variables();
  const Eigen::SparseMatrix<double> jacobian = compute_jacobian();
  for (const auto& [name, written] :
       {std::pair{prefix + ".mtx", Eigen::saveMarket(jacobian, prefix + ".mtx")},
        std::pair{prefix + "_b.mtx", Eigen::saveMarketVector(residuals, prefix + "_b.mtx")}}) {
    if (!written) throw std::ios_base::failure(messages::cannot_write_file + name);
  }
}

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::SparseMatrix<double> jacobian = compute_jacobian();
  std::vector<long> empty_columns;
  std::set<long> non_finite_rows;
  for (Eigen::Index col = 0; col < jacobian.outerSize(); ++col) {
    bool empty = true;
    for (Eigen::SparseMatrix<double>::InnerIterator it(jacobian, col); it; ++it) {
      if (it.value() != 0.0) empty = false;  // NaN counts as non-zero
      if (!std::isfinite(it.value())) non_finite_rows.insert(it.row());
    }
    if (empty) empty_columns.push_back(col);
  }
  return {network->detect_elements(empty_columns),
          network->detect_elements({non_finite_rows.begin(), non_finite_rows.end()})};
}

}  // namespace tarvelo
