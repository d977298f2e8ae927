#include "core/element.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/messages.hpp"

namespace tarvelo {

namespace {

void require(bool condition, const char* text) {
  if (!condition) throw std::out_of_range(text);
}

bool index_within(int index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}

}  // namespace

// ---- Port ----

Port::Port(const Complex& current, const Complex& potential, Element* element)
    : element(element), current(current) {
  connection = std::make_shared<Connection>(potential, this);
}

void Port::disconnect() {
  ++structure_revision;
  auto& on_node = connection->ports;
  on_node.erase(std::remove(on_node.begin(), on_node.end(), this), on_node.end());
}

// ---- Connection ----

Connection::Connection(const Complex& potential, Port* port) : ports{port}, potential(potential) {}

void Connection::declare_independent_variables(std::vector<double>& x) const {
  if (!fixed_zero) declare(potential, x);
}

void Connection::link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k) {
  if (!fixed_zero) {
    link(potential, x, values, k);
  } else {
    // A node held at zero has no slot. One held by a join made after an earlier link still
    // points into that solver's vector: any later pass, link or unlink, lets go of it.
    let_go_of_slots(potential);
  }
}

void Connection::add_kirchhoff_equation(ADVector& y, int& k, const ListedElements* listed) const {
  if (fixed_zero) return;
  ADComplex sum = zero<ADComplex>();
  for (const Port* p : ports) {
    if (counts(*p, listed)) sum += p->ad_current;
  }
  Element::add_dependent_variable(y, k, sum);
}

Complex Connection::sum_currents() const {
  Complex sum(0.0, 0.0);
  for (const Port* p : ports) sum += p->current;
  return sum;
}

void Connection::merge(const std::shared_ptr<Connection>& other) {
  if (other.get() == this) return;
  ++structure_revision;
  if (!other->ports.empty() || (other->fixed_zero && !fixed_zero)) {
    last_join = other->last_join = ++joins_made;
  }
  fixed_zero = fixed_zero || other->fixed_zero;
  const auto self = shared_from_this();
  // Hold `other` while its ports leave it: the last re-pointed port may release it.
  const std::shared_ptr<Connection> absorbed = other;
  for (Port* p : absorbed->ports) {
    ports.push_back(p);
    p->connection = self;
  }
  // The absorbed node keeps no port: a network built before the join may still list it, and
  // must not reach ports through it that their elements have since freed.
  absorbed->ports.clear();
}

// ---- Element ----

Element::Element(int n) {
  ports.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) ports.emplace_back(Complex(0.0, 0.0), Complex(0.0, 0.0), this);
}

Element::Element(int n, const Complex* potentials) {
  ports.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) ports.emplace_back(Complex(0.0, 0.0), potentials[i], this);
}

// A destroyed element leaves no dangling port behind on a node that outlives it.
Element::~Element() {
  disconnect();
}

void Element::declare_independent_variables(std::vector<double>&) const {}
void Element::declare_dynamic_variables(std::vector<double>&) const {}
void Element::link_independent_variables(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::link_dynamic_variables(const ADVector&, Eigen::VectorXd&, int&) {}
void Element::add_internal_equations(ADVector&, int&) const {}
void Element::backward() {
  throw std::runtime_error(messages::no_sweep_step);
}
double Element::forward() {
  return 0.0;
}

void Element::connect(const Element& element, const std::vector<std::pair<int, int>>& pairs) const {
  for (const auto& [i, j] : pairs) {
    require(index_within(i, ports.size()), messages::port_i_in_range);
    require(index_within(j, element.ports.size()), messages::port_j_in_range);
    ports[i].connection->merge(element.ports[j].connection);
  }
}

void Element::connect_ports(const int* ports_index, int n) const {
  if (ports_index == nullptr || n < 1) return;
  require(index_within(ports_index[0], ports.size()), messages::first_port_index_in_range);
  for (int i = 1; i < n; ++i) {
    require(index_within(ports_index[i], ports.size()), messages::port_index_i_in_range);
    ports[ports_index[0]].connection->merge(ports[ports_index[i]].connection);
  }
}

void Element::disconnect() {
  for (auto& p : ports) p.disconnect();
}

void Element::get_potentials(int size, Complex* out) const {
  require(size >= 0 && static_cast<std::size_t>(size) <= ports.size(), messages::size_in_range);
  for (int i = 0; i < size; ++i) out[i] = plain_potential(*ports[i].connection);
}

void Element::get_currents(int size, Complex* out) const {
  require(size >= 0 && static_cast<std::size_t>(size) <= ports.size(), messages::size_in_range);
  for (int i = 0; i < size; ++i) out[i] = ports[i].current;
}

Complex Element::get_port_potential(int index) const {
  require(index_within(index, ports.size()), messages::index_in_range);
  return plain_potential(*ports[index].connection);
}

Complex Element::get_port_current(int index) const {
  require(index_within(index, ports.size()), messages::index_in_range);
  return ports[index].current;
}

void Element::add_dependent_variable(ADVector& y, int& k, const ADComplex& value) {
  if (k < 0 || k + 1 >= y.size()) throw std::out_of_range(messages::row_outside);
  y[k++] = value.real();
  y[k++] = value.imag();
}

void zero_currents(Element& element, bool taped) {
  for (auto& p : element.ports) {
    if (taped) {
      p.ad_current = zero<ADComplex>();
    } else {
      p.current = Complex(0.0, 0.0);
    }
  }
}

// ---- Bus and Ground ----

Bus::Bus(int n) : ElementImpl<Bus>(n) {}
Bus::Bus(int n, const Complex* potentials) : ElementImpl<Bus>(n, potentials) {}

void Bus::initialize_potentials(const Complex* potentials) {
  for (std::size_t i = 0; i < ports.size(); ++i)
    write_potential(*ports[i].connection, potentials[i]);
}

Ground::Ground() : ElementImpl<Ground>(1) {}

}  // namespace tarvelo
