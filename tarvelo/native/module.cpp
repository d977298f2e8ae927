// tarvelo.cy_engine: start-up, the class table and cy_set_logging_config.
//
// Adding a class:
//   1. Define it in the group file of its family (element_classes.cpp, load_classes.cpp,
//      solver_classes.cpp, or a new one such as line_classes.cpp; new files are built as they are):
//        ClassDef CyCurrentLoad = define_class<Element>(
//            "CyCurrentLoad", "CyLoad",
//            constructor<"CyCurrentLoad(int n, double complex[::1] currents)", make_current_load>,
//            {method<"CyCurrentLoad.update_currents(self, double complex[::1] currents)",
//                    update_currents>()});
//   2. Add X(CyCurrentLoad) to TARVELO_CLASS_TABLE below, at its place in the class order (each
//      base before its subclasses). If other classes take it as a typed argument, declare it in
//      classes.hpp.
#include <cstdint>
#include <utility>

#include "classes.hpp"
#include "numpy.hpp"
#include "solvers/logging.hpp"

// The classes in the order they are created.
#define TARVELO_CLASS_TABLE(X) \
  X(CyElement)                 \
  X(CyBranch)                  \
  X(CySwitch)                  \
  X(CyOpenSwitch)              \
  X(CySimplifiedLine)          \
  X(CyShuntLine)               \
  X(CyBus)                     \
  X(CyLoad)                    \
  X(CyPowerLoad)               \
  X(CyDeltaPowerLoad)          \
  X(CyAdmittanceLoad)          \
  X(CyDeltaAdmittanceLoad)     \
  X(CyCurrentLoad)             \
  X(CyDeltaCurrentLoad)        \
  X(CyLoadBalancer)            \
  X(CyControl)                 \
  X(CyProjection)              \
  X(CyFlexibleParameter)       \
  X(CyFlexibleLoad)            \
  X(CyDeltaFlexibleLoad)       \
  X(CyGround)                  \
  X(CyPotentialRef)            \
  X(CyDeltaPotentialRef)       \
  X(CyVoltageSource)           \
  X(CyDeltaVoltageSource)      \
  X(CyTransformer)             \
  X(CyThreePhaseTransformer)   \
  X(CySingleTransformer)       \
  X(CyCenterTransformer)       \
  X(CySingleVoltageRegulator)  \
  X(CyElectricalNetwork)       \
  X(CyAbstractSolver)          \
  X(CyAbstractNewton)          \
  X(CyNewton)                  \
  X(CyNewtonGoldstein)         \
  X(CyBackwardForward)

namespace tarvelo::py {

#define TARVELO_DECLARE_CLASS(name) extern ClassDef name;
#define TARVELO_CLASS_ADDRESS(name) &name,
TARVELO_CLASS_TABLE(TARVELO_DECLARE_CLASS)
ClassDef* const kClassTable[] = {TARVELO_CLASS_TABLE(TARVELO_CLASS_ADDRESS)};
#undef TARVELO_DECLARE_CLASS
#undef TARVELO_CLASS_ADDRESS

namespace {

// ---- cy_set_logging_config ----

Ref set_logging(PyObject*, const Args<1>& a) {
  const std::string severity = to_exact_str(a[0]);
  set_logging_config(severity);
  return none();
}

constexpr FunctionDef logging_function =
    method<"cy_set_logging_config(str severity)", set_logging>();

// ---- start-up ----

constexpr int kBuiltMajor = 3;
constexpr int kBuiltMinor = 12;

int64_t first_interpreter = -1;

void check_interpreter() {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  check(!(current == -1 && PyErr_Occurred() != nullptr));
  if (first_interpreter == -1) first_interpreter = current;
  if (current != first_interpreter) raise(PyExc_ImportError, messages::interpreter_change);
}

Ref create_module(PyObject* found) {
  check_interpreter();
  if (state().module) return Ref::borrow(state().module.get());
  const Ref name = Ref::take(PyObject_GetAttrString(found, "name"));
  // The import system sets __loader__, __file__ and __package__ from the description.
  return Ref::take(PyModule_NewObject(name.get()));
}

void warn_if_older_interpreter() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major < kBuiltMajor || (major == kBuiltMajor && minor < kBuiltMinor)) {
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, messages::version_mismatch, kBuiltMajor,
                           kBuiltMinor, messages::module_name, messages::was_newer_than, major,
                           minor) == 0);
  }
}

