#include "elements/transformer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <numbers>
#include <stdexcept>

#include <fmt/format.h>

#include "elements/messages.hpp"

namespace tarvelo {

namespace {

// The three phase factors of a direct sequence (a, b, c), as exact doubles.
constexpr std::array<Complex, 3> kPhaseFactors = {
    Complex(1.0, 0.0),
    Complex(-0.49999999999999983, -0.8660254037844387),
    Complex(-0.5000000000000004, 0.8660254037844384),
};

template <class S>
S one() {
  return S(RealOf<S>(1.0), RealOf<S>(0.0));
}

// The larger of the changes of the real and the imaginary part (the real one when neither is
// larger, so that a NaN change of the real part is reported).
double larger_part_change(const Complex& now, const Complex& before) {
  return std::max(std::abs(now.real() - before.real()), std::abs(now.imag() - before.imag()));
}

// Voltage across a two-port winding: first port minus second port.
template <class S>
S winding_voltage(const std::vector<Port*>& side) {
  return potential<S>(*side[0]) - potential<S>(*side[1]);
}

template <class S>
struct TwoWindingCurrents {
  S i1;  // side 1, into its first port
  S i2;  // side 2, into its first port
};

// The two-winding law: I2 = y2 (U2 - k U1), I1 = ym U1 - conj(k) I2.
template <class S>
TwoWindingCurrents<S> two_winding_currents(const S& u1, const S& u2, const S& z2, const S& ym,
                                           const S& k) {
  const S y2 = divide(one<S>(), z2);
  const S i2 = y2 * (u2 - k * u1);
  return {ym * u1 - std::conj(k) * i2, i2};
}

template <class S>
void write_pair(const std::vector<Port*>& side, const S& current) {
  set_current(*side[0], current);
  set_current(*side[1], negated(current));
}

// r times a unit phasor, with a negative or NaN magnitude giving NaN and a zero part of the
// phasor staying zero even for an infinite magnitude.
Complex scaled_factor(double r, const Complex& factor) {
  const double nan = std::nan("");
  if (std::isnan(r) || std::signbit(r)) return {nan, nan};
  const auto times_r = [r](double part) { return part == 0.0 ? part : r * part; };
  return {times_r(factor.real()), times_r(factor.imag())};
}

// r e^(j a) by the same rules; a non-finite angle gives NaN.
Complex polar_of(double r, double a) {
  if (!std::isfinite(a)) return {std::nan(""), std::nan("")};
  return scaled_factor(r, Complex(std::cos(a), std::sin(a)));
}

double hypotenuse(const Complex& z) {
  return std::hypot(z.real(), z.imag());
}

// ---- the regulator's tap law, once for plain and taped reals ----

double multiply_add(double a, double b, double c) {
  return std::fma(a, b, c);
}
AD multiply_add(double a, const AD& b, double c) {
  return a * b + c;
}

// tap = 1 + u_range tanh(alpha (u_ref - u) / u_ref)
template <class R>
R tap_law(const R& u, const R& u_ref, double u_range, double alpha) {
  using std::tanh;
  const R swing = tanh(((u_ref - u) / u_ref) * alpha);
  return multiply_add(u_range, swing, 1.0);
}

// ---- three-phase winding matrices ----

using Matrix3 = Eigen::Matrix3d;

const Matrix3& rotation() {  // (a, b, c) -> (c, a, b)
  static const Matrix3 r = (Matrix3() << 0, 0, 1, 1, 0, 0, 0, 1, 0).finished();
  return r;
}
Matrix3 rotation_t() {  // (a, b, c) -> (b, c, a)
  return rotation().transpose();
}
Matrix3 identity() {
  return Matrix3::Identity();
}
// Phase-to-neutral voltages of a star winding; the last column is the neutral port.
Eigen::MatrixXd star() {
  Eigen::MatrixXd s(3, 4);
  s << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
  return s;
}

bool one_of(int clock, std::initializer_list<int> values) {
  return std::find(values.begin(), values.end(), clock) != values.end();
}

// Ports a winding needs, or 0 for a name that is not a winding of that side.
int hv_ports(const std::string& w) {
  return w == "Y" ? 4 : w == "D" ? 3 : 0;
}
int lv_ports(const std::string& w) {
  return (w == "y" || w == "z") ? 4 : w == "d" ? 3 : 0;
}

// Refuses winding names (high-voltage side first), then port counts that do not fit them.
int checked_three_phase_ports(int n1, int n2, const std::string& whv, const std::string& wlv) {
  const int hv = hv_ports(whv);
  if (hv == 0) throw std::runtime_error(messages::bad_hv_winding + whv);
  const int lv = lv_ports(wlv);
  if (lv == 0) throw std::runtime_error(messages::bad_lv_winding + wlv);
  if (n1 != hv) {
    throw std::invalid_argument(
        fmt::format(fmt::runtime(messages::winding_port_count), "HV", whv, hv, n1));
  }
  if (n2 != lv) {
    throw std::invalid_argument(
        fmt::format(fmt::runtime(messages::winding_port_count), "LV", wlv, lv, n2));
  }
  return n1;
}

// A real matrix times a vector of complex values (plain or taped).
template <class S, class Matrix, class Values>
std::array<S, 3> apply(const Matrix& m, const Values& v) {
  std::array<S, 3> out;
  for (int r = 0; r < 3; ++r) {
    S sum = zero<S>();
    for (Eigen::Index c = 0; c < m.cols(); ++c) sum = add_scaled(sum, m(r, c), v[c]);
    out[r] = sum;
  }
  return out;
}

template <class S>
std::array<S, 4> side_potentials(const std::vector<Port*>& side) {
  std::array<S, 4> v;
  v.fill(zero<S>());
  for (std::size_t i = 0; i < side.size() && i < v.size(); ++i) v[i] = potential<S>(*side[i]);
  return v;
}

}  // namespace

// ---- TransformerBase ----

TransformerBase::TransformerBase(int n1, int n2, const Complex& z2, const Complex& ym, Complex k)
    : Branch(n1, n2), z2(z2), ym(ym), k(k) {}

void TransformerBase::declare_dynamic_variables(std::vector<double>& p) const {
  declare(z2, p);
  declare(ym, p);
  declare(k, p);
}

void TransformerBase::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values,
                                             int& cursor) {
  link(z2, p, values, cursor);
  link(ym, p, values, cursor);
  link(k, p, values, cursor);
}

