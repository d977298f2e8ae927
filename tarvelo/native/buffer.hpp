// Buffer views: one-dimensional, C-contiguous, writable arrays read and written in place.
//
// A view asks the object for a writable C-contiguous buffer with its format, then checks the
// dimensions, the item format (the grammar of the buffer protocol: byte order, then a type code,
// 'Z' marking complex pairs), the item size and the stride. `None` stands for an empty array.
// The view is released when it goes out of scope; the engine never keeps a pointer into it.
#pragma once

#include <complex>

#include "args.hpp"

namespace tarvelo::py {

enum class Item { complex_double, real_double, int32, object };

template <class T>
struct ItemOf;
template <>
struct ItemOf<std::complex<double>> {
  static constexpr Item value = Item::complex_double;
};
template <>
struct ItemOf<double> {
  static constexpr Item value = Item::real_double;
};
template <>
struct ItemOf<int> {
  static constexpr Item value = Item::int32;
};
template <>
struct ItemOf<PyObject*> {
  static constexpr Item value = Item::object;
};

class BufferView {
 public:
  // `item_name` names the expected item in a format refusal (e.g. a class for object arrays).
  BufferView(Argument argument, Item item, const char* item_name = nullptr);
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  Py_ssize_t size() const { return size_; }
  // Refuses the call (ValueError) unless the array holds at least `count` items.
  void require(Py_ssize_t count) const;
  void release();

 protected:
  void* raw() const { return data_; }

 private:
  // Owns the exporter's buffer, also while the view's own constructor is refusing it.
  struct Held {
    Py_buffer view{};
    bool held = false;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { release(); }
    void release() {
      if (held) PyBuffer_Release(&view);
      held = false;
    }
  };

  const char* name_;
  Held buffer_;
  void* data_ = nullptr;
  Py_ssize_t size_ = 0;
};

template <class T>
class Array : public BufferView {
 public:
  explicit Array(Argument argument, const char* item_name = nullptr)
      : BufferView(argument, ItemOf<T>::value, item_name) {}
  T* data() const { return static_cast<T*>(raw()); }
};

using ComplexArray = Array<std::complex<double>>;
using RealArray = Array<double>;
using IntArray = Array<int>;
using ObjectArray = Array<PyObject*>;

}  // namespace tarvelo::py
