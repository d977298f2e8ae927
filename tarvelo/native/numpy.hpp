// NumPy at start-up (import, class checks, native interface check) and the result arrays.
#pragma once

#include "buffer.hpp"
#include "convert.hpp"
#include "state.hpp"

namespace tarvelo::py {

// Imports NumPy, checks its classes and its native array interface, binds it as `np`.
void import_numpy(PyObject* module);

// A new uninitialised one-dimensional array: np.empty(n, dtype=np.complex128 or np.double),
// with `np` looked up in the module's namespace at call time.
Ref new_array(Py_ssize_t n, Item item);

// A result array with its buffer open for the engine to fill.
template <class T>
class ResultArray {
 public:
  explicit ResultArray(Py_ssize_t n)
      : array_(new_array(n, ItemOf<T>::value)), view_({array_.get(), "result"}) {}

  T* data() const { return view_.data(); }
  // Closes the buffer and hands the array over.
  Ref take() {
    view_.release();
    return std::move(array_);
  }

 private:
  Ref array_;
  Array<T> view_;
};

}  // namespace tarvelo::py