void TransformerBase::update_transformer_parameters(const Complex& new_z2, const Complex& new_ym,
                                                    Complex new_k) {
  update(z2, new_z2);
  update(ym, new_ym);
  update(k, new_k);
}

void TransformerBase::write_test_potentials(const std::vector<Complex>& potentials) {
  for (std::size_t i = 0; i < ports.size() && i < potentials.size(); ++i) {
    write_potential(*ports[i].connection, potentials[i]);
  }
}

double TransformerBase::side1_power() const {
  double p = 0.0;
  for (const Port* port : ports1)
    p += (potential<Complex>(*port) * std::conj(port->current)).real();
  return p;
}

// ---- SingleTransformer ----

SingleTransformer::SingleTransformer(const Complex& z2, const Complex& ym, Complex k)
    : Transformer<SingleTransformer>(2, 2, z2, ym, k) {}

template <class S>
void SingleTransformer::compute_currents() {
  const auto [i1, i2] =
      two_winding_currents<S>(winding_voltage<S>(ports1), winding_voltage<S>(ports2),
                              value_of<S>(z2), value_of<S>(ym), value_of<S>(k));
  write_pair(ports1, i1);
  write_pair(ports2, i2);
}

void SingleTransformer::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void SingleTransformer::backward() {
  const Complex i2 = balancing_current(*ports2[0]);
  write_pair(ports2, i2);
  const Complex i1 = read(ym) * winding_voltage<Complex>(ports1) - std::conj(read(k)) * i2;
  write_pair(ports1, i1);
}

