// The element classes: the bases CyElement and CyBranch, switches, the bus, the ground, the
// potential references and the voltage sources.
#include <climits>

#include "classes.hpp"
#include "elements/branch.hpp"
#include "elements/source.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// ---- CyElement ----

Ref connect(PyObject* self, const Args<2>& a) {
  const Element& element = engine<Element>(self);
  const Element& other = typed<Element>(a[0], type_of(CyElement));
  element.connect(other, to_connections(a[1]));
  return none();
}

Ref connect_ports(PyObject* self, const Args<1>& a) {
  const Element& element = engine<Element>(self);
  const IntArray ports(a[0]);
  if (ports.size() > INT_MAX) {
    raise(PyExc_ValueError, messages::too_many_values, a[0].name, Py_ssize_t{INT_MAX},
          ports.size());
  }
  element.connect_ports(ports.data(), static_cast<int>(ports.size()));
  return none();
}

Ref disconnect(PyObject* self, const Args<0>&) {
  engine<Element>(self).disconnect();
  return none();
}

Ref get_potentials(PyObject* self, const Args<1>& a) {
  const Element& element = engine<Element>(self);
  const int n = to_int(a[0]);
  ResultArray<Complex> potentials(n);
  potentials.fill([&](Complex* out) { element.get_potentials(n, out); });
  return potentials.take();
}

Ref get_currents(PyObject* self, const Args<1>& a) {
  const Element& element = engine<Element>(self);
  const int n = to_int(a[0]);
  ResultArray<Complex> currents(n);
  currents.fill([&](Complex* out) { element.get_currents(n, out); });
  return currents.take();
}

Ref get_port_potential(PyObject* self, const Args<1>& a) {
  const Element& element = engine<Element>(self);
  return to_python(element.get_port_potential(to_int(a[0])));
}

Ref get_port_current(PyObject* self, const Args<1>& a) {
  const Element& element = engine<Element>(self);
  return to_python(element.get_port_current(to_int(a[0])));
}

// ---- CyBranch ----

Ref connect_side(PyObject* self, const Args<3>& a) {
  const Branch& branch = engine<Branch>(self);
  const bool beginning = to_bool(a[2]);
  const Element& other = typed<Element>(a[0], type_of(CyElement));
  branch.connect_side(other, to_connections(a[1]), beginning);
  return none();
}

// The two result arrays of a side getter. Creating the second runs Python code, so the first is
// checked before and filled after: the engine writes its values into storage of the call, and
// those of the second side straight into the second array.
template <class Get>
Ref side_values(const Args<2>& a, Get get) {
  const int n1 = to_int(a[0]);
  const int n2 = to_int(a[1]);
  ResultArray<Complex> side1(n1);
  side1.check();
  ResultArray<Complex> side2(n2);
  const Storage<Complex> values1(n1);
  side2.fill([&](Complex* out2) { get(n1, n2, values1.data(), out2); });
  side1.copy(values1);
  return to_tuple(side1.take(), side2.take());
}

Ref get_side_potentials(PyObject* self, const Args<2>& a) {
  const Branch& branch = engine<Branch>(self);
  return side_values(a, [&](int n1, int n2, Complex* out1, Complex* out2) {
    branch.get_side_potentials(n1, n2, out1, out2);
  });
}

Ref get_side_currents(PyObject* self, const Args<2>& a) {
  const Branch& branch = engine<Branch>(self);
  return side_values(a, [&](int n1, int n2, Complex* out1, Complex* out2) {
    branch.get_side_currents(n1, n2, out1, out2);
  });
}

// ---- switches and the bus ----

Made<Element> make_switch(const Args<1>& a) {
  return new Switch(to_int(a[0]));
}

Made<Element> make_open_switch(const Args<1>& a) {
  return new OpenSwitch(to_int(a[0]));
}

Made<Element> make_bus(const Args<2>& a) {
  const int n = to_int(a[0]);
  const ComplexArray potentials(a[1]);
  potentials.require(values_read(n));
  return new Bus(n, potentials.data());
}

Ref initialize_potentials(PyObject* self, const Args<1>& a) {
  Bus& bus = engine<Bus>(self);
  const ComplexArray potentials(a[0]);
  potentials.require(static_cast<Py_ssize_t>(bus.ports.size()));
  bus.initialize_potentials(potentials.data());
  return none();
}

