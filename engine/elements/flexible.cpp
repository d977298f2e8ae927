#include "elements/flexible.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "core/electrical_network.hpp"
#include "elements/messages.hpp"

namespace tarvelo {

namespace {

// The factor of the smooth minimum's exponent, per unit of alpha.
constexpr double kSoftMinGain = -0.15;

Control::Kind control_kind(const std::string& t) {
  if (t == "constant") return Control::Kind::constant;
  if (t == "q_u") return Control::Kind::q_u;
  if (t == "p_max_u_production") return Control::Kind::p_max_u_production;
  if (t == "p_max_u_consumption") return Control::Kind::p_max_u_consumption;
  throw std::runtime_error(t + messages::bad_control_name);
}

Projection::Kind projection_kind(const std::string& t) {
  if (t == "euclidean") return Projection::Kind::euclidean;
  if (t == "keep_p") return Projection::Kind::keep_p;
  if (t == "keep_q") return Projection::Kind::keep_q;
  throw std::runtime_error(t + messages::bad_projection_name);
}

// The elementary functions are found by argument-dependent lookup for AD, from std for double.
using std::exp;
using std::log;
using std::log1p;
using std::sqrt;
using std::tanh;

// log(1 + exp(z)), written as max(z, 0) + log1p(exp(-|z|)) so that no exponential overflows
// for large z (the plain quotient form turns into inf / inf there).
template <class R>
R softplus(const R& z) {
  using std::abs;
  const R size = abs(z);
  return (z + size) * 0.5 + log1p(exp(-size));
}

// log((exp(a) + 1) / (exp(b) + 1)): the difference of two softplus functions, a smooth ramp.
template <class R>
R step(const R& a, const R& b) {
  return softplus(a) - softplus(b);
}

// sqrt(eps exp(-m / eps) + m): a square root that stays positive near m = 0.
template <class R>
R soft_sqrt(const R& m, double epsilon) {
  return sqrt(epsilon * exp(-m / epsilon) + m);
}

// A smooth minimum of a and b: the weights exp(c a), exp(c b) favour the smaller (c < 0).
template <class R>
R soft_min(const R& a, const R& b, double alpha) {
  const double c = kSoftMinGain * alpha;
  const R wa = exp(c * a);
  const R wb = exp(c * b);
  return (a * wa + b * wb) / (wa + wb);
}

}  // namespace

// ---- Control ----

Control::Control(const std::string& t, double u_min, double u_down, double u_up, double u_max,
                 double alpha, double epsilon)
    : kind(control_kind(t)),
      u_min(u_min),
      u_down(u_down),
      u_up(u_up),
      u_max(u_max),
      alpha(alpha),
      epsilon(epsilon) {}

template <class R>
R Control::active_power(const R& u, const R& p, const R& s_max) const {
  switch (kind) {
    case Kind::constant:
      return p;
    case Kind::p_max_u_production: {
      // a: the normalised voltage at which the requested production is reached.
      const R a = (u_up + (p / s_max + 1.0) * (u_max - u_up)) / u_max;
      const R d = alpha * (epsilon * exp(-(1.0 - a) / epsilon) + 1.0 - a);
      const R x = u / u_max;
      return p * (1.0 + step<R>(alpha * (x - 1.0), alpha * (x - a)) / d);
    }
    case Kind::p_max_u_consumption: {
      const R b = (u_down - (1.0 - p / s_max) * (u_down - u_min)) / u_min;
      const R d = alpha * (epsilon * exp(-(b - 1.0) / epsilon) + b - 1.0);
      const R x = u / u_min;
      return -p * step<R>(alpha * (x - b), alpha * (x - 1.0)) / d;
    }
    case Kind::q_u:
      break;
  }
  throw std::runtime_error(messages::bad_control_for_p);
}

template <class R>
R Control::reactive_power(const R& u, const R& q, const R& q_min, const R& q_max) const {
  switch (kind) {
    case Kind::constant:
      return q;
    case Kind::q_u: {
      const R x = u / u_max;
      const double m = u_min / u_max, dn = u_down / u_max, up = u_up / u_max;
      // lo: from -1 below u_min to 0 above u_down; hi: from 0 below u_up to 1 above u_max.
      const R lo = step<R>(alpha * (x - dn), alpha * (x - m)) / (alpha * (m - dn)) - 1.0;
      const R hi = step<R>(alpha * (x - up), alpha * (x - 1.0)) / (alpha * (1.0 - up));
      return q + lo * (q - q_min) + hi * (q_max - q);
    }
    case Kind::p_max_u_production:
    case Kind::p_max_u_consumption:
      break;
  }
  throw std::runtime_error(messages::bad_control_for_q);
}

// ---- Projection ----

Projection::Projection(const std::string& t, double alpha, double epsilon)
    : kind(projection_kind(t)), alpha(alpha), epsilon(epsilon) {}

template <class R>
void Projection::project(R& pn, R& qn, const R& sign) const {
  switch (kind) {
    case Kind::euclidean: {
      const R r = soft_sqrt<R>(pn * pn + qn * qn, epsilon);
      const R f = 1.0 + softplus<R>(alpha * (r - 1.0)) / alpha;
      pn = pn / f;
      qn = qn / f;
      return;
    }
    case Kind::keep_q:
      pn = sign * soft_sqrt<R>(soft_min<R>(pn * pn, 1.0 - qn * qn, alpha), epsilon);
      return;
    case Kind::keep_p:
      qn = tanh(alpha * qn) * soft_sqrt<R>(soft_min<R>(qn * qn, 1.0 - pn * pn, alpha), epsilon);
      return;
  }
}

// ---- FlexibleParameter ----

FlexibleParameter::FlexibleParameter(const Control& control_p, const Control& control_q,
                                     const Projection& projection, double s_max, double q_min,
                                     double q_max)
    : control_p(control_p),
      control_q(control_q),
      projection(projection),
      s_max(s_max),
      q_min(q_min),
      q_max(q_max) {}

void FlexibleParameter::declare_dynamic_variables(std::vector<double>& p) const {
  declare(s_max, p);
  declare(q_min, p);
  declare(q_max, p);
}

void FlexibleParameter::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) {
  link(s_max, p, values, k);
  link(q_min, p, values, k);
  link(q_max, p, values, k);
}

