#include "elements/source.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "elements/messages.hpp"

namespace tarvelo {

namespace {

// The record count of a source with n ports; a source needs at least one port.
std::size_t voltage_count(int n) {
  if (n < 1) throw std::length_error("vector::reserve");
  return static_cast<std::size_t>(n - 1);
}

// A delta reference carries its current through port 0: it needs at least one port. A negative
// count fails in the ports' reserve, as for every element.
int delta_ref_port_count(int n) {
  if (n == 0)
    throw std::invalid_argument(fmt::format(fmt::runtime(messages::delta_ref_needs_a_port), n));
  return n;
}

}  // namespace

// ---- PotentialRef ----

PotentialRef::PotentialRef() : ElementImpl<PotentialRef>(1) {
  ports[0].connection->fixed_zero = true;
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
  OwnPorts<Complex> own{ports};
  star_source_backward(own, ports.size());
}

double VoltageSource::forward() {
  OwnPorts<Complex> own{ports};
  star_source_forward(own, ports.size(), [this](std::size_t i) { return read(voltages[i]); });
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
  OwnPorts<Complex> own{ports};
  delta_source_backward(own, ports.size());
}

double DeltaVoltageSource::forward() {
  OwnPorts<Complex> own{ports};
  delta_source_forward(own, ports.size(), [this](std::size_t i) { return read(voltages[i]); });
  return 0.0;
}

}  // namespace tarvelo
