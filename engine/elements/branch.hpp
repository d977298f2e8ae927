// Two-sided elements: the branch base and the switches.
//
// A branch groups its ports into side 1 (ports 0 .. n1-1) and side 2 (ports n1 .. n1+n2-1);
// further ports belong to neither side.
//
// Closed switch, per conductor k with its own unknown current I_k:
//     port 1_k carries I_k, port 2_k carries -I_k,     residual: V1_k - V2_k = 0.
// Open switch: every port carries 0.
//
// Sweep steps, written once on the ports p (an element's own, or the compact sweep's arrays) of a
// branch of n conductors, side 1 on ports 0 .. n-1 and side 2 on ports n .. 2n-1:
//     pass_through_backward (closed switch, simplified line): each side-2 port takes the current
//         that balances its node, in port order; side-1 port k carries minus side-2 port k's.
//     switch_forward: V2_k := V1_k, conductor by conductor.
#pragma once

#include <utility>
#include <vector>

#include "core/element.hpp"

namespace tarvelo {

class Branch : public Element {
 public:
  std::vector<Port*> ports1;
  std::vector<Port*> ports2;

  Branch(int n1, int n2);
  Branch(int n1, int n2, int n3);

  void get_side_potentials(int size1, int size2, Complex* out1, Complex* out2) const;
  void get_side_currents(int size1, int size2, Complex* out1, Complex* out2) const;
  // Joins side 1 (beginning) or side 2 of this branch to ports of `element`; the other
  // element's nodes survive, with their potentials.
  void connect_side(const Element& element, const std::vector<std::pair<int, int>>& pairs,
                    bool beginning) const;
};

// Writes the n computed currents of one side to its ports; when the side has one port more than
// currents, that last port takes minus their sum.
template <class S, class Currents>
void write_side_currents(const std::vector<Port*>& side, const Currents& currents) {
  const auto n = static_cast<std::size_t>(currents.size());
  for (std::size_t i = 0; i < n && i < side.size(); ++i) set_current(*side[i], S(currents[i]));
  if (side.size() <= n) return;  // no port left for the sum: nothing more to record
  S sum = zero<S>();
  for (std::size_t i = 0; i < n; ++i) sum -= currents[i];
  set_current(*side[n], sum);
}

template <class Ports>
void pass_through_backward(Ports& p, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) p.set_current(n + k, p.balancing(n + k));
  for (std::size_t k = 0; k < n; ++k) p.set_current(k, -p.current(n + k));
}

template <class Ports>
void switch_forward(Ports& p, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) p.set_potential(n + k, p.potential(k));
}

class Switch : public Branch {
 public:
  std::vector<LinkedComplex> currents;

  explicit Switch(int n);

  void declare_independent_variables(std::vector<double>& x) const override;
  void link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k) override;
  void eval_currents(bool taped) override;
  void add_internal_equations(ADVector& y, int& k) const override;
  void backward() override;
  double forward() override;

 private:
  template <class S>
  void compute_currents();
};

class OpenSwitch : public Branch {
 public:
  explicit OpenSwitch(int n);

  // Its ports carry no current: they keep the zero currents they were made with.
  void eval_currents(bool) override {}
  void backward() override {}
};

}  // namespace tarvelo
