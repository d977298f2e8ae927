// Parameter updates that write an element's linked records directly (no engine operation):
// the stored value and, while a solver links the element, the solver's slot.
#pragma once

#include <algorithm>
#include <vector>

#include "buffer.hpp"
#include "convert.hpp"
#include "core/linked.hpp"
#include "messages.hpp"

namespace tarvelo::py {

// The number of values an engine constructor reads for a count computed from n; a negative
// count reads nothing (the engine refuses the negative n itself).
inline Py_ssize_t values_read(long long count) {
  return static_cast<Py_ssize_t>(std::max(count, 0LL));
}

// Rewrites every record from an array, which must hold at least as many values.
inline void update_records(std::vector<LinkedComplex>& records, Argument values) {
  const ComplexArray array(values);
  array.require(static_cast<Py_ssize_t>(records.size()));
  update(records, array.data());
}

// Rewrites the one record of an element that holds at most one from a single value; an
// element holding several is refused, and one holding none is left as it is.
inline void update_single_record(std::vector<LinkedComplex>& records, Argument value,
                                 const char* function) {
  const std::complex<double> v = to_complex(value);
  if (records.size() >= 2) {
    raise(PyExc_ValueError, messages::single_value_on_several, function,
          static_cast<Py_ssize_t>(records.size()));
  }
  if (!records.empty()) update(records.front(), v);
}

}  // namespace tarvelo::py
