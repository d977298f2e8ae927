// The load classes: the base CyLoad and the constant-power loads in star and delta connection.
#include "classes.hpp"
#include "elements/load.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// Delta loads have one phase per port; star loads one fewer (the last port is the neutral).
// A new delta load class joins this list.
bool is_delta(const LoadBase& load) {
  return dynamic_cast<const DeltaPowerLoad*>(&load) != nullptr;
}

Py_ssize_t phase_count(const LoadBase& load) {
  const auto ports = static_cast<Py_ssize_t>(load.ports.size());
  return is_delta(load) ? ports : std::max<Py_ssize_t>(ports - 1, 0);
}

// ---- CyLoad ----

Ref get_inner_currents(PyObject* self, const Args<1>& a) {
  const LoadBase& load = engine<LoadBase>(self);
  const int size = to_int(a[0]);
  const Py_ssize_t phases = phase_count(load);
  if (size < phases) raise(PyExc_ValueError, messages::count_below_phases, a[0].name, phases, size);
  ResultArray<Complex> currents(size);
  load.get_inner_currents(currents.data());
  return currents.take();
}

// ---- power loads: n - 1 powers in star, n in delta ----

template <class Load>
Made<Element> make_power_load(const Args<2>& a) {
  const int n = to_int(a[0]);
  const ComplexArray powers(a[1]);
  powers.require(values_read(Load::is_delta ? n : static_cast<long long>(n) - 1));
  return new Load(n, powers.data());
}

template <class Load>
Ref update_powers(PyObject* self, const Args<1>& a) {
  update_records(engine<Load>(self).powers, a[0]);
  return none();
}

Ref update_power(PyObject* self, const Args<1>& a) {
  update_single_record(engine<PowerLoad>(self).powers, a[0], a.function());
  return none();
}

}  // namespace

ClassDef CyLoad = define_class<Element>(
    "CyLoad", "CyElement", nullptr,
    {method<"CyLoad.get_inner_currents(self, int size)", get_inner_currents>()});

ClassDef CyPowerLoad = define_class<Element>(
    "CyPowerLoad", "CyLoad",
    constructor<"CyPowerLoad(int n, double complex[::1] powers)", make_power_load<PowerLoad>>,
    {method<"CyPowerLoad.update_powers(self, double complex[::1] powers)",
            update_powers<PowerLoad>>(),
     method<"CyPowerLoad.update_power(self, double complex power)", update_power>()});

ClassDef CyDeltaPowerLoad = define_class<Element>(
    "CyDeltaPowerLoad", "CyLoad",
    constructor<"CyDeltaPowerLoad(int n, double complex[::1] powers)",
                make_power_load<DeltaPowerLoad>>,
    {method<"CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)",
            update_powers<DeltaPowerLoad>>()});

}  // namespace tarvelo::py
