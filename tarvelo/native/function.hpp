// The module's function type: every method of its classes and its module function are objects of
// this type, with a name, a qualified name, a signature and the signature string as __doc__.
//
// A method binds to an instance as a Python function does (a `types.MethodType` when looked up
// through the instance, the function itself through the class), and `obj.method(...)` builds no
// bound object at all: the type is a method descriptor to the interpreter, which then calls the
// function through the vector call with the instance as its first argument. The function checks
// that the instance belongs to its class, then hands the other arguments to the body.
#pragma once

#include <cstddef>

#include "args.hpp"

namespace tarvelo::py {

// A function object. `vectorcall` is its entry from the interpreter, the one made for its body.
// It fills 64 bytes: one more field made calls returning arrays measurably slower.
struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* owner;  // a method's class, whose instances it takes as `self`; or the module
  const Signature* signature;  // also gives the function's name
  PyObject* qualname;
  PyObject* doc;
  // types.MethodType, which binding calls: held by every function, since a function can outlive
  // the module state (code run during a failed import may keep a class).
  PyObject* method_type;
};
static_assert(sizeof(Function) <= 64);

// A body in the vector call: `self` is the instance (the module, for a module function), `args`
// the `nargs` positional arguments after it (a plain count) and then the keyword values.
using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

struct FunctionDef {
  const char* doc;  // the signature string, which is also __doc__
  const Signature* signature;
  vectorcallfunc entry;
};

namespace detail {

inline Py_ssize_t positional_count(std::size_t nargsf) {
  return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// The refusals of a method called without an instance, or with one of another class.
PyObject* refuse_missing_self(const Function& function) noexcept;
PyObject* refuse_self(const Function& function, PyObject* self) noexcept;

template <FunctionBody Body>
PyObject* method_entry(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) noexcept {
  const auto& function = *reinterpret_cast<const Function*>(callable);
  const Py_ssize_t nargs = positional_count(nargsf);
  if (nargs == 0) [[unlikely]]
    return refuse_missing_self(function);
  PyObject* self = args[0];
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(function.owner))) [[unlikely]]
    return refuse_self(function, self);
  return Body(self, args + 1, nargs - 1, kwnames);
}

template <FunctionBody Body>
PyObject* module_function_entry(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) noexcept {
  const auto& function = *reinterpret_cast<const Function*>(callable);
  return Body(function.owner, args, positional_count(nargsf), kwnames);
}

}  // namespace detail

// A function (a method when its signature takes `self`) whose signature string is `Doc`.
template <Text Doc, FunctionBody Body>
constexpr FunctionDef function_def() {
  if constexpr (signature_of<Doc>.takes_self) {
    return {Doc.value, &signature_of<Doc>, &detail::method_entry<Body>};
  } else {
    return {Doc.value, &signature_of<Doc>, &detail::module_function_entry<Body>};
  }
}

// Creates the function type and records it in the module state.
void create_function_type(PyObject* module);

// Stores `def` in the dictionary of `cls` as a method: its qualified name is the class's name
// and its own, and it refuses a `self` that is not an instance of `cls`.
void add_method(PyTypeObject* cls, const FunctionDef& def);
// Binds `def` in the namespace of `module` as a module function.
void add_module_function(PyObject* module, const FunctionDef& def);

}  // namespace tarvelo::py
