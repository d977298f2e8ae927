// Flexible loads: constant-power loads whose drawn power follows the voltage of each phase.
//
// Per phase i, with dV_i the phase voltage (star: V_i - V_{n-1}; delta: V_i - V_{(i+1) mod n}),
// u_i = |dV_i| and the requested power s_i = p_i + j q_i (a changeable parameter):
//     S'_i = compute_power(u_i, s_i),     J_i = conj(S'_i / dV_i).
//
// compute_power, with S = s_max and the control laws' thresholds u_min < u_down < u_up < u_max:
//   1. P from control_p, Q from control_q (smooth functions of u, below).
//   2. Both laws "constant": S' = s as requested, never projected.
//   3. Otherwise the projection brings (P, Q) back within |S'| <= S, working on pn = P/S,
//      qn = Q/S, and returns (pn S, qn S).
//
// Smooth building blocks (alpha: steepness, eps: smoothing width):
//     softplus(z)     = log(1 + exp(z))                             = max(z, 0) + log1p(exp(-|z|))
//     step(a, b)      = log((exp(a) + 1) / (exp(b) + 1))           = softplus(a) - softplus(b)
//     soft_sqrt(m)    = sqrt(eps exp(-m / eps) + m)                 stays positive near 0
//     soft_min(A, B)  = (A e^{cA} + B e^{cB}) / (e^{cA} + e^{cB}),  c = -0.15 alpha
//
// Active power laws:
//   constant              P = p
//   p_max_u_production    a = (u_up + (p/S + 1)(u_max - u_up)) / u_max
//                         d = alpha (eps exp(-(1 - a)/eps) + 1 - a)
//                         P = p (1 + step(alpha (u/u_max - 1), alpha (u/u_max - a)) / d)
//   p_max_u_consumption   b = (u_down - (1 - p/S)(u_down - u_min)) / u_min
//                         d = alpha (eps exp(-(b - 1)/eps) + b - 1)
//                         P = -p step(alpha (u/u_min - b), alpha (u/u_min - 1)) / d
// Reactive power laws (x = u/u_max, m, dn, up the thresholds over u_max):
//   constant              Q = q
//   q_u                   lo = step(alpha (x - dn), alpha (x - m)) / (alpha (m - dn)) - 1
//                         hi = step(alpha (x - up), alpha (x - 1)) / (alpha (1 - up))
//                         Q = q + lo (q - q_min) + hi (q_max - q)
// Projections:
//   euclidean   r = soft_sqrt(pn² + qn²), f = 1 + softplus(alpha (r - 1)) / alpha,
//               (pn, qn) /= f
//   keep_q      pn = sign(p) soft_sqrt(soft_min(pn², 1 - qn²))
//   keep_p      qn = tanh(alpha qn) soft_sqrt(soft_min(qn², 1 - pn²))
// The sign of "keep_q" is that of the requested p. On the tape it is decided once, while
// recording, and enters as a constant; plain evaluation always takes the current sign.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/arithmetic.hpp"
#include "elements/load.hpp"

namespace tarvelo {

// A voltage-dependent law for one component of the requested power.
class Control {
 public:
  enum class Kind : int { constant = 0, q_u = 1, p_max_u_production = 2, p_max_u_consumption = 3 };

  Kind kind;
  double u_min;
  double u_down;
  double u_up;
  double u_max;
  double alpha;
  double epsilon;

  // Throws std::runtime_error "<t> is a bad control type name" for an unknown name.
  Control(const std::string& t, double u_min, double u_down, double u_up, double u_max,
          double alpha, double epsilon);

  // The controlled active power; R is double or AD. Throws "Bad control type for P" for "q_u".
  template <class R>
  R active_power(const R& u, const R& p, const R& s_max) const;
  // The controlled reactive power. Throws "Bad control type for Q" for the active-power laws.
  template <class R>
  R reactive_power(const R& u, const R& q, const R& q_min, const R& q_max) const;
};

// The rule that brings a controlled power back within the apparent-power limit.
class Projection {
 public:
  enum class Kind : int { euclidean = 0, keep_p = 1, keep_q = 2 };

  Kind kind;
  double alpha;
  double epsilon;

  // Throws std::runtime_error "<t> is a bad projection type name" for an unknown name.
  Projection(const std::string& t, double alpha, double epsilon);

