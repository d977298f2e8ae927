// The network and solver classes: CyElectricalNetwork, the bases CyAbstractSolver and
// CyAbstractNewton (with the Jacobian diagnostics), CyNewton, CyNewtonGoldstein and
// CyBackwardForward.
//
// Lifetimes: a network keeps the element objects it lists alive, and a solver its network, so
// that no engine object is freed while another points at it. Deleting a solver hands what it
// holds to the newest solver left whose network lists it (the engine's AbstractSolver
// destructor); what none takes keeps its present value as its stored value.
#include "classes.hpp"
#include "numpy.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

// ---- CyElectricalNetwork ----

// The engine element of entry i of `elements`, which must be a CyElement holding one.
Element* element_entry(PyObject* entry, Py_ssize_t i, const char* name) {
  PyTypeObject* element_type = type_of(CyElement);
  if (entry == nullptr || !PyObject_TypeCheck(entry, element_type)) {
    raise(PyExc_TypeError, messages::entry_incorrect_type, name, i, type_name(element_type).get(),
          type_name(Py_TYPE(entry == nullptr ? Py_None : entry)).get());
  }
  Element* element = engine_pointer<Element>(entry);
  if (element == nullptr) raise(PyExc_TypeError, messages::entry_bare_instance, name, i);
  return element;
}

Made<ElectricalNetwork> make_network(const Args<2>& a) {
  const ObjectArray elements(a[0]);
  const int count = to_int(a[1]);
  if (count < 0) raise(PyExc_RuntimeError, messages::negative_count, a[1].name, count);
  elements.require(count);

  std::vector<Element*> list;
  list.reserve(static_cast<std::size_t>(count));
  Ref kept = Ref::take(PyTuple_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = elements.entry(i);
    list.push_back(element_entry(entry, i, a[0].name));
    check(PyTuple_SetItem(kept.get(), i, Ref::borrow(entry).release()) == 0);
  }
  return {new ElectricalNetwork(std::move(list)), std::move(kept)};
}

// ---- CyAbstractSolver ----

Ref solve_load_flow(PyObject* self, const Args<2>& a) {
  AbstractSolver& solver = engine<AbstractSolver>(self);
  const int max_iterations = to_int(a[0]);
  const double tolerance = to_double(a[1]);
  const auto [iterations, residual] = solver.solve_load_flow(max_iterations, tolerance);
  return to_tuple(iterations, residual);
}

Ref reset_inputs(PyObject* self, const Args<0>&) {
  engine<AbstractSolver>(self).reset_inputs();
  return none();
}

Ref get_variables(PyObject* self, const Args<0>&) {
  const AbstractSolver& solver = engine<AbstractSolver>(self);
  ResultArray<double> variables(solver.independents_size());
  variables.fill([&](double* out) { solver.get_variables(out); });
  return variables.take();
}

Ref set_variables(PyObject* self, const Args<1>& a) {
  AbstractSolver& solver = engine<AbstractSolver>(self);
  const RealArray variables(a[0]);
  variables.require(solver.independents_size());
  solver.set_variables(variables.data());
  return none();
}

// ---- CyAbstractNewton: the diagnostics, at the current variables ----

Ref save_matrix(PyObject* self, const Args<1>& a) {
  AbstractNewton& solver = engine<AbstractNewton>(self);
  solver.save_matrix(to_string(a[0]));
  return none();
}

// Row-major: entry [i, j] is the derivative of residual i with respect to unknown j.
Ref get_jacobian(PyObject* self, const Args<0>&) {
  AbstractNewton& solver = engine<AbstractNewton>(self);
  const Py_ssize_t n = solver.independents_size();
  ResultArray<double> jacobian(n * n);
  jacobian.fill([&](double* out) { solver.get_jacobian(out); });
  const Ref flat = jacobian.take();
  return Ref::take(PyObject_CallMethod(flat.get(), "reshape", "(nn)", n, n));
}

