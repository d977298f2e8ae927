// The class-definition helper: each class of the module reads as a short table.
//
//   ClassDef CyBus = define_class<Element>(
//       "CyBus", "CyElement",
//       constructor<"CyBus(int n, double complex[::1] potentials)", make_bus>,
//       {method<"CyBus.initialize_potentials(self, double complex[::1] potentials)",
//               initialize_potentials>()});
//
// The family (here `Element`) fixes the instance layout and how the engine object is deleted.
// A class without a constructor is a base class: calling it gives an instance without an engine
// object, whatever the arguments. A method is its signature string, which is also its __doc__
// and gives its name and argument names, and a body `Ref body(PyObject* self, const Args<N>&)`;
// it lives in the class as a function object (function.hpp), which has checked that `self` is
// an instance of the class before the body runs.
// A constructor body `Made<Family> make(const Args<N>&)` converts the arguments and returns the
// new engine object. Every class refuses pickling with the text its family and kind call for.
//
// Every class takes part in cyclic garbage collection: an instance shows the collector its class
// and the objects it keeps alive (`kept`). Our own references never close a cycle (a solver keeps
// its network, a network its elements, a flexible load its parameters, and none of these keeps
// a solver or a network), so a cycle always runs through an object of the host: the attribute
// dictionary or slots of an instance of a Python subclass, a list, a class. The collector breaks
// it by clearing those, which lets our objects go in an order their references allow. Of our own
// classes only the solvers clear: nothing points into a solver's engine object, so it is deleted
// first (its destructor hands the network's nodes, its elements' records and their parameters,
// all still kept alive through `kept`, to another solver or back to their stored values) and the
// network is let go after. A network, an element or a parameter never clears: the engine network
// holds raw pointers to the elements, a flexible load to its parameters, a solver to its
// network, and a finalizer may still reach any member of a cycle after the collector cleared it.
// A cleared solver holds no engine object: its methods refuse it as they refuse an instance of a
// base class.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "function.hpp"
#include "objects.hpp"
#include "state.hpp"

namespace tarvelo::py {

enum class Pickling { element_base, solver_base, concrete };

struct ClassDef {
  const char* name;
  const char* base;  // the name of its base class in the module, or nullptr for `object`
  newfunc construct;
  destructor deallocate;
  traverseproc traverse;
  inquiry clear;  // nullptr: instances are never cleared
  Pickling pickling;
  Py_ssize_t basic_size;
  std::vector<FunctionDef> methods;

  // Set up when the module is imported.
  std::string qualified_name{};
  PyTypeObject* type = nullptr;
};

// Creates the class as a heap type of `module` deriving from `base` (nullptr: object), with its
// pickling refusal.
void create_class(PyObject* module, ClassDef& cls, PyTypeObject* base);
// Stores each method as a function object in the class's dictionary, in their order.
void add_methods(const ClassDef& cls);
// Forgets the class object (a failed import).
void forget_class(ClassDef& cls);

// ---- instances ----

Ref allocate(PyTypeObject* type);

template <class Base>
void deallocate(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  const SavedError saved;
  auto* instance = reinterpret_cast<Instance<Base>*>(self);
  // The engine object goes first: a solver still reaches the network it keeps alive.
  delete std::exchange(instance->engine, nullptr);
  Py_XDECREF(std::exchange(instance->kept, nullptr));
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

template <class Base>
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<Instance<Base>*>(self)->kept);
  return 0;
}

// Breaks a cycle through a solver: the engine solver goes first, while everything it points
// into is still kept alive.
template <class Base>
int clear(PyObject* self) noexcept {
  const SavedError saved;
  auto* instance = reinterpret_cast<Instance<Base>*>(self);
  delete std::exchange(instance->engine, nullptr);
  Py_CLEAR(instance->kept);
  return 0;
}

// The allocation step of a base class: no engine object; any arguments are ignored.
PyObject* construct_bare(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// ---- constructors and methods ----

template <Text Signature, auto Make>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr auto signature = parse_signature(Signature.view(), messages::constructor_name);
  return guarded([&] {
    Ref self = allocate(type);
    auto made = Make(bind<signature.count>(signature, args, kwargs));
    using Base = typename decltype(made.engine)::element_type;
    auto* instance = reinterpret_cast<Instance<Base>*>(self.get());
    instance->engine = made.engine.release();
    instance->kept = made.kept.release();
    return self;
  });
}

// A constructor that takes no argument and ignores whatever the class call gives.
template <auto Make>
PyObject* constructor_ignoring_arguments(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guarded([&] {
    Ref self = allocate(type);
    auto made = Make();
    using Base = typename decltype(made.engine)::element_type;
    auto* instance = reinterpret_cast<Instance<Base>*>(self.get());
    instance->engine = made.engine.release();
    instance->kept = made.kept.release();
    return self;
  });
}

template <Text Doc, auto Body>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  constexpr const Signature& signature = signature_of<Doc>;
  return guarded(
      [&] { return Body(self, bind<signature.count>(signature, args, nargs, kwnames)); });
}

// A method (or module function) in the vector call with keywords; `Doc` is its __doc__.
template <Text Doc, auto Body>
constexpr FunctionDef method() {
  return function_def<Doc, &call_method<Doc, Body>>();
}

template <class Base>
constexpr Pickling bare_pickling() {
  if constexpr (std::is_same_v<Base, Element>) return Pickling::element_base;
  if constexpr (std::is_same_v<Base, AbstractSolver>) return Pickling::solver_base;
  return Pickling::concrete;
}

template <class Base>
ClassDef define_class(const char* name, const char* base, newfunc construct,
                      std::vector<FunctionDef> methods = {}) {
  return ClassDef{.name = name,
                  .base = base,
                  .construct = construct != nullptr ? construct : &construct_bare,
                  .deallocate = &deallocate<Base>,
                  .traverse = &traverse<Base>,
                  .clear = std::is_same_v<Base, AbstractSolver> ? &clear<Base> : nullptr,
                  .pickling = construct != nullptr ? Pickling::concrete : bare_pickling<Base>(),
                  .basic_size = sizeof(Instance<Base>),
                  .methods = std::move(methods)};
}

// The handle of a class that has been created, for typed arguments; none after a failed import.
inline PyTypeObject* type_of(const ClassDef& cls) {
  if (cls.type == nullptr) refuse_after_failed_import();
  return cls.type;
}

}  // namespace tarvelo::py
