// The assembled network: its elements, its distinct nodes and the network-wide passes.
//
// Layout of a solver's vectors, fixed here:
//   unknowns x (and residual rows y, row for row):
//     Re V, Im V of every node not held at zero, in order of first appearance through the
//     elements' ports; then every element's own unknowns, in element order.
//   dynamic parameters p:
//     every element's changeable parameters, in element order; then s_max, q_min, q_max of each
//     distinct flexible parameter, once per object, ordered by address.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "core/element.hpp"

namespace tarvelo {

class FlexibleParameter;
struct SweepPlan;

class ElectricalNetwork {
 public:
  std::vector<Element*> elements;
  std::vector<std::shared_ptr<Connection>> all_connections;
  std::set<FlexibleParameter*> flexible_parameters;
  // The compact form of the sweep over these elements, made and checked by the backward-forward
  // solver (solvers/backward_forward.cpp); empty until a sweep needs it.
  std::shared_ptr<SweepPlan> sweep_plan;

  explicit ElectricalNetwork(std::vector<Element*> elements);
  ElectricalNetwork(const ElectricalNetwork&) = delete;
  ElectricalNetwork& operator=(const ElectricalNetwork&) = delete;
  ~ElectricalNetwork();

  // Whether a join made since the network was built moved a port of a listed element onto
  // another node, held one of its nodes at zero or put a port of an element it does not list on
  // one of them: its solvers no longer solve what the elements read. Looks at the nodes only
  // when joins were made since the last look.
  bool connections_changed() const;
  // The elements it lists, when ports of elements it does not list lie on its nodes (those draw
  // nothing in its solvers); null when every port on its nodes is one of its elements'.
  const ListedElements* counted_elements() const { return listed_elements.get(); }

  // Kept by the solvers: a network with a live solver counts in the solving listings of every
  // element, node and flexible parameter it lists.
  void solver_added();
  void solver_removed();
  int solvers_alive() const { return live_solvers; }

  std::pair<std::vector<double>, std::vector<double>> declare_variables() const;
  void link_variables(const ADVector& x, Eigen::VectorXd& x_values, const ADVector& p,
                      Eigen::VectorXd& p_values) const;
  // Points every node and record still linked to the slots of x_values and p_values (the
  // vectors of a solver that goes away) back at its stored value.
  void unlink_variables(Eigen::VectorXd& x_values, Eigen::VectorXd& p_values) const;
  // Under `counting` (a counting HandingOver of a going solver of this network): the slots that
  // solver holds, of all the nodes, elements and flexible parameters listed, and of those that
  // another network with a live solver lists (its own has none left then).
  std::pair<std::size_t, std::size_t> count_held_slots(const HandingOver& counting) const;
  void add_equations(ADVector& y) const;
  void eval_currents() const;
  void backward();
  double forward();
  // The nodes whose potentials a sweep reads or writes: those listed, not held at zero; given a
  // solver vector x, only those whose potential is not a slot of x (their stored value, or a
  // slot of another solver's vector). The list holds while `structure_revision` does not move.
  std::vector<const Connection*> live_nodes(const Eigen::VectorXd* x = nullptr) const;
  std::vector<int> detect_elements(const std::vector<long>& indices) const;

 private:
  // The link pass over every node, element and flexible parameter in the layout's order: `each`
  // is given an item's solving listings and the links of that item to run.
  template <class Each>
  void link_each(const ADVector& x, Eigen::VectorXd& x_values, const ADVector& p,
                 Eigen::VectorXd& p_values, Each&& each) const;
  // Adds `change` to the solving listings of each element, node and flexible parameter listed.
  void count_listings(int change) const;

  std::unique_ptr<const ListedElements> listed_elements;
  std::uint64_t built_after = 0;  // joins_made when it was built
  mutable std::uint64_t looked_after = 0;
  mutable bool changed = false;
  int live_solvers = 0;
};

// The flexible-parameter seams of the network passes (defined with the flexible loads).
void collect_flexible_parameters(Element* element, std::set<FlexibleParameter*>& out);
void declare_flexible_parameter(const FlexibleParameter& parameter, std::vector<double>& p);
void link_flexible_parameter(FlexibleParameter& parameter, const ADVector& p,
                             Eigen::VectorXd& values, int& k);
int& solving_listings(FlexibleParameter& parameter);

}  // namespace tarvelo
