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
//
// The laws and the star and delta assembly are written once below, in the arithmetic of S, on
// the ports p (a load's own, or the compact sweep's arrays) and a branch law J(i, dV): the
// taped and plain evaluations, the backward step and the compact sweep all use them.
#pragma once

#include <stdexcept>
#include <vector>

#include "core/element.hpp"

namespace tarvelo {

// J = conj(S / dV)
template <class S>
S power_current(const S& power, const S& dv) {
  return conj_divide(power, dv);
}

// J = I dV / |dV|: the given current turned by the angle of the voltage.
template <class S>
S turned_current(const S& current, const S& dv) {
  const S turned = current * dv;
  const auto size = magnitude(dv);
  return S(turned.real() / size, turned.imag() / size);
}

// J = Y dV
template <class S>
S admittance_current(const S& admittance, const S& dv) {
  return admittance * dv;
}

// Star, n ports (neutral last): port i carries J_i = law(i, V_i - V_{n-1}), the neutral minus
// their sum.
template <class S, class Ports, class Law>
void star_load_currents(Ports& p, std::size_t n, const Law& law) {
  const S neutral_potential = p.potential(n - 1);
  S neutral = zero<S>();
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const S current = law(i, S(p.potential(i) - neutral_potential));
    p.set_current(i, current);
    neutral -= current;
  }
  p.set_current(n - 1, neutral);
}

// Delta, n ports: J_i = law(i, V_i - V_{(i+1) mod n}) into `branch` (n values), then port i
// carries J_i - J_{(i+n-1) mod n}.
template <class S, class Ports, class Law>
void delta_load_currents(Ports& p, std::size_t n, const Law& law, S* branch) {
  for (std::size_t i = 0; i < n; ++i)
    branch[i] = law(i, S(p.potential(i) - p.potential((i + 1) % n)));
  for (std::size_t i = 0; i < n; ++i) p.set_current(i, S(branch[i] - branch[(i + n - 1) % n]));
}

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
  explicit Load(int n) : LoadBase(checked_port_count(n)) {
    if constexpr (T::is_delta) sweep_branches.resize(ports.size());
  }

  void declare_dynamic_variables(std::vector<double>& p) const override {
    declare(self().records(), p);
  }
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override {
    link(self().records(), p, values, k);
  }
  void eval_currents(bool taped) override {
    if (taped) {
      std::vector<ADComplex> branch(T::is_delta ? ports.size() : 0);
      assemble_currents<ADComplex>(branch.data());
    } else {
      assemble_currents<Complex>(sweep_branches.data());
    }
  }
  // The plain evaluation; a delta load keeps its branch currents in storage sized at
  // construction, so that the step allocates nothing.
  void backward() override { assemble_currents<Complex>(sweep_branches.data()); }

  void get_inner_currents(Complex* out) const override {
    const std::size_t count = inner_current_count();
    for (std::size_t i = 0; i < count; ++i) out[i] = inner_current(i);
  }
  std::size_t inner_current_count() const override { return self().records().size(); }
  bool computes_on_reading() const override { return T::is_delta; }
  bool computed_readings_finite() const override {
    if constexpr (T::is_delta) {
      for (std::size_t i = 0; i < inner_current_count(); ++i) {
        if (!is_finite(inner_current(i))) return false;
      }
    }
    return true;
  }

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
  // Star: phase i's current of the last plain evaluation. Delta: branch i's current at the
  // present potentials and record values.
  Complex inner_current(std::size_t i) const {
    return T::is_delta ? self().template branch_current<Complex>(i, voltage<Complex>(i))
                       : ports[i].current;
  }

  static int checked_port_count(int n) {
    // A star load needs its neutral port.
    if (!T::is_delta && n < 1) throw std::length_error("vector::reserve");
    return n;
  }

  const T& self() const { return static_cast<const T&>(*this); }
  T& self() { return static_cast<T&>(*this); }

  // The branch currents of a delta load's plain evaluation, one per port.
  std::vector<Complex> sweep_branches;

  template <class S>
  void assemble_currents(S* branch) {
    OwnPorts<S> own{ports};
    const auto law = [this](std::size_t i, const S& dv) {
      return self().template branch_current<S>(i, dv);
    };
    if constexpr (T::is_delta) {
      delta_load_currents<S>(own, ports.size(), law, branch);
    } else {
      star_load_currents<S>(own, ports.size(), law);
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

  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return power_current(value_of<S>(powers[i]), dv);
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

  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return turned_current(value_of<S>(currents[i]), dv);
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

  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return admittance_current(value_of<S>(admittances[i]), dv);
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
