// Loads: elements that draw current according to a law of the voltage they see.
//
// Star load, n ports (neutral last), one record X_i per phase i < n-1:
//     dV_i = V_i - V_{n-1},   J_i = law(X_i, dV_i),
//     port i carries J_i, the neutral -sum_i J_i.
// Delta load, n ports, one record per branch i from phase i to phase (i+1) mod n:
//     dV_i = V_i - V_{(i+1) mod n},   J_i = law(X_i, dV_i),
//     port i carries J_i - J_{(i+n-1) mod n}.
// Laws: constant power J = conj(S / dV). The records are changeable parameters.
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

  void get_inner_currents(Complex* out) const override {
    const std::size_t count = self().records().size();
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = T::is_delta ? self().template branch_current<Complex>(i, voltage<Complex>(i))
                           : ports[i].current;
    }
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
    return std::conj(divide(value_of<S>(powers[i]), dv));
  }
};

class PowerLoad : public AbstractPowerLoad<PowerLoad> {
 public:
  static constexpr bool is_delta = false;
  PowerLoad(int n, const Complex* powers) : AbstractPowerLoad<PowerLoad>(n, powers) {}
};

class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
 public:
  static constexpr bool is_delta = true;
  DeltaPowerLoad(int n, const Complex* powers) : AbstractPowerLoad<DeltaPowerLoad>(n, powers) {}
};

}  // namespace tarvelo
