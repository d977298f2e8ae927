// Loads: elements that draw current according to a law of the voltage they see.
//
// Star load, n ports (neutral last), one record X_i per phase i < n-1:
//     dV_i = V_i - V_{n-1},   J_i = law(X_i, dV_i),
//     port i carries J_i, the neutral -sum_i J_i.
// Delta load, n ports, one record per branch i from phase i to phase (i+1) mod n:
//     dV_i = V_i - V_{(i+1) mod n},   J_i = law(X_i, dV_i),
//     port i carries J_i - J_{(i+n-1) mod n}.
// Laws:
//     constant power        J = conj(S / dV)          (S = dV conj(J) is the power drawn)
//     constant current      J = I dV / |dV|           (|J| = |I|, angle of I relative to dV)
//     constant admittance   J = Y dV
// The records are changeable parameters.
//
// Load balancer, 4 ports (phases 0..2, neutral 3), one 3 x 3 matrix record Y:
//     dV = phase_to_neutral V,   I = Y dV,   ports 0..2 carry I, the neutral -sum I,
// with Y the inverse of the impedance matrix Z = [[a, b, b], [b, a, b], [b, b, a]],
//     a = z2 + (1 + 1 / k^2) / ym,   b = -1 / (k ym).
#pragma once

#include <stdexcept>
#include <vector>

#include "core/element.hpp"

namespace tarvelo {

class LoadBase : public Element {
 public:
  using Element::Element;

  // Writes the branch currents in phase order.
  virtual void get_inner_currents(Complex* out) const = 0;
  // How many currents get_inner_currents writes: one per phase (star) or branch (delta).
  virtual std::size_t inner_current_count() const = 0;
};

// The star and delta machinery shared by every load with one record per phase or branch.
// T provides `records()`, `branch_current<S>(i, dV)` (the law) and `is_delta`.
template <class T>
class Load : public LoadBase {
 public:
  explicit Load(int n) : LoadBase(checked_port_count(n)) {}

  void declare_dynamic_variables(std::vector<double>& p) const override {
    declare(self().records(), p);
  }
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override {
    link(self().records(), p, values, k);
  }
  void eval_currents(bool taped) override {
    taped ? assemble_currents<ADComplex>() : assemble_currents<Complex>();
  }
  void backward() override { assemble_currents<Complex>(); }

  // Star: the phase currents of the last plain evaluation. Delta: the branch currents at the
  // present potentials and record values.
  void get_inner_currents(Complex* out) const override {
    const std::size_t count = inner_current_count();
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = T::is_delta ? self().template branch_current<Complex>(i, voltage<Complex>(i))
                           : ports[i].current;
    }
  }
  std::size_t inner_current_count() const override { return self().records().size(); }

  // The voltage seen by record i: phase to neutral (star) or phase to next phase (delta).
  template <class S>
  S voltage(std::size_t i) const {
    const std::size_t other = T::is_delta ? (i + 1) % ports.size() : ports.size() - 1;
    return potential<S>(ports[i]) - potential<S>(ports[other]);
  }

  // How many records a load of n ports holds.
  static std::size_t record_count(int n) {
    return T::is_delta ? static_cast<std::size_t>(n) : static_cast<std::size_t>(n - 1);
  }

 private:
  static int checked_port_count(int n) {
    // A star load needs its neutral port.
    if (!T::is_delta && n < 1) throw std::length_error("vector::reserve");
    return n;
  }

  const T& self() const { return static_cast<const T&>(*this); }
  T& self() { return static_cast<T&>(*this); }

  template <class S>
  void assemble_currents() {
    if constexpr (T::is_delta) {
      const std::size_t n = ports.size();
      std::vector<S> branch(n);
      for (std::size_t i = 0; i < n; ++i)
        branch[i] = self().template branch_current<S>(i, voltage<S>(i));
      for (std::size_t i = 0; i < n; ++i)
        set_current(ports[i], S(branch[i] - branch[(i + n - 1) % n]));
    } else {
      S neutral = zero<S>();
      for (std::size_t i = 0; i + 1 < ports.size(); ++i) {
        const S current = self().template branch_current<S>(i, voltage<S>(i));
        set_current(ports[i], current);
        neutral -= current;
      }
      set_current(ports.back(), neutral);
    }
  }
};

