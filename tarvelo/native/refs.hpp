// Owned and borrowed Python references.
//
// `Ref` owns one reference and drops it when it goes out of scope; `Handle` borrows one and
// never touches the count. Class code holds its Python objects in these, never in bare
// pointers that it must remember to release.
#pragma once

#include <utility>

#include "python.hpp"

namespace tarvelo::py {

// A Python exception is set; the C++ stack unwinds to the entry point, which returns it.
struct PythonError {};

class Handle {
 public:
  constexpr Handle() = default;
  constexpr Handle(PyObject* object) : object_(object) {}  // NOLINT: borrowing is implicit
  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference returned by the interpreter; a null one means that a Python
  // exception is set, and is thrown on as PythonError.
  static Ref take(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return Ref(object);
  }
  // Takes over a reference that may be null without an exception (an optional result).
  static Ref take_optional(PyObject* object) { return Ref(object); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(Handle handle) {
    Py_XINCREF(handle.get());
    return Ref(handle.get());
  }

  PyObject* get() const { return object_; }
  Handle handle() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (a return value or a stealing call).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

inline Ref none() {
  return Ref::borrow(Py_None);
}

}  // namespace tarvelo::py