double SingleTransformer::forward() {
  const Complex u1 = winding_voltage<Complex>(ports1);
  const Complex i2 = ports2[0]->current;
  const Complex v = read(z2) * i2 + read(k) * u1 + potential<Complex>(*ports2[1]);
  Connection& node = *ports2[0]->connection;
  const Complex old = plain_potential(node);
  write_potential(node, v);
  return larger_part_change(v, old);
}

std::vector<Complex> SingleTransformer::open_circuit_potentials(double uhv, double ulv) const {
  const Complex ratio = read(k);
  const Complex ground(0.0, 0.0);
  return {polar_of(uhv, 0.0), ground, polar_of(ulv, std::atan2(ratio.imag(), ratio.real())),
          ground};
}

std::vector<Complex> SingleTransformer::short_circuit_potentials(double vsc, double uhv) const {
  const Complex ground(0.0, 0.0);
  return {Complex(vsc * uhv, 0.0), ground, ground, ground};
}

double SingleTransformer::short_circuit_impedance() const {
  return hypotenuse(read(z2));
}

// ---- CenterTransformer ----

CenterTransformer::CenterTransformer(const Complex& z2, const Complex& ym, double k)
    : Transformer<CenterTransformer>(2, 3, z2, ym, Complex(k, 0.0)) {}

template <class S>
void CenterTransformer::compute_currents() {
  using R = RealOf<S>;
  const R h = value_of<S>(k).real() * R(0.5);
  const S u1 = winding_voltage<S>(ports1);
  const S z = value_of<S>(z2);
  const S zh(z.real() * R(0.5), z.imag() * R(0.5));
  const S va = potential<S>(*ports2[0]);
  const S vb = potential<S>(*ports2[1]);
  const S vc = potential<S>(*ports2[2]);
  const S hu1 = h * u1;
  const S i2a = divide(S(va - (vc + hu1)), zh);  // half winding a: no-load voltage +h U1
  const S i2b = divide(S(vb - (vc - hu1)), zh);  // half winding b: no-load voltage -h U1
  const S i1 = value_of<S>(ym) * u1 - h * (i2a - i2b);
  write_pair(ports1, i1);
  const std::array<S, 2> halves = {i2a, i2b};
  write_side_currents<S>(ports2, halves);
}

void CenterTransformer::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void CenterTransformer::backward() {
  throw std::runtime_error(messages::no_transformer_sweep);
}

std::vector<Complex> CenterTransformer::open_circuit_potentials(double uhv, double ulv) const {
  const Complex ratio = read(k);
  const Complex v1 = polar_of(uhv / 2.0, 0.0);
  const Complex v2 = polar_of(ulv / 2.0, std::atan2(ratio.imag(), ratio.real()));
  return {v1, -v1, v2, -v2, Complex(0.0, 0.0)};
}

std::vector<Complex> CenterTransformer::short_circuit_potentials(double vsc, double uhv) const {
  const Complex v1 = polar_of(vsc * uhv / 2.0, 0.0);
  const Complex ground(0.0, 0.0);
  return {v1, -v1, ground, ground, ground};
}

double CenterTransformer::short_circuit_impedance() const {
  return hypotenuse(read(z2));
}

// ---- ThreePhaseTransformer ----

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, const std::string& whv,
                                             const std::string& wlv, const Complex& z2,
                                             const Complex& ym, double k, int clock)
    : Transformer<ThreePhaseTransformer>(checked_three_phase_ports(n1, n2, whv, wlv), n2, z2, ym,
                                         Complex(k, 0.0)),
      polarity(clock >= 4 && clock <= 8 ? -1.0 : 1.0),
      clock(clock),
      whv(whv),
      wlv(wlv) {
  build_hv_matrices();
  build_lv_matrices();
  voltage_coupling *= polarity;
  lv_current_map *= polarity;
}

