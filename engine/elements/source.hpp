// Potential references and voltage sources.
//
// PotentialRef: holds its node at zero (the node declares no unknown and writes no row).
// DeltaPotentialRef: unknown I (current into port 0); residual: sum_k V_k = 0.
// VoltageSource (star, n ports, neutral last), unknowns I_i for i < n-1:
//     port i carries I_i, the last port -sum I_i;      residual: (V_i - V_{n-1}) - U_i = 0.
// DeltaVoltageSource: the same currents;               residual: (V_i - V_{i+1}) - U_i = 0.
// The voltages U_i are changeable parameters.
//
// Sweep steps, written once on the ports p (an element's own, or the compact sweep's arrays) and
// the plain voltages u(i):
//     PotentialRef        forward: V_0 := 0, the change being the larger part of the old V_0.
//     VoltageSource       backward: ports 0 .. n-2 balance their nodes in port order, the last
//                         port carries minus their sum;  forward: V_i := V_{n-1} + U_i.
//     DeltaVoltageSource  backward: ports 1 .. n-1 balance their nodes, port 0 carries minus
//                         their sum;  forward: V_{i+1} := V_i - U_i, from port 0 on.
// Each potential is read when it is needed, after the writes before it.
#pragma once

#include <vector>

#include "core/element.hpp"

namespace tarvelo {

template <class Ports>
void star_source_backward(Ports& p, std::size_t n) {
  Complex sum(0.0, 0.0);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const Complex current = p.balancing(i);
    p.set_current(i, current);
    sum += current;
  }
  p.set_current(n - 1, -sum);
}

template <class Ports, class Voltages>
void star_source_forward(Ports& p, std::size_t n, const Voltages& u) {
  for (std::size_t i = 0; i + 1 < n; ++i) p.set_potential(i, p.potential(n - 1) + u(i));
}

template <class Ports>
void delta_source_backward(Ports& p, std::size_t n) {
  Complex sum(0.0, 0.0);
  for (std::size_t i = 1; i < n; ++i) {
    const Complex current = p.balancing(i);
    p.set_current(i, current);
    sum += current;
  }
  p.set_current(0, -sum);
}

template <class Ports, class Voltages>
void delta_source_forward(Ports& p, std::size_t n, const Voltages& u) {
  for (std::size_t i = 0; i + 1 < n; ++i) p.set_potential(i + 1, p.potential(i) - u(i));
}

class PotentialRef : public ElementImpl<PotentialRef> {
 public:
  PotentialRef();

  // Its node reads zero from the start, and its port carries no current: no step has work.
  void eval_currents(bool) override {}
  void backward() override {}
  Complex get_current() const;
};

class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
 public:
  LinkedComplex current;

  explicit DeltaPotentialRef(int n);

  void declare_independent_variables(std::vector<double>& x) const override;
  void link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k) override;
  void eval_currents(bool taped) override;
  void add_internal_equations(ADVector& y, int& k) const override;
  void backward() override;
  double forward() override;
  Complex get_current() const;
};

template <class T>
class AbstractVoltageSource : public ElementImpl<T> {
 public:
  std::vector<LinkedComplex> voltages;
  std::vector<LinkedComplex> currents;

  AbstractVoltageSource(int n, const Complex* given_voltages);

  void declare_independent_variables(std::vector<double>& x) const override {
    declare(currents, x);
  }
  void declare_dynamic_variables(std::vector<double>& p) const override { declare(voltages, p); }
  void link_independent_variables(const ADVector& x, Eigen::VectorXd& values, int& k) override {
    link(currents, x, values, k);
  }
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override {
    link(voltages, p, values, k);
  }
  void eval_currents(bool taped) override;

 private:
  template <class S>
  void compute_currents();
};

class VoltageSource : public AbstractVoltageSource<VoltageSource> {
 public:
  VoltageSource(int n, const Complex* voltages);

  void add_internal_equations(ADVector& y, int& k) const override;
  void backward() override;
  double forward() override;
};

class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
 public:
  DeltaVoltageSource(int n, const Complex* voltages);

  void add_internal_equations(ADVector& y, int& k) const override;
  void backward() override;
  double forward() override;
};

}  // namespace tarvelo
