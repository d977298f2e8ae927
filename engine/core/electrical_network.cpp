#include "core/electrical_network.hpp"

#include <algorithm>
#include <unordered_set>

namespace tarvelo {

namespace {

// Marks the listed elements with a mark of their own, then looks for a port of an unmarked
// element on the nodes: no set of elements is made unless some port lies there.
bool lists_all_ports_on_its_nodes(const std::vector<Element*>& elements,
                                  const std::vector<std::shared_ptr<Connection>>& nodes) {
  static std::uint64_t marks = 0;
  const std::uint64_t mark = ++marks;
  for (Element* element : elements) element->listing_mark = mark;
  return std::all_of(nodes.begin(), nodes.end(), [&](const auto& node) {
    return std::all_of(node->ports.begin(), node->ports.end(),
                       [&](const Port* port) { return port->element->listing_mark == mark; });
  });
}

}  // namespace

ElectricalNetwork::ElectricalNetwork(std::vector<Element*> elements)
    : elements(std::move(elements)), built_after(joins_made), looked_after(joins_made) {
  std::unordered_set<const Connection*> seen;
  for (Element* element : this->elements) {
    for (const Port& port : element->ports) {
      if (seen.insert(port.connection.get()).second) all_connections.push_back(port.connection);
    }
    collect_flexible_parameters(element, flexible_parameters);
  }
  if (!lists_all_ports_on_its_nodes(this->elements, all_connections)) {
    listed_elements =
        std::make_unique<ListedElements>(this->elements.begin(), this->elements.end());
  }
}

ElectricalNetwork::~ElectricalNetwork() {
  if (live_solvers > 0) count_listings(-1);
}

void ElectricalNetwork::count_listings(int change) const {
  for (Element* element : elements) element->solving_listings += change;
  for (const auto& node : all_connections) node->solving_listings += change;
  for (FlexibleParameter* parameter : flexible_parameters) {
    solving_listings(*parameter) += change;
  }
}

void ElectricalNetwork::solver_added() {
  if (live_solvers++ == 0) count_listings(+1);
}

void ElectricalNetwork::solver_removed() {
  if (--live_solvers == 0) count_listings(-1);
}

bool ElectricalNetwork::connections_changed() const {
  if (looked_after != joins_made) {
    changed =
        changed || std::any_of(all_connections.begin(), all_connections.end(),
                               [this](const auto& node) { return node->last_join > built_after; });
    looked_after = joins_made;
  }
  return changed;
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::declare_variables() const {
  std::vector<double> x, p;
  for (const auto& node : all_connections) node->declare_independent_variables(x);
  for (const Element* element : elements) {
    element->declare_independent_variables(x);
    element->declare_dynamic_variables(p);
  }
  for (const FlexibleParameter* parameter : flexible_parameters) {
    declare_flexible_parameter(*parameter, p);
  }
  return {std::move(x), std::move(p)};
}

template <class Each>
void ElectricalNetwork::link_each(const ADVector& x, Eigen::VectorXd& x_values, const ADVector& p,
                                  Eigen::VectorXd& p_values, Each&& each) const {
  int kx = 0, kp = 0;
  for (const auto& node : all_connections) {
    each(node->solving_listings, [&] { node->link_independent_variables(x, x_values, kx); });
  }
  for (Element* element : elements) {
    each(element->solving_listings, [&] {
      element->link_independent_variables(x, x_values, kx);
      element->link_dynamic_variables(p, p_values, kp);
    });
  }
  for (FlexibleParameter* parameter : flexible_parameters) {
    each(solving_listings(*parameter),
         [&] { link_flexible_parameter(*parameter, p, p_values, kp); });
  }
}

void ElectricalNetwork::link_variables(const ADVector& x, Eigen::VectorXd& x_values,
                                       const ADVector& p, Eigen::VectorXd& p_values) const {
  link_each(x, x_values, p, p_values, [](int, const auto& links) { links(); });
}

void ElectricalNetwork::unlink_variables(Eigen::VectorXd& x_values,
                                         Eigen::VectorXd& p_values) const {
  const ADVector none;  // an empty taped vector makes the link pass an unlink
  link_variables(none, x_values, none, p_values);
}

std::pair<std::size_t, std::size_t> ElectricalNetwork::count_held_slots(
    const HandingOver& counting) const {
  const ADVector none;
  Eigen::VectorXd unused;
  std::size_t shared = 0;
  // Counts the slots found while an item's links run, as shared if another network with a live
  // solver lists it (an element this network lists twice counts as shared).
  const int own_listings = live_solvers > 0 ? 1 : 0;
  link_each(none, unused, none, unused, [&](int listings, const auto& links) {
    const std::size_t before = counting.slots_found();
    links();
    if (listings > own_listings) shared += counting.slots_found() - before;
  });
  return {counting.slots_found(), shared};
}

void ElectricalNetwork::add_equations(ADVector& y) const {
  int k = 0;
  for (Element* element : elements) element->eval_currents(true);
  for (const auto& node : all_connections) {
    node->add_kirchhoff_equation(y, k, listed_elements.get());
  }
  for (const Element* element : elements) element->add_internal_equations(y, k);
}

void ElectricalNetwork::eval_currents() const {
  for (Element* element : elements) element->eval_currents(false);
}

void ElectricalNetwork::backward() {
  // The balances leave out the ports of elements it does not list, while the pass runs.
  struct CountingOnly {
    explicit CountingOnly(const ListedElements* listed) { sweep_counts_only = listed; }
    CountingOnly(const CountingOnly&) = delete;
    CountingOnly& operator=(const CountingOnly&) = delete;
    ~CountingOnly() { sweep_counts_only = nullptr; }
  } counting_only(listed_elements.get());
  for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward();
}

double ElectricalNetwork::forward() {
  double largest = 0.0;
  for (Element* element : elements) {
    const double change = element->forward();
    if (change > largest) largest = change;
  }
  return largest;
}

std::vector<const Connection*> ElectricalNetwork::live_nodes(const Eigen::VectorXd* x) const {
  std::vector<const Connection*> found;
  for (const auto& node : all_connections) {
    const bool in_x =
        x != nullptr && node->potential.is_linked && points_into(node->potential.linked, *x);
    if (!node->fixed_zero && !in_x) found.push_back(node.get());
  }
  return found;
}

std::vector<int> ElectricalNetwork::detect_elements(const std::vector<long>& indices) const {
  std::set<int> found;
  std::vector<double> scratch;
  std::size_t ic = 0, ie = 0;
  bool elements_declared = false;

  const auto position_of = [this](const Element* element) -> int {
    const auto it = std::find(elements.begin(), elements.end(), element);
    return it == elements.end() ? -1 : static_cast<int>(it - elements.begin());
  };
  const auto add = [&found](int position) {
    if (position >= 0) found.insert(position);
  };

  for (const long v : indices) {
    while (v >= static_cast<long>(scratch.size()) && ic < all_connections.size() &&
           !elements_declared) {
      all_connections[ic]->declare_independent_variables(scratch);
      ++ic;
    }
    if (!elements_declared && v < static_cast<long>(scratch.size())) {
      if (ic == 0) continue;
      const Connection& node = *all_connections[ic - 1];
      bool any_nan = false;
      for (const Port* port : node.ports) {
        const double re = CppAD::Value(CppAD::Var2Par(port->ad_current.real()));
        const double im = CppAD::Value(CppAD::Var2Par(port->ad_current.imag()));
        if (std::isnan(re) || std::isnan(im)) {
          add(position_of(port->element));
          any_nan = true;
        }
      }
      // Else the element of the node's first port that the network lists (a node whose listed
      // ports have all been disconnected has nobody to report).
      const auto listed = std::find_if(node.ports.begin(), node.ports.end(), [&](const Port* port) {
        return position_of(port->element) >= 0;
      });
      if (!any_nan && listed != node.ports.end()) add(position_of((*listed)->element));
      continue;
    }
    while (v >= static_cast<long>(scratch.size()) && ie < elements.size()) {
      elements[ie]->declare_independent_variables(scratch);
      elements_declared = true;
      ++ie;
    }
    if (ie > 0) add(static_cast<int>(ie - 1));
  }
  return {found.begin(), found.end()};
}

}  // namespace tarvelo
