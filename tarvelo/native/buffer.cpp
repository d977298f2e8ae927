// Buffer views and their format checks.
#include "buffer.hpp"

#include <cstring>
#include <string>

#include "messages.hpp"

namespace tarvelo::py {

namespace {

struct ItemSpec {
  const char* name;      // as C names it, for messages
  const char* accepted;  // type codes of the same family; the item size tells them apart
  bool complex;
  std::size_t size;
};

ItemSpec spec_of(Item item) {
  switch (item) {
    case Item::complex_double:
      return {"double complex", "efdg", true, sizeof(std::complex<double>)};
    case Item::real_double:
      return {"double", "efdg", false, sizeof(double)};
    case Item::int32:
      return {"int", "bhilqn", false, sizeof(int)};
    case Item::object:
      break;
  }
  return {"Python object", "O", false, sizeof(PyObject*)};
}

// A parsed item format: byte order, the complex marker and one type code.
struct Format {
  bool well_formed = false;
  bool big_endian = false;
  bool complex = false;
  char code = '\0';
};

Format parse_format(const char* text) {
  Format format;
  if (text == nullptr) text = "B";  // an exporter without a format offers unsigned bytes
  if (*text == '>' || *text == '!') format.big_endian = true;
  if (std::strchr("@=<>!^", *text) != nullptr && *text != '\0') ++text;
  if (*text == 'Z') {
    format.complex = true;
    ++text;
  }
  if (*text == '\0' || text[1] != '\0') return format;
  format.code = *text;
  format.well_formed = true;
  return format;
}

std::string quoted(const char* text, const char* suffix = "") {
  std::string out(1, '\'');
  out.append(text).append(suffix).push_back('\'');
  return out;
}

std::string describe(const Format& format, const char* text) {
  static constexpr struct {
    char code;
    const char* name;
  } kNames[] = {{'b', "signed char"}, {'B', "unsigned char"},
                {'h', "short"},       {'H', "unsigned short"},
                {'i', "int"},         {'I', "unsigned int"},
                {'l', "long"},        {'L', "unsigned long"},
                {'q', "long long"},   {'Q', "unsigned long long"},
                {'n', "Py_ssize_t"},  {'N', "size_t"},
                {'e', "half"},        {'f', "float"},
                {'d', "double"},      {'g', "long double"},
                {'?', "bool"},        {'c', "char"}};
  if (format.well_formed && format.code == 'O' && !format.complex) return "Python object";
  if (format.well_formed) {
    for (const auto& entry : kNames) {
      if (entry.code == format.code) return quoted(entry.name, format.complex ? " complex" : "");
    }
  }
  return quoted(text == nullptr ? "B" : text);
}

void check_format(const char* text, const ItemSpec& expected) {
  const Format format = parse_format(text);
  if (format.big_endian) raise(PyExc_ValueError, messages::big_endian);
  const bool matches = format.well_formed && format.complex == expected.complex &&
                       std::strchr(expected.accepted, format.code) != nullptr;
  if (!matches) {
    const char* quote = std::strcmp(expected.name, "Python object") == 0 ? "" : "'";
    const std::string got = describe(format, text);
    raise(PyExc_ValueError, messages::dtype_mismatch, quote, expected.name, quote, got.c_str());
  }
}

const char* plural(std::size_t count) {
  return count == 1 ? "" : "s";
}

}  // namespace

void require_items(const char* name, Py_ssize_t size, Py_ssize_t count) {
  if (size < count) {
    raise(PyExc_ValueError, messages::too_few_values, name, count,
          plural(static_cast<std::size_t>(count)), size);
  }
}

BufferView::BufferView(PyObject* object, Item item, const char* name, const char* item_name)
    : name_(name) {
  if (object == Py_None) return;
  constexpr int kFlags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE;
  check(PyObject_GetBuffer(object, &buffer_.view, kFlags) == 0);
  buffer_.held = true;
  const Py_buffer& view = buffer_.view;
  if (view.ndim != 1) raise(PyExc_ValueError, messages::wrong_dimensions, 1, view.ndim);
  ItemSpec expected = spec_of(item);
  if (item_name != nullptr) expected.name = item_name;
  check_format(view.format, expected);
  const auto item_size = static_cast<std::size_t>(view.itemsize);
  if (item_size != expected.size) {
    raise(PyExc_ValueError, messages::item_size_mismatch, item_size, plural(item_size),
          expected.name, expected.size, plural(expected.size));
  }
  size_ = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
  if (size_ >= 2 && view.strides != nullptr && view.strides[0] != view.itemsize)
    raise(PyExc_ValueError, messages::not_contiguous);
}

ObjectArray::ObjectArray(Argument argument, const char* item_name) : name_(argument.name) {
  const BufferView view(argument.object, Item::object, argument.name, item_name);
  auto* const* items = static_cast<PyObject* const*>(view.data());
  entries_.reserve(static_cast<std::size_t>(view.size()));
  for (Py_ssize_t i = 0; i < view.size(); ++i) entries_.push_back(Ref::borrow(items[i]));
}

}  // namespace tarvelo::py