void ThreePhaseTransformer::build_hv_matrices() {
  const Matrix3 i = identity(), r = rotation(), rt = rotation_t();
  if (whv == "Y") {
    hv_winding = star();
    hv_current_map = i;
  } else if (one_of(clock, {0, 4, 5, 6, 10, 11})) {  // "D"
    hv_winding = i - rt;
    hv_current_map = i - r;
  } else {
    hv_winding = i - r;
    hv_current_map = i - rt;
  }
}

void ThreePhaseTransformer::build_lv_matrices() {
  const Matrix3 i = identity(), r = rotation(), rt = rotation_t();
  const bool first_set = one_of(clock, {0, 1, 2, 6, 7, 8});
  if (wlv == "y") {
    lv_winding = star();
    lv_current_map = i;
    voltage_coupling = i;
    current_coupling = -i;
    if (clock == 2 || clock == 8) {
      lv_winding = rt * star();
      lv_current_map = r;
      polarity = -polarity;
    } else if (clock == 4 || clock == 10) {
      lv_winding = r * star();
      lv_current_map = rt;
      polarity = -polarity;
    }
  } else if (wlv == "z") {
    lv_winding = star();
    lv_current_map = i;
    voltage_coupling = first_set ? Matrix3(i - r) : Matrix3(i - rt);
    current_coupling = first_set ? Matrix3(rt - i) : Matrix3(r - i);
  } else {  // "d"
    lv_winding = first_set ? Matrix3(i - rt) : Matrix3(i - r);
    lv_current_map = first_set ? Matrix3(i - r) : Matrix3(i - rt);
    voltage_coupling = i;
    current_coupling = -i;
  }
}

template <class S>
void ThreePhaseTransformer::compute_currents() {
  using R = RealOf<S>;
  const R kr = value_of<S>(k).real();
  const S y2 = divide(one<S>(), value_of<S>(z2));
  const S ym_value = value_of<S>(ym);
  const auto u1 = apply<S>(hv_winding, side_potentials<S>(ports1));
  const auto u2 = apply<S>(lv_winding, side_potentials<S>(ports2));
  const S scaled_y2 = R(polarity) * y2;
  std::array<S, 3> j;  // low-voltage winding currents
  for (int r = 0; r < 3; ++r) {
    S coupled = zero<S>();  // voltage_coupling U1, then times kr
    for (int c = 0; c < 3; ++c) coupled = add_scaled(coupled, voltage_coupling(r, c), u1[c]);
    j[r] = scaled_y2 * (u2[r] - kr * coupled);
  }
  std::array<S, 3> hv_windings;  // ym U1 + kr (current_coupling J)
  for (int r = 0; r < 3; ++r) {
    S coupled = zero<S>();
    for (int c = 0; c < 3; ++c) coupled = add_scaled(coupled, current_coupling(r, c), j[c]);
    hv_windings[r] = ym_value * u1[r] + kr * coupled;
  }
  write_side_currents<S>(ports1, apply<S>(hv_current_map, hv_windings));
  write_side_currents<S>(ports2, apply<S>(lv_current_map, j));
}

void ThreePhaseTransformer::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void ThreePhaseTransformer::backward() {
  throw std::runtime_error(messages::no_transformer_sweep);
}

std::vector<Complex> ThreePhaseTransformer::open_circuit_potentials(double uhv, double ulv) const {
  const double r1 = uhv / kSqrt3;
  const double r2 = ulv / kSqrt3;
  const double pi = std::numbers::pi;
  const Complex shift = std::exp(Complex(clock * -0.0 * pi / 6.0, clock * -pi / 6.0));
  std::vector<Complex> v(ports.size(), Complex(0.0, 0.0));
  for (std::size_t p = 0; p < 3; ++p) {
    v[p] = scaled_factor(r1, kPhaseFactors[p]);
    v[ports1.size() + p] = scaled_factor(r2, kPhaseFactors[p]) * shift;
  }
  return v;
}

