#include "elements/source.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "elements/messages.hpp"

namespace tarvelo {

namespace {

double larger_part(const Complex& z) {
  return std::max(std::abs(z.real()), std::abs(z.imag()));
}

// The record count of a source with n ports; a source needs at least one port.
std::size_t voltage_count(int n) {
  if (n < 1) throw std::length_error("vector::reserve");
  return static_cast<std::size_t>(n - 1);
}

// A delta reference carries its current through port 0: it needs at least one port.
int delta_ref_port_count(int n) {
  if (n < 1)
    throw std::invalid_argument(fmt::format(fmt::runtime(messages::delta_ref_needs_a_port), n));
  return n;
}

}  // namespace

// ---- PotentialRef ----

PotentialRef::PotentialRef() : ElementImpl<PotentialRef>(1) {
  ports[0].connection->fixed_zero = true;
}

void PotentialRef::eval_currents(bool taped) {
  zero_currents(*this, taped);
}

void PotentialRef::backward() {
  ports[0].current = Complex(0.0, 0.0);
}

double PotentialRef::forward() {
  Connection& node = *ports[0].connection;
  const Complex read = plain_potential(node);
  write_potential(node, Complex(0.0, 0.0));
  return larger_part(read);
}

Complex PotentialRef::get_current() const {
  return ports[0].connection->sum_currents();
}

// ---- DeltaPotentialRef ----

DeltaPotentialRef::DeltaPotentialRef(int n)
    : ElementImpl<DeltaPotentialRef>(delta_ref_port_count(n)) {}

void DeltaPotentialRef::declare_independent_variables(std::vector<double>& x) const {
  declare(current, x);
}

void DeltaPotentialRef::link_independent_variables(const ADVector& x, Eigen::VectorXd& values,
                                                   int& k) {
  link(current, x, values, k);
}

void DeltaPotentialRef::eval_currents(bool taped) {
  zero_currents(*this, taped);
  if (taped) {
    ports[0].ad_current = current.ad;
  } else {
    ports[0].current = read(current);
  }
}

void DeltaPotentialRef::add_internal_equations(ADVector& y, int& k) const {
  ADComplex sum = zero<ADComplex>();
  for (const Port& p : ports) sum += potential<ADComplex>(p);
  add_dependent_variable(y, k, sum);
}

void DeltaPotentialRef::backward() {
  zero_currents(*this, false);
}

double DeltaPotentialRef::forward() {
  Complex sum(0.0, 0.0);
  for (const Port& p : ports) sum += potential<Complex>(p);
  const Complex shift = sum / static_cast<double>(ports.size());
  for (Port& p : ports) write_potential(*p.connection, potential<Complex>(p) - shift);
  return larger_part(sum);
}

Complex DeltaPotentialRef::get_current() const {
  return ports[0].current;
}

// ---- voltage sources ----

template <class T>
AbstractVoltageSource<T>::AbstractVoltageSource(int n, const Complex* given_voltages)
    : ElementImpl<T>(n),
      voltages(make_records(given_voltages, voltage_count(n))),
      currents(make_zero_records(voltage_count(n))) {}

template <class T>
template <class S>
void AbstractVoltageSource<T>::compute_currents() {
  auto& ports = this->ports;
  S last = zero<S>();
  for (std::size_t i = 0; i < currents.size(); ++i) {
    const S current = value_of<S>(currents[i]);
    set_current(ports[i], current);
    last -= current;
  }
  set_current(ports.back(), last);
}

template <class T>
void AbstractVoltageSource<T>::eval_currents(bool taped) {
  taped ? compute_currents<ADComplex>() : compute_currents<Complex>();
}

template class AbstractVoltageSource<VoltageSource>;
template class AbstractVoltageSource<DeltaVoltageSource>;

VoltageSource::VoltageSource(int n, const Complex* voltages)
    : AbstractVoltageSource<VoltageSource>(n, voltages) {}

void VoltageSource::add_internal_equations(ADVector& y, int& k) const {
  const ADComplex neutral = potential<ADComplex>(ports.back());
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    add_dependent_variable(y, k, (potential<ADComplex>(ports[i]) - neutral) - voltages[i].ad);
  }
}

void VoltageSource::backward() {
  Complex sum(0.0, 0.0);
  for (std::size_t i = 0; i + 1 < ports.size(); ++i) {
    ports[i].current = balancing_current(ports[i]);
    sum += ports[i].current;
  }
  ports.back().current = -sum;
}

double VoltageSource::forward() {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const Complex neutral = potential<Complex>(ports.back());
    write_potential(*ports[i].connection, neutral + read(voltages[i]));
  }
  return 0.0;
}

DeltaVoltageSource::DeltaVoltageSource(int n, const Complex* voltages)
    : AbstractVoltageSource<DeltaVoltageSource>(n, voltages) {}

void DeltaVoltageSource::add_internal_equations(ADVector& y, int& k) const {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const ADComplex drop = potential<ADComplex>(ports[i]) - potential<ADComplex>(ports[i + 1]);
    add_dependent_variable(y, k, drop - voltages[i].ad);
  }
}

void DeltaVoltageSource::backward() {
  Complex sum(0.0, 0.0);
  for (std::size_t i = 1; i < ports.size(); ++i) {
    ports[i].current = balancing_current(ports[i]);
    sum += ports[i].current;
  }
  ports[0].current = -sum;
}

double DeltaVoltageSource::forward() {
  for (std::size_t i = 0; i < voltages.size(); ++i) {
    const Complex upstream = potential<Complex>(ports[i]);
    write_potential(*ports[i + 1].connection, upstream - read(voltages[i]));
  }
  return 0.0;
}

}  // namespace tarvelo
