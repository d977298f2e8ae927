// Scalar, string and `connections` conversions, and the names of types in messages.
#include "convert.hpp"

#include <climits>

#include "messages.hpp"
#include "state.hpp"

namespace tarvelo::py {

namespace {

int int_from_long(PyObject* number) {
  const long long value = PyLong_AsLongLong(number);
  if (value == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (value < INT_MIN || value > INT_MAX) raise(PyExc_OverflowError, messages::int_too_large);
  return static_cast<int>(value);
}

// One item of `connections` unpacked into exactly two objects.
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
  Ref values[2];
  Py_ssize_t count = 0;
  if (PyTuple_Check(item) || PyList_Check(item)) {
    count = PySequence_Size(item);  // a subclass's own __len__ may fail
    check(count >= 0);
    if (count > 2) raise(PyExc_ValueError, messages::too_many_to_unpack, Py_ssize_t{2});
    for (Py_ssize_t i = 0; i < count; ++i) values[i] = Ref::take(PySequence_GetItem(item, i));
  } else {
    const Ref iterator = Ref::take(PyObject_GetIter(item));
    for (;;) {
      Ref value = Ref::take_optional(PyIter_Next(iterator.get()));
      if (!value) {
        check(PyErr_Occurred() == nullptr);
        break;
      }
      if (count == 2) raise(PyExc_ValueError, messages::too_many_to_unpack, Py_ssize_t{2});
      values[count++] = std::move(value);
    }
  }
  if (count < 2)
    raise(PyExc_ValueError, messages::need_more_to_unpack, count, count == 1 ? "" : "s");
  return {std::move(values[0]), std::move(values[1])};
}

std::pair<int, int> to_int_pair(PyObject* item, const char* name) {
  const auto [first, second] = unpack_pair(item);
  return {to_int({first.get(), name}), to_int({second.get(), name})};
}

}  // namespace

int to_int(Argument argument) {
  PyObject* object = argument.object;
  if (PyLong_Check(object)) return int_from_long(object);
  if (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object))
    raise(PyExc_TypeError, messages::integer_required);
  // An exact int, or the error of a __int__ that returned something else (with the deprecation
  // warning for a subclass of int, taken as its value).
  return int_from_long(Ref::take(PyNumber_Long(object)).get());
}

double to_double(Argument argument) {
  const double value = PyFloat_AsDouble(argument.object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
  return value;
}

std::complex<double> to_complex(Argument argument) {
  const double real = PyComplex_RealAsDouble(argument.object);
  if (real == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
  const double imag = PyComplex_ImagAsDouble(argument.object);
  if (imag == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
  return {real, imag};
}

bool to_bool(Argument argument) {
  PyObject* object = argument.object;
  if (object == Py_True) return true;
  if (object == Py_False || object == Py_None) return false;
  const int truth = PyObject_IsTrue(object);
  check(truth >= 0);
  return truth == 1;
}

std::string to_string(Argument argument) {
  PyObject* object = argument.object;
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    check(data != nullptr);
    return {data, static_cast<std::size_t>(size)};
  }
  if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(object, &data, &size) == 0);
    return {data, static_cast<std::size_t>(size)};
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    const Py_ssize_t size = PyByteArray_Size(object);
    check(data != nullptr && size >= 0);
    return {data, static_cast<std::size_t>(size)};
  }
  const Ref name = type_name(Py_TYPE(object));
  raise(PyExc_TypeError, messages::not_a_string, argument.name, name.get());
}

std::string to_exact_str(Argument argument) {
  if (!PyUnicode_CheckExact(argument.object)) {
    const Ref expected = type_name(&PyUnicode_Type);
    const Ref got = type_name(Py_TYPE(argument.object));
    raise(PyExc_TypeError, messages::incorrect_type, argument.name, expected.get(), got.get());
  }
  const Ref bytes = Ref::take(PyUnicode_AsUTF8String(argument.object));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0);
  return {data, static_cast<std::size_t>(size)};
}

std::vector<std::pair<int, int>> to_connections(Argument argument) {
  PyObject* object = argument.object;
  std::vector<std::pair<int, int>> pairs;
  if (PyList_Check(object) || PyTuple_Check(object)) {
    // Walked by index; the length is read again each time since a conversion may change it.
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = PySequence_Size(object);
      check(size >= 0);
      if (i >= size) break;
      const Ref item = Ref::take(PySequence_GetItem(object, i));
      pairs.push_back(to_int_pair(item.get(), argument.name));
    }
    return pairs;
  }
  const Ref iterator = Ref::take(PyObject_GetIter(object));
  for (;;) {
    const Ref item = Ref::take_optional(PyIter_Next(iterator.get()));
    if (!item) {
      check(PyErr_Occurred() == nullptr);
      return pairs;
    }
    pairs.push_back(to_int_pair(item.get(), argument.name));
  }
}

Ref type_name(PyTypeObject* type) {
  auto* object = reinterpret_cast<PyObject*>(type);
  Ref qualified = Ref::take(PyType_GetQualName(type));
  const Ref module = Ref::take(PyObject_GetAttrString(object, "__module__"));
  if (PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
    const char* format = of_failed_import(type) ? messages::class_of_failed_import : "%U.%U";
    return Ref::take(PyUnicode_FromFormat(format, module.get(), qualified.get()));
  }
  return qualified;
}

Ref class_name(PyObject* object) {
  return Ref::take(PyType_GetName(Py_TYPE(object)));
}

Ref to_python(const std::vector<int>& values) {
  Ref list = Ref::take(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]).release()) ==
          0);
  }
  return list;
}

}  // namespace tarvelo::py
