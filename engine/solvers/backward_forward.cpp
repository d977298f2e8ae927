#include "solvers/solvers.hpp"

namespace tarvelo {

// ---- BackwardForward ----

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
  ADVector x, p;
  declare_and_link(x, p, false);
  initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  int i = 0;
  double change = 0.0;
  do {
    network->backward();
    change = network->forward();
    ++i;
  } while (change > tolerance && i < max_iterations);
  return {i, change};
}

}  // namespace tarvelo