// ---- ground and potential references ----

Made<Element> make_ground() {
  return new Ground();
}

Made<Element> make_potential_ref() {
  return new PotentialRef();
}

Ref potential_ref_current(PyObject* self, const Args<0>&) {
  return to_python(engine<PotentialRef>(self).get_current());
}

Made<Element> make_delta_potential_ref(const Args<1>& a) {
  return new DeltaPotentialRef(to_int(a[0]));
}

Ref delta_potential_ref_current(PyObject* self, const Args<0>&) {
  return to_python(engine<DeltaPotentialRef>(self).get_current());
}

// ---- voltage sources: n - 1 voltages in either connection ----

template <class Source>
Made<Element> make_source(const Args<2>& a) {
  const int n = to_int(a[0]);
  const ComplexArray voltages(a[1]);
  voltages.require(values_read(static_cast<long long>(n) - 1));
  return new Source(n, voltages.data());
}

template <class Source>
Ref update_voltages(PyObject* self, const Args<1>& a) {
  update_records(engine<Source>(self).voltages, a[0]);
  return none();
}

Ref update_voltage(PyObject* self, const Args<1>& a) {
  update_single_record(engine<VoltageSource>(self).voltages, a[0], a.function());
  return none();
}

}  // namespace

ClassDef CyElement = define_class<Element>(
    "CyElement", nullptr, nullptr,
    {method<"CyElement.connect(self, CyElement cy_element, connections)", connect>(),
     method<"CyElement.connect_ports(self, int[::1] ports)", connect_ports>(),
     method<"CyElement.disconnect(self)", disconnect>(),
     method<"CyElement.get_potentials(self, int n)", get_potentials>(),
     method<"CyElement.get_currents(self, int n)", get_currents>(),
     method<"CyElement.get_port_potential(self, int index)", get_port_potential>(),
     method<"CyElement.get_port_current(self, int index)", get_port_current>()});

ClassDef CyBranch = define_class<Element>(
    "CyBranch", "CyElement", nullptr,
    {method<"CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
            connect_side>(),
     method<"CyBranch.get_side_potentials(self, int n1, int n2)", get_side_potentials>(),
     method<"CyBranch.get_side_currents(self, int n1, int n2)", get_side_currents>()});

ClassDef CySwitch =
    define_class<Element>("CySwitch", "CyBranch", constructor<"CySwitch(int n)", make_switch>);

ClassDef CyOpenSwitch = define_class<Element>("CyOpenSwitch", "CyBranch",
                                              constructor<"CyOpenSwitch(int n)", make_open_switch>);

ClassDef CyBus = define_class<Element>(
    "CyBus", "CyElement", constructor<"CyBus(int n, double complex[::1] potentials)", make_bus>,
    {method<"CyBus.initialize_potentials(self, double complex[::1] potentials)",
            initialize_potentials>()});

ClassDef CyGround =
    define_class<Element>("CyGround", "CyElement", constructor_ignoring_arguments<make_ground>);

ClassDef CyPotentialRef = define_class<Element>(
    "CyPotentialRef", "CyElement", constructor_ignoring_arguments<make_potential_ref>,
    {method<"CyPotentialRef.get_current(self)", potential_ref_current>()});

ClassDef CyDeltaPotentialRef = define_class<Element>(
    "CyDeltaPotentialRef", "CyElement",
    constructor<"CyDeltaPotentialRef(int n)", make_delta_potential_ref>,
    {method<"CyDeltaPotentialRef.get_current(self)", delta_potential_ref_current>()});

ClassDef CyVoltageSource = define_class<Element>(
    "CyVoltageSource", "CyElement",
    constructor<"CyVoltageSource(int n, double complex[::1] voltages)", make_source<VoltageSource>>,
    {method<"CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
            update_voltages<VoltageSource>>(),
     method<"CyVoltageSource.update_voltage(self, double complex voltage)", update_voltage>()});

ClassDef CyDeltaVoltageSource = define_class<Element>(
    "CyDeltaVoltageSource", "CyElement",
    constructor<"CyDeltaVoltageSource(int n, double complex[::1] voltages)",
                make_source<DeltaVoltageSource>>,
    {method<"CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)",
            update_voltages<DeltaVoltageSource>>()});

}  // namespace tarvelo::py
