#include "elements/branch.hpp"

#include <limits>
#include <stdexcept>

#include "elements/messages.hpp"

namespace tarvelo {

namespace {

void require(bool condition, const char* text) {
  if (!condition) throw std::out_of_range(text);
}

bool size_within(int size, std::size_t limit) {
  return size >= 0 && static_cast<std::size_t>(size) <= limit;
}

bool index_within(int index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}

std::vector<Port*> port_range(std::vector<Port>& ports, int first, int count) {
  std::vector<Port*> side;
  side.reserve(static_cast<std::size_t>(count));
  for (int i = first; i < first + count; ++i) side.push_back(&ports[static_cast<std::size_t>(i)]);
  return side;
}

// The port count of a branch; a sum that does not fit an int is refused like a negative count.
int total_port_count(int n1, int n2, int n3) {
  const long long total = static_cast<long long>(n1) + n2 + n3;
  if (total < 0 || total > std::numeric_limits<int>::max()) {
    throw std::length_error("vector::reserve");
  }
  return static_cast<int>(total);
}

}  // namespace

// ---- Branch ----

Branch::Branch(int n1, int n2) : Branch(n1, n2, 0) {}

Branch::Branch(int n1, int n2, int n3)
    : Element(total_port_count(n1, n2, n3)),
      ports1(port_range(ports, 0, n1)),
      ports2(port_range(ports, n1, n2)) {}

void Branch::get_side_potentials(int size1, int size2, Complex* out1, Complex* out2) const {
  require(size_within(size1, ports1.size()), messages::size1_in_range);
  require(size_within(size2, ports2.size()), messages::size2_in_range);
  for (int i = 0; i < size1; ++i) out1[i] = plain_potential(*ports1[i]->connection);
  for (int i = 0; i < size2; ++i) out2[i] = plain_potential(*ports2[i]->connection);
}

void Branch::get_side_currents(int size1, int size2, Complex* out1, Complex* out2) const {
  require(size_within(size1, ports1.size()), messages::size1_in_range);
  require(size_within(size2, ports2.size()), messages::size2_in_range);
  for (int i = 0; i < size1; ++i) out1[i] = ports1[i]->current;
  for (int i = 0; i < size2; ++i) out2[i] = ports2[i]->current;
}

void Branch::connect_side(const Element& element, const std::vector<std::pair<int, int>>& pairs,
                          bool beginning) const {
  const auto& side = beginning ? ports1 : ports2;
  for (const auto& [i, j] : pairs) {
    require(index_within(i, side.size()), messages::side_index_in_range);
    require(index_within(j, element.ports.size()), messages::other_port_in_range);
    element.ports[j].connection->merge(side[i]->connection);
  }
}

// ---- Switch ----

Switch::Switch(int n) : Branch(n, n), currents(make_zero_records(static_cast<std::size_t>(n))) {}

void Switch::declare_independent_variables(std::vector<double>& x) const {
  declare(currents, x);
}

void Switch::link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k) {
  link(currents, x, values, k);
}

template <class S>
void Switch::compute_currents() {
  for (std::size_t k = 0; k < ports1.size(); ++k) {
    const S current = value_of<S>(currents[k]);
    set_current(*ports1[k], current);
    set_current(*ports2[k], negated(current));
  }
}

void Switch::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void Switch::add_internal_equations(ADVector& y, int& k) const {
  for (std::size_t c = 0; c < ports1.size(); ++c) {
    add_dependent_variable(y, k,
                           potential<ADComplex>(*ports1[c]) - potential<ADComplex>(*ports2[c]));
  }
}

void Switch::backward() {
  OwnPorts<Complex> own{ports};
  pass_through_backward(own, ports1.size());
}

double Switch::forward() {
  OwnPorts<Complex> own{ports};
  switch_forward(own, ports1.size());
  return 0.0;
}

// ---- OpenSwitch ----

OpenSwitch::OpenSwitch(int n) : Branch(n, n) {}

}  // namespace tarvelo