std::vector<Complex> ThreePhaseTransformer::short_circuit_potentials(double vsc, double uhv) const {
  const double r = vsc * uhv / kSqrt3;
  std::vector<Complex> v(ports.size(), Complex(0.0, 0.0));
  for (std::size_t p = 0; p < 3; ++p) v[p] = scaled_factor(r, kPhaseFactors[p]);
  return v;
}

double ThreePhaseTransformer::rated_current(double uhv, double sn) const {
  return sn / (uhv * kSqrt3);
}

// A delta low-voltage winding carries the line current over the square root of 3, so its
// impedance is three times that of the equivalent star.
double ThreePhaseTransformer::short_circuit_impedance() const {
  const double z = hypotenuse(read(z2));
  return wlv == "d" ? z / 3.0 : z;
}

// ---- SingleVoltageRegulator ----

SingleVoltageRegulator::SingleVoltageRegulator(const Complex& z2, const Complex& ym, double u_ref,
                                               double u_range, double alpha, double phi)
    : Branch(2, 2), z2(z2), ym(ym), u_ref(u_ref), u_range(u_range), alpha(alpha), phi(phi) {
  ports[1].connection->merge(ports[3].connection);
}

void SingleVoltageRegulator::declare_dynamic_variables(std::vector<double>& p) const {
  declare(z2, p);
  declare(ym, p);
  declare(u_ref, p);
}

void SingleVoltageRegulator::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values,
                                                    int& cursor) {
  link(z2, p, values, cursor);
  link(ym, p, values, cursor);
  link(u_ref, p, values, cursor);
}

void SingleVoltageRegulator::update_parameters(const Complex& new_z2, const Complex& new_ym,
                                               double new_u_ref) {
  update(z2, new_z2);
  update(ym, new_ym);
  update(u_ref, new_u_ref);
}

// k = tap(|U2|) e^(j phi)
template <class S>
S SingleVoltageRegulator::ratio(const S& u2) const {
  using R = RealOf<S>;
  const R tap = tap_law<R>(magnitude(u2), value_of<R>(u_ref), u_range, alpha);
  return S(tap * std::cos(phi), tap * std::sin(phi));
}

template <class S>
void SingleVoltageRegulator::compute_currents() {
  const S u1 = winding_voltage<S>(ports1);
  const S u2 = winding_voltage<S>(ports2);
  const auto [i1, i2] =
      two_winding_currents<S>(u1, u2, value_of<S>(z2), value_of<S>(ym), ratio<S>(u2));
  write_pair(ports1, i1);
  write_pair(ports2, i2);
}

void SingleVoltageRegulator::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void SingleVoltageRegulator::backward() {
  const Complex i2 = balancing_current(*ports2[0]);
  ports2[0]->current = i2;
  const Complex k = ratio<Complex>(winding_voltage<Complex>(ports2));
  const Complex i1 = read(ym) * winding_voltage<Complex>(ports1) - std::conj(k) * i2;
  write_pair(ports1, i1);
  ports2[1]->current = -i2;
}

double SingleVoltageRegulator::forward() {
  const Complex u1 = winding_voltage<Complex>(ports1);
  const Complex i2 = ports2[0]->current;
  const Complex k = ratio<Complex>(winding_voltage<Complex>(ports2));
  const Complex v = potential<Complex>(*ports2[1]) + k * u1 + read(z2) * i2;
  Connection& node = *ports2[0]->connection;
  const Complex old = plain_potential(node);
  write_potential(node, v);
  return larger_part_change(v, old);
}

double SingleVoltageRegulator::get_tap() const {
  return tap_law<double>(magnitude(winding_voltage<Complex>(ports2)), read(u_ref), u_range, alpha);
}

double SingleVoltageRegulator::compute_tap(double u_out) const {
  return tap_law<double>(u_out, read(u_ref), u_range, alpha);
}

}  // namespace tarvelo