// Whether the exec step under way put the module into the interpreter's module table (when it is
// run by hand; the import system puts it there itself before the exec step).
bool registered_by_exec = false;

void register_module(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  const Ref name = Ref::take(PyUnicode_FromString(messages::module_name));
  if (PyDict_GetItemWithError(modules, name.get()) == nullptr) {
    check(PyErr_Occurred() == nullptr);
    check(PyDict_SetItem(modules, name.get(), module) == 0);
    registered_by_exec = true;
  }
}

// A failed exec step takes back the entry it added, while that is still this module: the next
// import runs the exec step again. Leaves any pending exception alone.
void unregister_after_failure(PyObject* module) noexcept {
  if (!std::exchange(registered_by_exec, false)) return;
  const SavedError pending;
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_GetItemString(modules, messages::module_name) == module &&
      PyDict_DelItemString(modules, messages::module_name) != 0) {
    PyErr_Clear();
  }
}

PyTypeObject* created_base(const ClassDef& cls) {
  if (cls.base == nullptr) return nullptr;
  for (const ClassDef* earlier : kClassTable) {
    if (earlier == &cls) break;
    if (std::string_view(earlier->name) == cls.base) return earlier->type;
  }
  raise(PyExc_RuntimeError, messages::unknown_base_class, cls.name, cls.base);
}

void create_classes(PyObject* module) {
  for (ClassDef* cls : kClassTable) create_class(module, *cls, created_base(*cls));
}

void execute(PyObject* module) {
  ModuleState& s = state();
  s.module = Ref::borrow(module);
  s.globals = PyModule_GetDict(module);
  const Ref builtins = Ref::take(PyImport_ImportModule("builtins"));
  check(PyDict_SetItemString(s.globals, "__builtins__", builtins.get()) == 0);
  warn_if_older_interpreter();
  register_module(module);
  create_function_type(module);
  create_classes(module);
  import_numpy(module);
  for (const ClassDef* cls : kClassTable) add_methods(*cls);
  add_module_function(module, logging_function);
  const Ref test = Ref::take(PyDict_New());
  check(PyModule_AddObjectRef(module, "__test__", test.get()) == 0);
}

void forget_everything() {
  for (ClassDef* cls : kClassTable) forget_class(*cls);
  clear_state();
}

PyObject* create_step(PyObject* found, PyModuleDef*) noexcept {
  return guarded([&] { return create_module(found); });
}

int exec_step(PyObject* module) noexcept {
  const ModuleState& s = state();
  if (s.module) {
    if (s.module.get() == module) return 0;
    PyErr_SetString(PyExc_RuntimeError, messages::already_imported);
    return -1;
  }
  registered_by_exec = false;
  try {
    execute(module);
    return 0;
  } catch (const PythonError&) {
    // The pending exception, if there is one, says why.
  } catch (...) {
    translate_exception();
  }
  // A failed import always says why, and leaves nothing behind.
  if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_ImportError, messages::init_failed);
  unregister_after_failure(module);
  const SavedError pending;
  forget_everything();
  return -1;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_create, reinterpret_cast<void*>(&create_step)},
                                   {Py_mod_exec, reinterpret_cast<void*>(&exec_step)},
                                   {0, nullptr}};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT,
                                 messages::module_short_name,
                                 nullptr,
                                 0,
                                 no_methods,
                                 module_slots,
                                 nullptr,
                                 nullptr,
                                 nullptr};

}  // namespace

ModuleState& state() {
  // Never destroyed: the interpreter is gone by the time static objects are.
  static ModuleState* const instance = new ModuleState{};
  return *instance;
}

void clear_state() {
  state() = ModuleState{};
}

void refuse_after_failed_import() {
  raise(PyExc_ImportError, messages::import_failed);
}

bool of_failed_import(PyTypeObject* type) {
  for (PyTypeObject* cls = type; cls != nullptr;
       cls = static_cast<PyTypeObject*>(PyType_GetSlot(cls, Py_tp_base))) {
    if ((PyType_GetFlags(cls) & Py_TPFLAGS_HEAPTYPE) == 0) continue;
    PyObject* module = PyType_GetModule(cls);  // a Python class has none
    if (module == nullptr) {
      PyErr_Clear();
      continue;
    }
    if (PyModule_Check(module) && PyModule_GetDef(module) == &module_definition)
      return module != state().module.get();
  }
  return false;
}

}  // namespace tarvelo::py

PyMODINIT_FUNC PyInit_cy_engine() {
  return PyModuleDef_Init(&tarvelo::py::module_definition);
}