  // Projects the normalised powers (pn, qn) in place; `sign` is +1 or -1, the sign of the
  // requested active power (used by "keep_q" only).
  template <class R>
  void project(R& pn, R& qn, const R& sign) const;
};

// The control settings of one phase: two laws, a projection and three changeable limits.
class FlexibleParameter {
 public:
  Control control_p;
  Control control_q;
  Projection projection;
  LinkedReal s_max;
  LinkedReal q_min;
  LinkedReal q_max;
  // How many networks with a live solver list this parameter (kept by the networks).
  int solving_listings = 0;

  FlexibleParameter(const Control& control_p, const Control& control_q,
                    const Projection& projection, double s_max, double q_min, double q_max);

  // Appends s_max, q_min, q_max.
  void declare_dynamic_variables(std::vector<double>& p) const;
  // Links s_max, q_min, q_max at k, k + 1, k + 2.
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k);
  // Writes the three limits (stored values and, when linked, the solver's slots).
  void update_parameters(double s_max, double q_min, double q_max);

  // The power actually drawn at voltage magnitude u for the requested power s; S is Complex
  // (plain, current limits) or ADComplex (taped, limits as dynamic parameters).
  template <class S>
  S compute_power(const RealOf<S>& u, const S& s) const;
};

// The laws are built for plain and taped arithmetic in the engine library.
extern template double Control::active_power<double>(const double&, const double&,
                                                     const double&) const;
extern template AD Control::active_power<AD>(const AD&, const AD&, const AD&) const;
extern template double Control::reactive_power<double>(const double&, const double&, const double&,
                                                       const double&) const;
extern template AD Control::reactive_power<AD>(const AD&, const AD&, const AD&, const AD&) const;
extern template void Projection::project<double>(double&, double&, const double&) const;
extern template void Projection::project<AD>(AD&, AD&, const AD&) const;
extern template Complex FlexibleParameter::compute_power<Complex>(const double&,
                                                                  const Complex&) const;
extern template ADComplex FlexibleParameter::compute_power<ADComplex>(const AD&,
                                                                      const ADComplex&) const;

// Keeps the first `phases` pointers; refuses fewer pointers than phases or a null one among them.
std::vector<FlexibleParameter*> checked_parameters(std::vector<FlexibleParameter*> parameters,
                                                   std::size_t phases);

// The family of flexible loads: one requested power and one parameter object per phase.
template <class T>
class AbstractFlexibleLoad : public Load<T> {
 public:
  // Not owned; one object may serve several phases and loads.
  std::vector<FlexibleParameter*> parameters;
  std::vector<LinkedComplex> powers;

  std::vector<LinkedComplex>& records() { return powers; }
  const std::vector<LinkedComplex>& records() const { return powers; }

  // J = conj(S' / dV), S' the controlled and projected power.
  template <class S>
  S branch_current(std::size_t i, const S& dv) const {
    return conj_divide(actual_power<S>(i, dv), dv);
  }

  // The power each phase draws at the present potentials, in phase order.
  virtual void get_powers(Complex* out) const {
    for (std::size_t i = 0; i < powers.size(); ++i) out[i] = present_power(i);
  }

  bool computes_on_reading() const override { return true; }
  bool computed_readings_finite() const override {
    for (std::size_t i = 0; i < powers.size(); ++i) {
      if (!is_finite(present_power(i))) return false;
    }
    return Load<T>::computed_readings_finite();
  }

 protected:
  AbstractFlexibleLoad(int n, const Complex* given,
                       std::vector<FlexibleParameter*> given_parameters)
      : Load<T>(n),
        parameters(checked_parameters(std::move(given_parameters), Load<T>::record_count(n))),
        powers(make_records(given, Load<T>::record_count(n))) {}

 private:
  Complex present_power(std::size_t i) const {
    return actual_power<Complex>(i, this->template voltage<Complex>(i));
  }

  template <class S>
  S actual_power(std::size_t i, const S& dv) const {
    return parameters[i]->template compute_power<S>(magnitude(dv), value_of<S>(powers[i]));
  }
};

class FlexibleLoad : public AbstractFlexibleLoad<FlexibleLoad> {
 public:
  static constexpr bool is_delta = false;
  FlexibleLoad(int n, const Complex* powers, std::vector<FlexibleParameter*> parameters);
};

class DeltaFlexibleLoad : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
 public:
  static constexpr bool is_delta = true;
  DeltaFlexibleLoad(int n, const Complex* powers, std::vector<FlexibleParameter*> parameters);
};

}  // namespace tarvelo
