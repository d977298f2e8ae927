// Array arguments: one-dimensional, C-contiguous, writable buffers, checked and copied.
//
// A view asks the object for a writable C-contiguous buffer with its format, then checks the
// dimensions, the item format (the grammar of the buffer protocol: byte order, then a type code,
// 'Z' marking complex pairs), the item size and the stride. `None` stands for an empty array.
//
// Python code can run at many points of a call after an array was taken: the conversion of a
// later argument (__index__, __float__, ...), the buffer of another array (a class may define
// __buffer__ in Python), NumPy's `empty` for a result. That code may resize the array and free
// the memory under an open view: NumPy's resize(..., refcheck=False) does not ask whether the
// buffer is exported. So a view stays open only while no Python code can run. An input array is
// copied into storage the call owns as soon as it is checked and its view is closed at once
// (small arrays are copied inline, so that the frequent updates of a few values allocate
// nothing); the entries of an object array are held by references of the call's own; a result
// array is opened, checked and written in one go (numpy.hpp).
#pragma once

#include <algorithm>
#include <complex>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

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

// Refuses the call (ValueError, naming the array) unless it holds at least `count` items.
void require_items(const char* name, Py_ssize_t size, Py_ssize_t count);

// An open buffer, checked; closed when the view goes out of scope. Nothing that can run Python
// code may happen between opening it and the last use of `data()`.
class BufferView {
 public:
  // `name` names the array in refusals; `item_name` the expected item in a format refusal
  // (e.g. a class for object arrays).
  BufferView(PyObject* object, Item item, const char* name, const char* item_name = nullptr);
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  Py_ssize_t size() const { return size_; }
  // The first item; null for `None`.
  void* data() const { return buffer_.held ? buffer_.view.buf : nullptr; }
  void require(Py_ssize_t count) const { require_items(name_, size_, count); }

 private:
  // Owns the exporter's buffer, also while the view's own constructor is refusing it.
  struct Held {
    Py_buffer view{};
    bool held = false;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      if (held) PyBuffer_Release(&view);
    }
  };

  const char* name_;
  Held buffer_;
  Py_ssize_t size_ = 0;
};

// Storage of the call for n trivially copyable items: inline up to 256 bytes, else on the heap.
// Its data pointer stays null until items are placed (an input given as `None`).
template <class T>
class Storage {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Storage() = default;
  // Room for n items (none below 0), left unset for the engine to write.
  explicit Storage(Py_ssize_t n) { reserve(n); }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  void assign(const T* items, Py_ssize_t n) {
    reserve(n);
    if (size_ > 0) std::memcpy(static_cast<void*>(data_), items, sizeof(T) * size_);
  }
  T* data() const { return data_; }
  Py_ssize_t size() const { return size_; }

 private:
  static constexpr std::size_t kInline = std::max<std::size_t>(256 / sizeof(T), 1);

  void reserve(Py_ssize_t n) {
    size_ = std::max<Py_ssize_t>(n, 0);
    if (static_cast<std::size_t>(size_) <= kInline) {
      data_ = reinterpret_cast<T*>(inline_);
    } else {
      heap_ = std::make_unique_for_overwrite<T[]>(static_cast<std::size_t>(size_));
      data_ = heap_.get();
    }
  }

  alignas(T) unsigned char inline_[kInline * sizeof(T)];
  std::unique_ptr<T[]> heap_;
  T* data_ = nullptr;
  Py_ssize_t size_ = 0;
};

// An input array of numbers, copied when it is taken.
template <class T>
class Array {
 public:
  explicit Array(Argument argument) : name_(argument.name) {
    const BufferView view(argument.object, ItemOf<T>::value, argument.name);
    if (view.data() != nullptr) items_.assign(static_cast<const T*>(view.data()), view.size());
  }

  Py_ssize_t size() const { return items_.size(); }
  // Refuses the call (ValueError) unless the array holds at least `count` items.
  void require(Py_ssize_t count) const { require_items(name_, size(), count); }
  // The copy; null for `None`.
  T* data() const { return items_.data(); }

 private:
  const char* name_;
  Storage<T> items_;
};

using ComplexArray = Array<std::complex<double>>;
using RealArray = Array<double>;
using IntArray = Array<int>;

// An input array of Python objects: its entries when it was taken, each held by a reference of
// the call, so that the objects outlive the call whatever becomes of the array.
class ObjectArray {
 public:
  explicit ObjectArray(Argument argument, const char* item_name = nullptr);

  Py_ssize_t size() const { return static_cast<Py_ssize_t>(entries_.size()); }
  void require(Py_ssize_t count) const { require_items(name_, size(), count); }
  // Entry i (borrowed from the array's copy; null where the array held none).
  PyObject* entry(Py_ssize_t i) const { return entries_[static_cast<std::size_t>(i)].get(); }

 private:
  const char* name_;
  std::vector<Ref> entries_;
};

}  // namespace tarvelo::py
