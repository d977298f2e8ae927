// Jacobian diagnostics of the Newton solvers: residuals, dense and sparse Jacobians, Matrix
// Market files, and the elements behind empty columns and non-finite rows.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ios>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>

#include <unsupported/Eigen/SparseExtra>

#include "solvers/logging.hpp"
#include "solvers/messages.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {

namespace {

// A Matrix Market file that could not be created is an error naming the file, with the system's
// reason when there is one.
void require_written(bool written, const std::string& file, int error) {
  if (written) return;
  const std::string text = messages::cannot_write_file + file;
  if (error != 0) {
    throw std::ios_base::failure(text, std::error_code(error, std::generic_category()));
  }
  throw std::ios_base::failure(text);
}

}  // namespace

void AbstractNewton::get_residuals(double* out) {
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd residuals = residuals_at_variables();
  std::copy(residuals.data(), residuals.data() + residuals.size(), out);
}

void AbstractNewton::get_jacobian(double* out) {
  if (!has_tape()) return;  // no unknowns: nothing to write
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd jacobian = tape.Jacobian(variables);
  std::copy(jacobian.data(), jacobian.data() + jacobian.size(), out);
}

void AbstractNewton::save_matrix(const std::string& prefix) {
  // A zero byte would cut the file names short and write both files under another name.
  if (prefix.find('\0') != std::string::npos) {
    throw std::invalid_argument(messages::prefix_with_zero_byte);
  }
  // The handler is installed here too, so that a report of the differentiation library never
  // ends the process.
  CppAD::ErrorHandler handler(custom_handler);
  const Eigen::VectorXd residuals = residuals_at_variables();
  const Eigen::SparseMatrix<double> jacobian = compute_jacobian();

  const std::string matrix_file = prefix + ".mtx";
  errno = 0;
  const bool matrix_written = Eigen::saveMarket(jacobian, matrix_file);
  require_written(matrix_written, matrix_file, errno);

  const std::string vector_file = prefix + "_b.mtx";
  errno = 0;
  const bool vector_written = Eigen::saveMarketVector(residuals, vector_file);
  require_written(vector_written, vector_file, errno);
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