void FlexibleParameter::update_parameters(double new_s_max, double new_q_min, double new_q_max) {
  update(s_max, new_s_max);
  update(q_min, new_q_min);
  update(q_max, new_q_max);
}

template <class S>
S FlexibleParameter::compute_power(const RealOf<S>& u, const S& s) const {
  using R = RealOf<S>;
  const R p = s.real(), q = s.imag();
  const R limit = value_of<R>(s_max);
  // The active law is evaluated (and may refuse) before the reactive one is looked at.
  const R active = control_p.active_power<R>(u, p, limit);
  const R reactive = control_q.reactive_power<R>(u, q, value_of<R>(q_min), value_of<R>(q_max));
  if (control_p.kind == Control::Kind::constant && control_q.kind == Control::Kind::constant) {
    return s;
  }
  // On the tape this comparison is made once, at recording: the sign enters as a constant.
  const R sign(p >= 0.0 ? 1.0 : -1.0);
  R pn = active / limit, qn = reactive / limit;
  projection.project<R>(pn, qn, sign);
  return S(pn * limit, qn * limit);
}

template double Control::active_power<double>(const double&, const double&, const double&) const;
template AD Control::active_power<AD>(const AD&, const AD&, const AD&) const;
template double Control::reactive_power<double>(const double&, const double&, const double&,
                                                const double&) const;
template AD Control::reactive_power<AD>(const AD&, const AD&, const AD&, const AD&) const;
template void Projection::project<double>(double&, double&, const double&) const;
template void Projection::project<AD>(AD&, AD&, const AD&) const;
template Complex FlexibleParameter::compute_power<Complex>(const double&, const Complex&) const;
template ADComplex FlexibleParameter::compute_power<ADComplex>(const AD&, const ADComplex&) const;

// ---- flexible loads ----

std::vector<FlexibleParameter*> checked_parameters(std::vector<FlexibleParameter*> parameters,
                                                   std::size_t phases) {
  if (parameters.size() < phases) {
    throw std::invalid_argument(fmt::format(fmt::runtime(messages::flexible_parameters_missing),
                                            parameters.size(), phases));
  }
  parameters.resize(phases);
  for (std::size_t i = 0; i < phases; ++i) {
    if (parameters[i] == nullptr) {
      throw std::invalid_argument(fmt::format(fmt::runtime(messages::flexible_parameter_null), i));
    }
  }
  return parameters;
}

FlexibleLoad::FlexibleLoad(int n, const Complex* powers, std::vector<FlexibleParameter*> parameters)
    : AbstractFlexibleLoad<FlexibleLoad>(n, powers, std::move(parameters)) {}

DeltaFlexibleLoad::DeltaFlexibleLoad(int n, const Complex* powers,
                                     std::vector<FlexibleParameter*> parameters)
    : AbstractFlexibleLoad<DeltaFlexibleLoad>(n, powers, std::move(parameters)) {}

// ---- the network's seams ----

int& solving_listings(FlexibleParameter& parameter) {
  return parameter.solving_listings;
}

void collect_flexible_parameters(Element* element, std::set<FlexibleParameter*>& out) {
  if (const auto* star = dynamic_cast<const FlexibleLoad*>(element)) {
    out.insert(star->parameters.begin(), star->parameters.end());
  } else if (const auto* delta = dynamic_cast<const DeltaFlexibleLoad*>(element)) {
    out.insert(delta->parameters.begin(), delta->parameters.end());
  }
}

void declare_flexible_parameter(const FlexibleParameter& parameter, std::vector<double>& p) {
  parameter.declare_dynamic_variables(p);
}

void link_flexible_parameter(FlexibleParameter& parameter, const ADVector& p,
                             Eigen::VectorXd& values, int& k) {
  parameter.link_dynamic_variables(p, values, k);
}

}  // namespace tarvelo