Ref get_residuals(PyObject* self, const Args<0>&) {
  AbstractNewton& solver = engine<AbstractNewton>(self);
  ResultArray<double> residuals(solver.independents_size());
  residuals.fill([&](double* out) { solver.get_residuals(out); });
  return residuals.take();
}

Ref analyse_jacobian(PyObject* self, const Args<0>&) {
  const auto [empty_columns, non_finite_rows] = engine<AbstractNewton>(self).analyse_jacobian();
  return to_tuple(empty_columns, non_finite_rows);
}

// ---- Newton solvers ----

Made<AbstractSolver> make_newton(const Args<2>& a) {
  const bool optimize_tape = to_bool(a[1]);
  ElectricalNetwork& network = typed<ElectricalNetwork>(a[0], type_of(CyElectricalNetwork));
  return {new Newton(&network, optimize_tape), Ref::borrow(a[0].object)};
}

Made<AbstractSolver> make_newton_goldstein(const Args<4>& a) {
  const bool optimize_tape = to_bool(a[1]);
  const double m1 = to_double(a[2]);
  const double m2 = to_double(a[3]);
  ElectricalNetwork& network = typed<ElectricalNetwork>(a[0], type_of(CyElectricalNetwork));
  return {new NewtonGoldstein(&network, optimize_tape, m1, m2), Ref::borrow(a[0].object)};
}

Ref update_params(PyObject* self, const Args<2>& a) {
  NewtonGoldstein& solver = engine<NewtonGoldstein>(self);
  const double m1 = to_double(a[0]);
  const double m2 = to_double(a[1]);
  solver.update_params(m1, m2);
  return none();
}

// ---- CyBackwardForward ----

Made<AbstractSolver> make_backward_forward(const Args<1>& a) {
  ElectricalNetwork& network = typed<ElectricalNetwork>(a[0], type_of(CyElectricalNetwork));
  return {new BackwardForward(&network), Ref::borrow(a[0].object)};
}

}  // namespace

ClassDef CyElectricalNetwork = define_class<ElectricalNetwork>(
    "CyElectricalNetwork", nullptr,
    constructor<"CyElectricalNetwork(elements, int nb_elements)", make_network>);

ClassDef CyAbstractSolver = define_class<AbstractSolver>(
    "CyAbstractSolver", nullptr, nullptr,
    {method<"CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)",
            solve_load_flow>(),
     method<"CyAbstractSolver.reset_inputs(self)", reset_inputs>(),
     method<"CyAbstractSolver.get_variables(self)", get_variables>(),
     method<"CyAbstractSolver.set_variables(self, double[::1] variables)", set_variables>()});

ClassDef CyAbstractNewton = define_class<AbstractSolver>(
    "CyAbstractNewton", "CyAbstractSolver", nullptr,
    {method<"CyAbstractNewton.save_matrix(self, string prefix)", save_matrix>(),
     method<"CyAbstractNewton.get_jacobian(self)", get_jacobian>(),
     method<"CyAbstractNewton.get_residuals(self)", get_residuals>(),
     method<"CyAbstractNewton.analyse_jacobian(self)", analyse_jacobian>()});

ClassDef CyNewton = define_class<AbstractSolver>(
    "CyNewton", "CyAbstractNewton",
    constructor<"CyNewton(CyElectricalNetwork network, bool optimize_tape)", make_newton>);

ClassDef CyNewtonGoldstein = define_class<AbstractSolver>(
    "CyNewtonGoldstein", "CyAbstractNewton",
    constructor<"CyNewtonGoldstein(CyElectricalNetwork network, bool optimize_tape, double m1, "
                "double m2)",
                make_newton_goldstein>,
    {method<"CyNewtonGoldstein.update_params(self, double m1, double m2)", update_params>()});

ClassDef CyBackwardForward = define_class<AbstractSolver>(
    "CyBackwardForward", "CyAbstractSolver",
    constructor<"CyBackwardForward(CyElectricalNetwork network)", make_backward_forward>);

}  // namespace tarvelo::py
