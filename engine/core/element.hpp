// The element protocol, ports and electrical nodes; the two elements that carry no current.
//
// Every element has ports, one per conductor. A port carries the current flowing from its node
// into the element; ports joined together share a node (`Connection`) that carries one complex
// potential. Kirchhoff's law at a node not held at zero gives two residual rows:
//
//     Re sum_p I_p = 0,   Im sum_p I_p = 0      over the ports p on the node.
//
// Elements take part in every solver through the virtual operations below: declaring and linking
// their own unknowns and changeable parameters, computing their port currents (taped while the
// Newton tape is recorded, plain afterwards), writing their own residual rows, and the backward
// and forward steps of the sweep.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/arithmetic.hpp"
#include "core/linked.hpp"

namespace tarvelo {

class Element;
class Connection;

// Counts the joins that moved a port onto another node or held a node at zero; a node keeps the
// count of the last such join that touched it, so that a network built before it can tell that
// its nodes are no longer those it was built on.
inline std::uint64_t joins_made = 0;

// The elements that a network lists, kept when a port of an element it does not list lies on one
// of its nodes: only the ports of listed elements count in its balances.
using ListedElements = std::unordered_set<const Element*>;

// While a sweep runs the elements' own steps over such a network, its listed elements: the
// balancing currents leave the ports of the others out.
inline const ListedElements* sweep_counts_only = nullptr;

struct Port {
  std::shared_ptr<Connection> connection;
  Element* element;
  ADComplex ad_current{AD(0.0), AD(0.0)};
  Complex current;

  Port(const Complex& current, const Complex& potential, Element* element);
  // Removes this port from its node's port list; the port still reads that node's potential.
  void disconnect();
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  std::vector<Port*> ports;
  LinkedComplex potential;
  bool fixed_zero = false;
  // How many times networks with a live solver list this node (kept by the networks).
  int solving_listings = 0;
  // The count of joins made when a join last moved ports onto or off this node or held it at
  // zero (see joins_made).
  std::uint64_t last_join = 0;

  Connection(const Complex& potential, Port* port);

  void declare_independent_variables(std::vector<double>& x) const;
  void link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k);
  // Kirchhoff's rows over the ports of the listed elements (every port when `listed` is null).
  void add_kirchhoff_equation(ADVector& y, int& k, const ListedElements* listed = nullptr) const;
  Complex sum_currents() const;
  // Absorbs `other`'s ports; this node keeps its own potential.
  void merge(const std::shared_ptr<Connection>& other);
};

// The node read rules: plain reads 0 for a node held at zero, else the linked slot, else the
// stored value; taped reads the constant 0 for a node held at zero, else the taped potential.
inline Complex plain_potential(const Connection& c) {
  return c.fixed_zero ? Complex(0.0, 0.0) : read(c.potential);
}
inline ADComplex taped_potential(const Connection& c) {
  return c.fixed_zero ? zero<ADComplex>() : c.potential.ad;
}
// Writes a potential found by a sweep step (stored value and, when linked, the slots).
inline void write_potential(Connection& c, const Complex& v) {
  update(c.potential, v);
}

template <class S>
S potential(const Port& p);
template <>
inline Complex potential<Complex>(const Port& p) {
  return plain_potential(*p.connection);
}
template <>
inline ADComplex potential<ADComplex>(const Port& p) {
  return taped_potential(*p.connection);
}

inline void set_current(Port& p, const Complex& i) {
  p.current = i;
}
inline void set_current(Port& p, const ADComplex& i) {
  p.ad_current = i;
}

inline bool counts(const Port& p, const ListedElements* listed) {
  return listed == nullptr || listed->contains(p.element);
}

// Minus the sum of the plain currents of the other ports on p's node: the current that p must
// carry for the node to balance.
inline Complex balancing_current(const Port& p) {
  Complex sum(0.0, 0.0);
  for (const Port* other : p.connection->ports) {
    if (other != &p && counts(*other, sweep_counts_only)) sum += other->current;
  }
  return -sum;
}

// An element's own ports as its current computations and sweep steps read and write them, in the
// arithmetic of S: the potential of port k's node, port k's current, and the current that
// balances port k's node. The compact sweep (solvers/backward_forward.cpp) offers the same five
// operations on its arrays, so that each sweep step below and in the element families is written
// once, as a template on the ports, and serves both.
template <class S>
struct OwnPorts {
  std::vector<Port>& ports;

  S potential(std::size_t k) const { return tarvelo::potential<S>(ports[k]); }
  void set_potential(std::size_t k, const Complex& v) { write_potential(*ports[k].connection, v); }
  Complex current(std::size_t k) const { return ports[k].current; }
  void set_current(std::size_t k, const S& i) { tarvelo::set_current(ports[k], i); }
  Complex balancing(std::size_t k) const { return balancing_current(ports[k]); }
};

// The larger of the absolute values of z's parts: the change measure of the steps that do not
// take a modulus.
inline double larger_part(const Complex& z) {
  return std::max(std::abs(z.real()), std::abs(z.imag()));
}

class Element {
 public:
  std::vector<Port> ports;
  // How many times networks with a live solver list this element (kept by the networks).
  int solving_listings = 0;
  // The mark of the last network built that lists it (see ElectricalNetwork's constructor).
  std::uint64_t listing_mark = 0;

  explicit Element(int n);
  Element(int n, const Complex* potentials);
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;
  virtual ~Element();

  virtual void declare_independent_variables(std::vector<double>& x) const;
  virtual void declare_dynamic_variables(std::vector<double>& p) const;
  virtual void link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k);
  virtual void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k);
  virtual void eval_currents(bool taped) = 0;
  virtual void add_internal_equations(ADVector& y, int& k) const;
  virtual void backward();
  virtual double forward();
  // Whether the element computes values when they are read (a delta load's inner currents, a
  // flexible load's powers), rather than giving back those its last evaluation kept.
  virtual bool computes_on_reading() const { return false; }
  // Whether the values it computes when they are read are finite at the present potentials and
  // parameters.
  virtual bool computed_readings_finite() const { return true; }

  void connect(const Element& element, const std::vector<std::pair<int, int>>& pairs) const;
  void connect_ports(const int* ports_index, int n) const;
  void disconnect();

  void get_potentials(int size, Complex* out) const;
  void get_currents(int size, Complex* out) const;
  Complex get_port_potential(int index) const;
  Complex get_port_current(int index) const;

  static void add_dependent_variable(ADVector& y, int& k, const ADComplex& value);
};

template <class T>
class ElementImpl : public Element {
 public:
  using Element::Element;
};

class Bus : public ElementImpl<Bus> {
 public:
  explicit Bus(int n);
  Bus(int n, const Complex* potentials);

  void initialize_potentials(const Complex* potentials);
  // A bus carries no current: its ports keep the zero currents they were made with.
  void eval_currents(bool) override {}
  void backward() override {}
};

class Ground : public ElementImpl<Ground> {
 public:
  Ground();

  void eval_currents(bool) override {}
  void backward() override {}
};

// Sets every port current of the element to zero, in the form chosen by `taped`.
void zero_currents(Element& element, bool taped);

}  // namespace tarvelo
