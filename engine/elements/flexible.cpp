#include "core/electrical_network.hpp"

namespace tarvelo {

// Flexible loads are not part of the engine yet: no network holds flexible parameters.
void collect_flexible_parameters(Element*, std::set<FlexibleParameter*>&) {}
void declare_flexible_parameter(const FlexibleParameter&, std::vector<double>&) {}
void link_flexible_parameter(FlexibleParameter&, const ADVector&, Eigen::VectorXd&, int&) {}

}  // namespace tarvelo
