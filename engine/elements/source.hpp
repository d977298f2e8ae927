// Potential references and voltage sources.
//
// PotentialRef: holds its node at zero (the node declares no unknown and writes no row).
// DeltaPotentialRef: unknown I (current into port 0); residual: sum_k V_k = 0.
// VoltageSource (star, n ports, neutral last), unknowns I_i for i < n-1:
//     port i carries I_i, the last port -sum I_i;      residual: (V_i - V_{n-1}) - U_i = 0.
// DeltaVoltageSource: the same currents;               residual: (V_i - V_{i+1}) - U_i = 0.
// The voltages U_i are changeable parameters.
#pragma once

#include <vector>

#include "core/element.hpp"

namespace tarvelo {

class PotentialRef : public ElementImpl<PotentialRef> {
 public:
  PotentialRef();

  void eval_currents(bool taped) override;
  void backward() override;
  double forward() override;
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
