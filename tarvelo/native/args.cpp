// Argument binding: arity and keyword rules.
#include "args.hpp"

#include <cstring>

#include "messages.hpp"

namespace tarvelo::py::detail {

namespace {

[[noreturn]] void raise_arity(const Signature& signature, Py_ssize_t given) {
  const auto expected = static_cast<Py_ssize_t>(signature.count);
  raise(PyExc_TypeError, messages::wrong_arity, signature.function.text, messages::exactly,
        expected, expected == 1 ? "" : "s", given);
}

// The slot of the argument called `key`, or -1. A name that UTF-8 cannot encode (a lone
// surrogate) names no argument.
Py_ssize_t slot_of(const Signature& signature, PyObject* key) {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
  if (utf8 == nullptr) {
    check(PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) != 0);
    PyErr_Clear();
    return -1;
  }
  for (std::size_t i = 0; i < signature.count; ++i) {
    const char* name = signature.arguments[i].text;
    if (std::strlen(name) == static_cast<std::size_t>(length) &&
        std::memcmp(name, utf8, static_cast<std::size_t>(length)) == 0)
      return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

void bind_keyword(const Signature& signature, PyObject** slots, PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key))
    raise(PyExc_TypeError, messages::keywords_must_be_strings, signature.function.text);
  const Py_ssize_t slot = slot_of(signature, key);
  if (slot < 0) raise(PyExc_TypeError, messages::unexpected_keyword, signature.function.text, key);
  if (slots[slot] != nullptr)
    raise(PyExc_TypeError, messages::multiple_values, signature.function.text, key);
  slots[slot] = value;
}

void require_positional_count(const Signature& signature, Py_ssize_t nargs) {
  if (nargs > static_cast<Py_ssize_t>(signature.count)) raise_arity(signature, nargs);
}

// Every argument is required: the count reported is the number of leading slots filled.
void require_all_filled(const Signature& signature, PyObject* const* slots) {
  for (std::size_t i = 0; i < signature.count; ++i) {
    if (slots[i] == nullptr) raise_arity(signature, static_cast<Py_ssize_t>(i));
  }
}

}  // namespace

void bind_vector(const Signature& signature, PyObject** slots, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  require_positional_count(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      bind_keyword(signature, slots, PyTuple_GetItem(kwnames, k), args[nargs + k]);
    }
  }
  require_all_filled(signature, slots);
}

void bind_tuple(const Signature& signature, PyObject** slots, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  require_positional_count(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      bind_keyword(signature, slots, key, value);
    }
  }
  require_all_filled(signature, slots);
}

}  // namespace tarvelo::py::detail