// ---- constant power ----

template <class T>
class AbstractPowerLoad : public Load<T> {
 public:
  std::vector<LinkedComplex> powers;

  AbstractPowerLoad(int n, const Complex* given)
      : Load<T>(n), powers(make_records(given, Load<T>::record_count(n))) {}

  std::vector<LinkedComplex>& records() { return powers; }
  const std::vector<LinkedComplex>& records() const { return powers; }

  // J = conj(S / dV)
  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return conj_divide(value_of<S>(powers[i]), dv);
  }
};

class PowerLoad : public AbstractPowerLoad<PowerLoad> {
 public:
  static constexpr bool is_delta = false;
  PowerLoad(int n, const Complex* powers);
};

class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
 public:
  static constexpr bool is_delta = true;
  DeltaPowerLoad(int n, const Complex* powers);
};

// ---- constant current ----

template <class T>
class AbstractCurrentLoad : public Load<T> {
 public:
  std::vector<LinkedComplex> currents;

  AbstractCurrentLoad(int n, const Complex* given)
      : Load<T>(n), currents(make_records(given, Load<T>::record_count(n))) {}

  std::vector<LinkedComplex>& records() { return currents; }
  const std::vector<LinkedComplex>& records() const { return currents; }

  // J = I dV / |dV|: the given current turned by the angle of the voltage.
  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    const S turned = value_of<S>(currents[i]) * dv;
    const auto size = magnitude(dv);
    return S(turned.real() / size, turned.imag() / size);
  }
};

class CurrentLoad : public AbstractCurrentLoad<CurrentLoad> {
 public:
  static constexpr bool is_delta = false;
  CurrentLoad(int n, const Complex* currents);
};

class DeltaCurrentLoad : public AbstractCurrentLoad<DeltaCurrentLoad> {
 public:
  static constexpr bool is_delta = true;
  DeltaCurrentLoad(int n, const Complex* currents);
};

// ---- constant admittance ----

template <class T>
class AbstractAdmittanceLoad : public Load<T> {
 public:
  std::vector<LinkedComplex> admittances;

  AbstractAdmittanceLoad(int n, const Complex* given)
      : Load<T>(n), admittances(make_records(given, Load<T>::record_count(n))) {}

  std::vector<LinkedComplex>& records() { return admittances; }
  const std::vector<LinkedComplex>& records() const { return admittances; }

  // J = Y dV
  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return value_of<S>(admittances[i]) * dv;
  }
};

class AdmittanceLoad : public AbstractAdmittanceLoad<AdmittanceLoad> {
 public:
  static constexpr bool is_delta = false;
  AdmittanceLoad(int n, const Complex* admittances);
};

class DeltaAdmittanceLoad : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
 public:
  static constexpr bool is_delta = true;
  DeltaAdmittanceLoad(int n, const Complex* admittances);
};

// ---- load balancer ----

class LoadBalancer;

// The balancer holds one matrix record and evaluates its currents itself, so it takes none of
// the per-record machinery.
template <>
class Load<LoadBalancer> : public LoadBase {
 public:
  using LoadBase::LoadBase;
};

class LoadBalancer : public Load<LoadBalancer> {
 public:
  LinkedMatrix y_matrix;
  Eigen::Matrix<double, 3, 4> phase_to_neutral;

  LoadBalancer(const Complex& z2, const Complex& ym, double k);

  void declare_dynamic_variables(std::vector<double>& p) const override;
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override;
  void eval_currents(bool taped) override;
  void backward() override;
  // The phase currents of the last plain evaluation.
  void get_inner_currents(Complex* out) const override;
  std::size_t inner_current_count() const override;

 private:
  template <class S>
  void compute_currents();
};

}  // namespace tarvelo
