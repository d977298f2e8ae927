// Argument binding for the vector call with keywords (and for the class call's tuple and dict).
//
// A function is described by its signature string, the very text of its __doc__:
//     "CyElement.get_port_potential(self, int index)"
// which is parsed at compile time into the function's name ("get_port_potential") and its
// argument names ("index"). Every argument is required and may be given by position or by
// keyword; binding fills one slot per argument or raises the interpreter's usual TypeError.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string_view>

#include "errors.hpp"

namespace tarvelo::py {

inline constexpr std::size_t kMaxArguments = 16;
inline constexpr std::size_t kMaxNameLength = 48;

// A string literal usable as a template argument; its characters live as long as the program.
template <std::size_t N>
struct Text {
  char value[N];
  consteval Text(const char (&text)[N]) {  // NOLINT: implicit from a literal on purpose
    for (std::size_t i = 0; i < N; ++i) value[i] = text[i];
  }
  constexpr std::string_view view() const { return {value, N - 1}; }
};

struct Name {
  char text[kMaxNameLength] = {};
};

struct Signature {
  Name function;
  bool takes_self = false;  // a method's: its first argument is the instance
  std::array<Name, kMaxArguments> arguments{};
  std::size_t count = 0;
};

namespace detail {

consteval std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

consteval Name make_name(std::string_view s) {
  if (s.empty() || s.size() >= kMaxNameLength) throw std::logic_error("bad name in a signature");
  Name name;
  for (std::size_t i = 0; i < s.size(); ++i) name.text[i] = s[i];
  return name;
}

}  // namespace detail

// Parses "Class.method(self, kind name, ...)" or "function(kind name, ...)"; the function name
// used in messages is the one before the parenthesis unless `function` overrides it.
consteval Signature parse_signature(std::string_view text, std::string_view function = {}) {
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    throw std::logic_error("a signature needs its parenthesised argument list");
  Signature signature;
  if (function.empty()) {
    function = text.substr(0, open);
    const std::size_t dot = function.rfind('.');
    if (dot != std::string_view::npos) function.remove_prefix(dot + 1);
  }
  signature.function = detail::make_name(function);

  std::string_view rest = text.substr(open + 1, close - open - 1);
  bool first = true;
  while (!detail::trim(rest).empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = detail::trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    const bool is_self = first && item == "self";
    first = false;
    if (is_self) {
      signature.takes_self = true;
      continue;
    }
    const std::size_t space = item.rfind(' ');
    const std::string_view name = space == std::string_view::npos ? item : item.substr(space + 1);
    if (signature.count == kMaxArguments) throw std::logic_error("too many arguments");
    signature.arguments[signature.count++] = detail::make_name(name);
  }
  return signature;
}

// The parsed signature of a signature string: one per string, shared by the binding and the
// function object.
template <Text Doc>
inline constexpr Signature signature_of = parse_signature(Doc.view());

// One bound argument: the object given (borrowed from the call) and its name.
struct Argument {
  PyObject* object;
  const char* name;
};

template <std::size_t N>
class Args {
 public:
  Args(const Signature& signature, const std::array<PyObject*, N>& objects)
      : signature_(&signature), objects_(objects) {}

  // Checked: a method reading past its arguments fails instead of reading the stack.
  Argument operator[](std::size_t i) const {
    return {objects_.at(i), signature_->arguments[i].text};
  }
  const char* function() const { return signature_->function.text; }

 private:
  const Signature* signature_;
  std::array<PyObject*, N> objects_;
};

namespace detail {

// Fills `slots` (all null on entry) from a vector call's `nargs` positional arguments (a plain
// count, without PY_VECTORCALL_ARGUMENTS_OFFSET) and its keywords; raises on any arity or
// keyword fault.
void bind_vector(const Signature& signature, PyObject** slots, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames);
// The same from a class call's positional tuple and keyword dictionary (either may be null).
void bind_tuple(const Signature& signature, PyObject** slots, PyObject* args, PyObject* kwargs);

}  // namespace detail

template <std::size_t N>
Args<N> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
    // Every argument by position, the usual call: nothing to check.
    for (std::size_t i = 0; i < N; ++i) slots[i] = args[i];
  } else {
    detail::bind_vector(signature, slots.data(), args, nargs, kwnames);
  }
  return Args<N>(signature, slots);
}

template <std::size_t N>
Args<N> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  detail::bind_tuple(signature, slots.data(), args, kwargs);
  return Args<N>(signature, slots);
}

}  // namespace tarvelo::py
