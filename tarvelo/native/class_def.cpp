// Creating the classes: heap types built from their slot tables, with their pickling refusal.
#include "class_def.hpp"

namespace tarvelo::py {

namespace {

const char* refusal_text(Pickling pickling) {
  switch (pickling) {
    case Pickling::element_base:
      return messages::element_not_picklable;
    case Pickling::solver_base:
      return messages::solver_not_picklable;
    case Pickling::concrete:
      break;
  }
  return messages::no_default_reduce;
}

template <Pickling P>
Ref refuse_reduce(PyObject*, const Args<0>&) {
  raise(PyExc_TypeError, refusal_text(P));
}

template <Pickling P>
Ref refuse_setstate(PyObject*, const Args<1>&) {
  raise(PyExc_TypeError, refusal_text(P));
}

template <Pickling P>
std::pair<FunctionDef, FunctionDef> pickling_methods() {
  return {method<"__reduce__(self)", refuse_reduce<P>>(),
          method<"__setstate__(self, state)", refuse_setstate<P>>()};
}

std::pair<FunctionDef, FunctionDef> pickling_methods(Pickling pickling) {
  switch (pickling) {
    case Pickling::element_base:
      return pickling_methods<Pickling::element_base>();
    case Pickling::solver_base:
      return pickling_methods<Pickling::solver_base>();
    case Pickling::concrete:
      break;
  }
  return pickling_methods<Pickling::concrete>();
}

// Whether the mapping holds the key. A lookup that fails otherwise than by a missing key (memory
// running out) raises its own exception.
bool holds_key(PyObject* mapping, const char* key) {
  const Ref value = Ref::take_optional(PyMapping_GetItemString(mapping, key));
  if (value) return true;
  check(PyErr_ExceptionMatches(PyExc_KeyError) != 0);
  PyErr_Clear();
  return false;
}

}  // namespace

Ref allocate(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return Ref::take(alloc(type, 0));
}

PyObject* construct_bare(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guarded([&] { return allocate(type); });
}

void create_class(PyObject* module, ClassDef& cls, PyTypeObject* base) {
  cls.qualified_name = std::string(messages::module_name) + "." + cls.name;
  std::vector<PyType_Slot> slots{{Py_tp_new, reinterpret_cast<void*>(cls.construct)},
                                 {Py_tp_dealloc, reinterpret_cast<void*>(cls.deallocate)},
                                 {Py_tp_traverse, reinterpret_cast<void*>(cls.traverse)}};
  if (cls.clear != nullptr) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(cls.clear)});
  slots.push_back({0, nullptr});
  PyType_Spec type_slots{cls.qualified_name.c_str(), static_cast<int>(cls.basic_size), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                         slots.data()};
  PyObject* type =
      PyType_FromMetaclass(nullptr, module, &type_slots, reinterpret_cast<PyObject*>(base));
  check(type != nullptr);
  cls.type = reinterpret_cast<PyTypeObject*>(type);
  check(PyModule_AddObjectRef(module, cls.name, type) == 0);
  // The class must refuse pickling by its own __reduce__, whatever it inherits.
  const auto [reduce, setstate] = pickling_methods(cls.pickling);
  add_method(cls.type, reduce);
  add_method(cls.type, setstate);
  const Ref own = Ref::take(PyObject_GetAttrString(type, "__dict__"));
  if (!holds_key(own.get(), "__reduce__") || !holds_key(own.get(), "__setstate__")) {
    const Ref name = Ref::take(PyUnicode_FromString(cls.name));
    raise(PyExc_RuntimeError, messages::pickling_setup_failed, name.get());
  }
}

void add_methods(const ClassDef& cls) {
  for (const FunctionDef& def : cls.methods) add_method(cls.type, def);
}

void forget_class(ClassDef& cls) {
  Py_XDECREF(reinterpret_cast<PyObject*>(std::exchange(cls.type, nullptr)));
}

}  // namespace tarvelo::py
