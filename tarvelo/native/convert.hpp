// One converter per scalar argument kind, the `connections` argument, and the scalar results.
//
// kind in a signature     C++ value          accepted
// int                     int (32 bits)      int; anything but exact str/bytes via int()
// double                  double             what float() takes
// double complex          std::complex       complex; any other number as a real one
// bool                    bool               any object, by its truth value
// string                  std::string        str (as UTF-8), bytes, bytearray
// connections             vector of pairs    any iterable of pairs of int
#pragma once

#include <complex>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"

namespace tarvelo::py {

int to_int(Argument argument);
double to_double(Argument argument);
std::complex<double> to_complex(Argument argument);
bool to_bool(Argument argument);
std::string to_string(Argument argument);
// Only an object of type exactly str (else the typed-argument TypeError), taken as UTF-8.
std::string to_exact_str(Argument argument);
std::vector<std::pair<int, int>> to_connections(Argument argument);

// The printable name of a type: "tarvelo.cy_engine.CyElement"; built-in types by their bare
// name ("NoneType", "list"); a class of a failed import says so.
Ref type_name(PyTypeObject* type);
// The short name of an object's class, for messages about `self`.
Ref class_name(PyObject* object);

inline Ref to_python(int value) {
  return Ref::take(PyLong_FromLong(value));
}
inline Ref to_python(double value) {
  return Ref::take(PyFloat_FromDouble(value));
}
inline Ref to_python(std::complex<double> value) {
  return Ref::take(PyComplex_FromDoubles(value.real(), value.imag()));
}
Ref to_python(const std::vector<int>& values);
inline Ref to_python(Ref&& object) {
  return std::move(object);
}

// A new tuple of the converted values, in order.
template <class... Values>
Ref to_tuple(Values&&... values) {
  Ref items[] = {to_python(std::forward<Values>(values))...};
  Ref tuple = Ref::take(PyTuple_New(sizeof...(Values)));
  for (std::size_t i = 0; i < sizeof...(Values); ++i) {
    check(PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release()) == 0);
  }
  return tuple;
}

}  // namespace tarvelo::py
