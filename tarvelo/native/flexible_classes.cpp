// The flexible-load classes: the control laws, projections and flexible parameters that govern
// each phase, and the flexible loads in star and delta connection.
//
// Lifetimes: a FlexibleParameter copies its Control and Projection, so those objects may die at
// any time. A flexible load points at the engine objects of its parameters, so its Python object
// keeps the CyFlexibleParameter objects it uses alive for as long as it lives.
#include "classes.hpp"
#include "elements/flexible.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// ---- CyControl, CyProjection ----

Made<Control> make_control(const Args<7>& a) {
  const std::string t = to_string(a[0]);
  const double u_min = to_double(a[1]);
  const double u_down = to_double(a[2]);
  const double u_up = to_double(a[3]);
  const double u_max = to_double(a[4]);
  const double alpha = to_double(a[5]);
  const double epsilon = to_double(a[6]);
  return new Control(t, u_min, u_down, u_up, u_max, alpha, epsilon);
}

Made<Projection> make_projection(const Args<3>& a) {
  const std::string t = to_string(a[0]);
  const double alpha = to_double(a[1]);
  const double epsilon = to_double(a[2]);
  return new Projection(t, alpha, epsilon);
}

// ---- CyFlexibleParameter ----

// The limits are converted before the objects are checked.
Made<FlexibleParameter> make_flexible_parameter(const Args<6>& a) {
  const double s_max = to_double(a[3]);
  const double q_min = to_double(a[4]);
  const double q_max = to_double(a[5]);
  const Control& control_p = typed<Control>(a[0], type_of(CyControl));
  const Control& control_q = typed<Control>(a[1], type_of(CyControl));
  const Projection& projection = typed<Projection>(a[2], type_of(CyProjection));
  return new FlexibleParameter(control_p, control_q, projection, s_max, q_min, q_max);
}

Ref compute_power(PyObject* self, const Args<2>& a) {
  const FlexibleParameter& parameter = engine<FlexibleParameter>(self);
  const double x = to_double(a[0]);
  const Complex s_th = to_complex(a[1]);
  return to_python(parameter.compute_power<Complex>(x, s_th));
}

Ref update_parameters(PyObject* self, const Args<3>& a) {
  FlexibleParameter& parameter = engine<FlexibleParameter>(self);
  const double s_max = to_double(a[0]);
  const double q_min = to_double(a[1]);
  const double q_max = to_double(a[2]);
  parameter.update_parameters(s_max, q_min, q_max);
  return none();
}

// ---- flexible loads: n - 1 phases in star, n in delta, one parameter object per phase ----

// The engine parameters of the first `count` entries of an object array, and a tuple of those
// entries for the load to keep alive.
struct ParameterEntries {
  std::vector<FlexibleParameter*> engine;
  Ref kept;
};

FlexibleParameter* parameter_entry(PyObject* entry, Py_ssize_t i, const char* name) {
  PyTypeObject* parameter_type = type_of(CyFlexibleParameter);
  if (entry == nullptr || !PyObject_TypeCheck(entry, parameter_type)) {
    raise(PyExc_TypeError, messages::entry_incorrect_type, name, i, type_name(parameter_type).get(),
          type_name(Py_TYPE(entry == nullptr ? Py_None : entry)).get());
  }
  FlexibleParameter* parameter = engine_pointer<FlexibleParameter>(entry);
  if (parameter == nullptr) raise(PyExc_TypeError, messages::entry_bare_instance, name, i);
  return parameter;
}

ParameterEntries parameter_entries(Argument argument, Py_ssize_t count) {
  const ObjectArray entries(argument, "CyFlexibleParameter");
  entries.require(count);
  ParameterEntries out{{}, Ref::take(PyTuple_New(count))};
  out.engine.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = entries.entry(i);
    out.engine.push_back(parameter_entry(entry, i, argument.name));
    check(PyTuple_SetItem(out.kept.get(), i, Ref::borrow(entry).release()) == 0);
  }
  return out;
}

template <class Load>
Py_ssize_t phases_of(long long ports) {
  return values_read(Load::is_delta ? ports : ports - 1);
}

template <class Load>
Made<Element> make_flexible_load(const Args<3>& a) {
  const int n = to_int(a[0]);
  const ComplexArray powers(a[1]);
  const Py_ssize_t phases = phases_of<Load>(n);
  ParameterEntries parameters = parameter_entries(a[2], phases);
  powers.require(phases);
  return {new Load(n, powers.data(), std::move(parameters.engine)), std::move(parameters.kept)};
}

template <class Load>
Ref update_flexible_powers(PyObject* self, const Args<1>& a) {
  update_records(engine<Load>(self).powers, a[0]);
  return none();
}

Ref update_flexible_power(PyObject* self, const Args<1>& a) {
  update_single_record(engine<FlexibleLoad>(self).powers, a[0], a.function());
  return none();
}

// `n` is the load's port count; the result holds one power per phase.
template <class Load>
Ref get_powers(PyObject* self, const Args<1>& a) {
  const Load& load = engine<Load>(self);
  const int n = to_int(a[0]);
  const auto ports = static_cast<Py_ssize_t>(load.ports.size());
  if (n < ports) raise(PyExc_ValueError, messages::count_below_ports, a[0].name, ports, n);
  ResultArray<Complex> powers(phases_of<Load>(n));
  powers.fill([&](Complex* out) { load.get_powers(out); });
  return powers.take();
}

}  // namespace

ClassDef CyControl = define_class<Control>(
    "CyControl", nullptr,
    constructor<"CyControl(string t, double u_min, double u_down, double u_up, double u_max, "
                "double alpha, double epsilon)",
                make_control>);

ClassDef CyProjection = define_class<Projection>(
    "CyProjection", nullptr,
    constructor<"CyProjection(string t, double alpha, double epsilon)", make_projection>);

ClassDef CyFlexibleParameter = define_class<FlexibleParameter>(
    "CyFlexibleParameter", nullptr,
    constructor<"CyFlexibleParameter(CyControl control_p, CyControl control_q, CyProjection "
                "projection, double s_max, double q_min, double q_max)",
                make_flexible_parameter>,
    {method<"CyFlexibleParameter.compute_power(self, double x, double complex s_th)",
            compute_power>(),
     method<"CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double "
            "q_max)",
            update_parameters>()});

ClassDef CyFlexibleLoad = define_class<Element>(
    "CyFlexibleLoad", "CyLoad",
    constructor<"CyFlexibleLoad(int n, double complex[::1] powers, parameters)",
                make_flexible_load<FlexibleLoad>>,
    {method<"CyFlexibleLoad.update_powers(self, double complex[::1] powers)",
            update_flexible_powers<FlexibleLoad>>(),
     method<"CyFlexibleLoad.update_power(self, double complex power)", update_flexible_power>(),
     method<"CyFlexibleLoad.get_powers(self, int n)", get_powers<FlexibleLoad>>()});

ClassDef CyDeltaFlexibleLoad = define_class<Element>(
    "CyDeltaFlexibleLoad", "CyLoad",
    constructor<"CyDeltaFlexibleLoad(int n, double complex[::1] powers, parameters)",
                make_flexible_load<DeltaFlexibleLoad>>,
    {method<"CyDeltaFlexibleLoad.update_powers(self, double complex[::1] powers)",
            update_flexible_powers<DeltaFlexibleLoad>>(),
     method<"CyDeltaFlexibleLoad.get_powers(self, int n)", get_powers<DeltaFlexibleLoad>>()});

}  // namespace tarvelo::py
