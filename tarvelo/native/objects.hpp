// Wrapper objects: the instance layout shared by every class, and the way to the engine object.
//
// An instance is the object header, the pointer to the one engine object it owns and the
// objects it keeps alive because its engine object points into theirs (a network keeps its
// elements, a solver its network). The engine object belongs to a family, named by its base
// class: `Element`, `AbstractSolver`, or the class itself (`ElectricalNetwork`, ...).
#pragma once

#include <memory>
#include <type_traits>
#include <typeinfo>

#include "args.hpp"
#include "convert.hpp"
#include "core/element.hpp"
#include "messages.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo::py {

template <class Base>
struct Instance {
  PyObject_HEAD Base* engine;
  PyObject* kept;
};

template <class T>
using FamilyOf =
    std::conditional_t<std::is_base_of_v<Element, T>, Element,
                       std::conditional_t<std::is_base_of_v<AbstractSolver, T>, AbstractSolver, T>>;

template <class T>
FamilyOf<T>* engine_pointer(PyObject* object) {
  return reinterpret_cast<Instance<FamilyOf<T>>*>(object)->engine;
}

// The engine object `base` of `holder` as a T, refused (TypeError) when it is of another kind (a
// Python class deriving from two of ours). An object of exactly the class T, the usual case, is
// recognised by its type's one type_info object, at a fraction of the cost of a dynamic_cast.
template <class T>
T& engine_as(FamilyOf<T>& base, PyObject* holder) {
  if constexpr (std::is_same_v<T, FamilyOf<T>>) {
    return base;
  } else {
    if (&typeid(base) == &typeid(T)) return static_cast<T&>(base);
    T* derived = dynamic_cast<T*>(&base);
    if (derived == nullptr)
      raise(PyExc_TypeError, messages::wrong_engine_object, class_name(holder).get());
    return *derived;
  }
}

// The engine object of `self` as a T. Refused (TypeError) when `self` holds none (an instance
// of a base class) or one of another kind.
template <class T>
T& engine(PyObject* self) {
  FamilyOf<T>* base = engine_pointer<T>(self);
  if (base == nullptr) raise(PyExc_TypeError, messages::bare_instance, class_name(self).get());
  return engine_as<T>(*base, self);
}

// A typed argument: an instance of `cls` (or of a subclass) holding an engine object.
template <class T>
T& typed(Argument argument, PyTypeObject* cls) {
  if (!PyObject_TypeCheck(argument.object, cls)) {
    raise(PyExc_TypeError, messages::incorrect_type, argument.name, type_name(cls).get(),
          type_name(Py_TYPE(argument.object)).get());
  }
  FamilyOf<T>* base = engine_pointer<T>(argument.object);
  if (base == nullptr) raise(PyExc_TypeError, messages::bare_argument, argument.name);
  return engine_as<T>(*base, argument.object);
}

// What a constructor makes: the engine object, and what the instance must keep alive.
template <class Base>
struct Made {
  std::unique_ptr<Base> engine;
  Ref kept;

  Made(Base* made) : engine(made) {}  // NOLINT: a bare `new` converts
  Made(Base* made, Ref keep) : engine(made), kept(std::move(keep)) {}
};

}  // namespace tarvelo::py
