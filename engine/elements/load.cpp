#include "elements/load.hpp"

#include <array>
#include <type_traits>

#include <Eigen/LU>

namespace tarvelo {

// ---- constant-value loads ----

PowerLoad::PowerLoad(int n, const Complex* powers) : AbstractPowerLoad<PowerLoad>(n, powers) {}

DeltaPowerLoad::DeltaPowerLoad(int n, const Complex* powers)
    : AbstractPowerLoad<DeltaPowerLoad>(n, powers) {}

CurrentLoad::CurrentLoad(int n, const Complex* currents)
    : AbstractCurrentLoad<CurrentLoad>(n, currents) {}

DeltaCurrentLoad::DeltaCurrentLoad(int n, const Complex* currents)
    : AbstractCurrentLoad<DeltaCurrentLoad>(n, currents) {}

AdmittanceLoad::AdmittanceLoad(int n, const Complex* admittances)
    : AbstractAdmittanceLoad<AdmittanceLoad>(n, admittances) {}

DeltaAdmittanceLoad::DeltaAdmittanceLoad(int n, const Complex* admittances)
    : AbstractAdmittanceLoad<DeltaAdmittanceLoad>(n, admittances) {}

// ---- load balancer ----

namespace {

constexpr std::size_t kBalancerPhases = 3;

// Y = Z^-1 with Z = [[a, b, b], [b, a, b], [b, b, a]].
Eigen::MatrixXcd balancer_admittances(const Complex& z2, const Complex& ym, double k) {
  const Complex a = z2 + (1.0 / (k * k) + 1.0) / ym;
  const Complex b = Complex(-1.0, 0.0) / (ym * k);
  Eigen::Matrix3cd z;
  z << a, b, b,  //
      b, a, b,   //
      b, b, a;
  return z.partialPivLu().inverse();
}

}  // namespace

LoadBalancer::LoadBalancer(const Complex& z2, const Complex& ym, double k)
    : Load<LoadBalancer>(4), y_matrix(balancer_admittances(z2, ym, k)) {
  phase_to_neutral << 1.0, 0.0, 0.0, -1.0,  //
      0.0, 1.0, 0.0, -1.0,                  //
      0.0, 0.0, 1.0, -1.0;
}

void LoadBalancer::declare_dynamic_variables(std::vector<double>& p) const {
  declare(y_matrix, p);
}

void LoadBalancer::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) {
  link(y_matrix, p, values, k);
}

template <class S>
void LoadBalancer::compute_currents() {
  std::array<S, 4> v;
  for (std::size_t c = 0; c < v.size(); ++c) v[c] = potential<S>(ports[c]);

  // dV = phase_to_neutral V
  std::array<S, 3> dv{};  // zeros
  for (std::size_t r = 0; r < dv.size(); ++r) {
    for (std::size_t c = 0; c < v.size(); ++c) {
      const double coefficient =
          phase_to_neutral(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
      // Ports outside the phase pair take no part, even with a non-finite potential.
      if (coefficient != 0.0) dv[r] = add_scaled(dv[r], coefficient, v[c]);
    }
  }

  // I = Y dV; the neutral takes minus the phase currents. The taped matrix is empty until
  // linked, and then draws no current. The plain matrix is read entry by entry, unbuilt.
  if constexpr (std::is_same_v<S, ADComplex>) {
    if (y_matrix.ad.rows() != 3 || y_matrix.ad.cols() != 3) {
      for (Port& p : ports) set_current(p, zero<S>());
      return;
    }
  }
  S neutral = zero<S>();
  for (std::size_t r = 0; r < dv.size(); ++r) {
    S current = zero<S>();
    for (std::size_t c = 0; c < dv.size(); ++c) {
      const auto row = static_cast<Eigen::Index>(r), col = static_cast<Eigen::Index>(c);
      if constexpr (std::is_same_v<S, ADComplex>) {
        current += y_matrix.ad(row, col) * dv[c];
      } else {
        current += read(y_matrix, row, col) * dv[c];
      }
    }
    set_current(ports[r], current);
    neutral -= current;
  }
  set_current(ports[3], neutral);
}

void LoadBalancer::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

void LoadBalancer::backward() {
  compute_currents<Complex>();
}

void LoadBalancer::get_inner_currents(Complex* out) const {
  for (std::size_t i = 0; i < kBalancerPhases; ++i) out[i] = ports[i].current;
}

std::size_t LoadBalancer::inner_current_count() const {
  return kBalancerPhases;
}

}  // namespace tarvelo
