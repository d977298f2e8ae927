// Raising Python exceptions from C++, and the firewall that no C++ exception crosses.
//
// Module code raises with `raise(...)`, which sets the Python exception and throws PythonError;
// the engine throws standard exceptions. Every entry point of the module runs its body inside
// `guarded(...)`, which turns whatever was thrown into the Python exception of the one table in
// `translate_exception` and returns the interpreter's failure value.
#pragma once

#include <utility>

#include "refs.hpp"

namespace tarvelo::py {

// Sets `type` with a formatted message (PyErr_Format conventions) and unwinds.
template <class... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  throw PythonError{};
}

// Unwinds when the interpreter reported a failure (a Python exception is set).
inline void check(bool ok) {
  if (!ok) throw PythonError{};
}

// Sets the Python exception for the exception being handled (call inside a catch block). A
// Python exception that is already set is kept as it is.
void translate_exception() noexcept;

// Runs an entry point's body: its result, or the failure value with a Python exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// Keeps the pending exception aside for its lifetime (deallocation must not disturb it).
class SavedError {
 public:
  SavedError() : saved_(PyErr_GetRaisedException()) {}
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { PyErr_SetRaisedException(saved_); }

 private:
  PyObject* saved_;
};

}  // namespace tarvelo::py
