// The load classes: the base CyLoad, the constant-power, constant-admittance and constant-current
// loads in star and delta connection, and the load balancer.
//
// The three families differ only in the name of their records (powers, admittances, currents);
// each engine load hands its records out through `records()`, so one constructor and one pair of
// update bodies serve them all.
#include "classes.hpp"
#include "elements/load.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// ---- CyLoad ----

Ref get_inner_currents(PyObject* self, const Args<1>& a) {
  const LoadBase& load = engine<LoadBase>(self);
  const int size = to_int(a[0]);
  const auto written = static_cast<Py_ssize_t>(load.inner_current_count());
  if (size < written)
    raise(PyExc_ValueError, messages::count_below_phases, a[0].name, written, size);
  ResultArray<Complex> currents(size);
  currents.fill([&](Complex* out) { load.get_inner_currents(out); });
  return currents.take();
}

// ---- loads with one record per phase: n - 1 records in star, n in delta ----

template <class Load>
Made<Element> make_load(const Args<2>& a) {
  const int n = to_int(a[0]);
  const ComplexArray values(a[1]);
  values.require(values_read(Load::is_delta ? n : static_cast<long long>(n) - 1));
  return new Load(n, values.data());
}

// update_powers, update_admittances, update_currents
template <class Load>
Ref update_all(PyObject* self, const Args<1>& a) {
  update_records(engine<Load>(self).records(), a[0]);
  return none();
}

// update_power, update_admittance, update_current (star loads only)
template <class Load>
Ref update_one(PyObject* self, const Args<1>& a) {
  update_single_record(engine<Load>(self).records(), a[0], a.function());
  return none();
}

// ---- load balancer ----

Made<Element> make_load_balancer(const Args<3>& a) {
  const Complex z2 = to_complex(a[0]);
  const Complex ym = to_complex(a[1]);
  const double k = to_double(a[2]);
  return new LoadBalancer(z2, ym, k);
}

}  // namespace

ClassDef CyLoad = define_class<Element>(
    "CyLoad", "CyElement", nullptr,
    {method<"CyLoad.get_inner_currents(self, int size)", get_inner_currents>()});

ClassDef CyPowerLoad = define_class<Element>(
    "CyPowerLoad", "CyLoad",
    constructor<"CyPowerLoad(int n, double complex[::1] powers)", make_load<PowerLoad>>,
    {method<"CyPowerLoad.update_powers(self, double complex[::1] powers)", update_all<PowerLoad>>(),
     method<"CyPowerLoad.update_power(self, double complex power)", update_one<PowerLoad>>()});

ClassDef CyDeltaPowerLoad = define_class<Element>(
    "CyDeltaPowerLoad", "CyLoad",
    constructor<"CyDeltaPowerLoad(int n, double complex[::1] powers)", make_load<DeltaPowerLoad>>,
    {method<"CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)",
            update_all<DeltaPowerLoad>>()});

ClassDef CyAdmittanceLoad = define_class<Element>(
    "CyAdmittanceLoad", "CyLoad",
    constructor<"CyAdmittanceLoad(int n, double complex[::1] admittances)",
                make_load<AdmittanceLoad>>,
    {method<"CyAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
            update_all<AdmittanceLoad>>(),
     method<"CyAdmittanceLoad.update_admittance(self, double complex admittance)",
            update_one<AdmittanceLoad>>()});

ClassDef CyDeltaAdmittanceLoad = define_class<Element>(
    "CyDeltaAdmittanceLoad", "CyLoad",
    constructor<"CyDeltaAdmittanceLoad(int n, double complex[::1] admittances)",
                make_load<DeltaAdmittanceLoad>>,
    {method<"CyDeltaAdmittanceLoad.update_admittances(self, double complex[::1] admittances)",
            update_all<DeltaAdmittanceLoad>>()});

ClassDef CyCurrentLoad = define_class<Element>(
    "CyCurrentLoad", "CyLoad",
    constructor<"CyCurrentLoad(int n, double complex[::1] currents)", make_load<CurrentLoad>>,
    {method<"CyCurrentLoad.update_currents(self, double complex[::1] currents)",
            update_all<CurrentLoad>>(),
     method<"CyCurrentLoad.update_current(self, double complex current)",
            update_one<CurrentLoad>>()});

ClassDef CyDeltaCurrentLoad = define_class<Element>(
    "CyDeltaCurrentLoad", "CyLoad",
    constructor<"CyDeltaCurrentLoad(int n, double complex[::1] currents)",
                make_load<DeltaCurrentLoad>>,
    {method<"CyDeltaCurrentLoad.update_currents(self, double complex[::1] currents)",
            update_all<DeltaCurrentLoad>>()});

ClassDef CyLoadBalancer = define_class<Element>(
    "CyLoadBalancer", "CyLoad",
    constructor<"CyLoadBalancer(double complex z2, double complex ym, double k)",
                make_load_balancer>);

}  // namespace tarvelo::py
