// The backward-forward sweep: no derivatives, no tape.
//
// One sweep is a backward pass over the elements from last to first, each setting its plain port
// currents from the present potentials and from the currents of the elements after it, then a
// forward pass from first to last, each writing the potentials it fixes and measuring the change
// it made. Sweeps repeat while the largest change exceeds the tolerance and the limit is not
// reached; at least one is always made. The host's element order is the sweep order.
#include <limits>

#include "solvers/solvers.hpp"

namespace tarvelo {

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
    // The elements' measures skip NaN changes: potentials that went non-finite must end the
    // sweep as a failure (NaN), not look converged.
    if (!variables.allFinite()) change = std::numeric_limits<double>::quiet_NaN();
    ++i;
  } while (change > tolerance && i < max_iterations);
  return {i, change};
}

}  // namespace tarvelo
