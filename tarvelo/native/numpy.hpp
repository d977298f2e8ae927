// NumPy at start-up (import, class checks, native interface check) and the result arrays.
#pragma once

#include <algorithm>
#include <utility>

#include "buffer.hpp"
#include "convert.hpp"
#include "state.hpp"

namespace tarvelo::py {

// Imports NumPy, checks its classes and its native array interface, binds it as `np`.
void import_numpy(PyObject* module);

// A new uninitialised one-dimensional array: np.empty(n, dtype=np.complex128 or np.double),
// with `np` looked up in the module's namespace at call time.
Ref new_array(Py_ssize_t n, Item item);

// A result array: np.empty(n, dtype=...) of NumPy's array class. Its buffer is opened, checked
// (one dimension, the item, at least n items) and written in one go, with no Python code in
// between; a result of several arrays creates and checks them all before the engine runs, lets
// the engine write into storage of the call and then copies into each array.
template <class T>
class ResultArray {
 public:
  explicit ResultArray(Py_ssize_t n) : array_(new_array(n, ItemOf<T>::value)), size_(n) {}

  // Lets `write` fill the n items through the array's open buffer.
  template <class Write>
  void fill(Write&& write) const {
    const BufferView view(array_.get(), ItemOf<T>::value, "result");
    view.require(size_);
    std::forward<Write>(write)(static_cast<T*>(view.data()));
  }
  // Refuses an array that the engine could not fill.
  void check() const {
    fill([](T*) {});
  }
  void copy(const Storage<T>& items) const {
    fill([&](T* out) { std::copy_n(items.data(), items.size(), out); });
  }
  // Hands the array over.
  Ref take() { return std::move(array_); }

 private:
  Ref array_;
  Py_ssize_t size_;
};

}  // namespace tarvelo::py
