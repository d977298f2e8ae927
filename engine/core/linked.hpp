// Linked records: a changeable value held three ways at once.
//
//   value      the stored plain value (set at construction, by updates and by sweep steps)
//   ad         the value on the automatic-differentiation tape (constant 0 until linked)
//   linked     once linked, a pointer to the value's slots in a solver vector
//
// Plain readers take the linked slots when there are some, else the stored value; taped readers
// take `ad`. An update writes the stored value and, when linked, the slots. A complex entry takes
// two consecutive doubles (real part, imaginary part); matrices are laid out row by row.
//
// Linking with an empty taped vector is the unlink, used when the solver that owns the slots goes
// away: a record that still points into the vector the pass is given keeps the value it holds
// there as its stored value (a changeable parameter holds the same value in both, since every
// write of one writes both) and forgets its slots; a record linked elsewhere since (a later
// solver, another network over the same elements) is left alone.
//
// A link pass is also the one walk over every record of a network in its layout: while one of
// the classes below lives, the pass hands records over, only counts, only looks, or keeps what it
// replaces so that it can be put back.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include <Eigen/Dense>
#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>

namespace tarvelo {

using Complex = std::complex<double>;
using AD = CppAD::AD<double>;
using ADComplex = std::complex<AD>;
using ADVector = Eigen::Matrix<AD, -1, 1>;
using ADComplexMatrix = Eigen::Matrix<ADComplex, -1, -1>;
using ADComplexVector = Eigen::Matrix<ADComplex, -1, 1>;

// Two counts global to the process, which is safe since the engine runs on one thread:
// - structure_revision moves at every change that can leave a kept pointer into a node, a port
//   or a record's slots stale: every link and unlink of a record, every join of nodes and every
//   port leaving its node (so every element deletion). Work that keeps such pointers between
//   solves (the sweep's compact form) is valid while the count is the one it was made at.
// - matrix_revision moves at every update, link and unlink of a matrix record, which then takes
//   the new count as its own revision: work derived from matrices (a line's kept impedance, the
//   compact sweep's copies of it) is up to date while the count has not moved.
inline std::uint64_t structure_revision = 0;
inline std::uint64_t matrix_revision = 0;

struct LinkedComplex {
  double* linked = nullptr;
  ADComplex ad{AD(0.0), AD(0.0)};
  Complex value;
  bool is_linked = false;

  LinkedComplex(const Complex& v = Complex(0.0, 0.0)) : value(v) {}
};

struct LinkedReal {
  double* linked = nullptr;
  AD ad{0.0};
  double value = 0.0;
  bool is_linked = false;

  LinkedReal(double v = 0.0) : value(v) {}
};

struct LinkedMatrix {
  double* linked = nullptr;
  ADComplexMatrix ad;
  Eigen::MatrixXcd value;
  bool is_linked = false;
  // Changes at every update and every link or unlink (to the count `matrix_revision` reached):
  // an element that keeps work derived from the matrix (a factorisation) redoes it when the
  // revision it was made from is no longer the record's.
  std::uint64_t revision = 0;

  LinkedMatrix() = default;
  explicit LinkedMatrix(Eigen::MatrixXcd v) : value(std::move(v)) {}
};

struct LinkedVector {
  double* linked = nullptr;
  ADComplexVector ad;
  Eigen::VectorXcd value;
  bool is_linked = false;

  LinkedVector() = default;
  explicit LinkedVector(Eigen::VectorXcd v) : value(std::move(v)) {}
};

// ---- declaring: append the stored value to a vector of starting values ----

inline void declare(const LinkedComplex& r, std::vector<double>& out) {
  out.push_back(r.value.real());
  out.push_back(r.value.imag());
}
inline void declare(const LinkedReal& r, std::vector<double>& out) {
  out.push_back(r.value);
}
void declare(const LinkedMatrix& r, std::vector<double>& out);
void declare(const LinkedVector& r, std::vector<double>& out);

template <class Record>
void declare(const std::vector<Record>& records, std::vector<double>& out) {
  for (const auto& r : records) declare(r, out);
}

// ---- linking: take taped values from t and slots from v at cursor k, advance k ----
// (an empty t unlinks instead, see above)

void link(LinkedComplex& r, const ADVector& t, Eigen::VectorXd& v, int& k);
void link(LinkedReal& r, const ADVector& t, Eigen::VectorXd& v, int& k);
void link(LinkedMatrix& r, const ADVector& t, Eigen::VectorXd& v, int& k);
void link(LinkedVector& r, const ADVector& t, Eigen::VectorXd& v, int& k);

template <class Record>
void link(std::vector<Record>& records, const ADVector& t, Eigen::VectorXd& v, int& k) {
  for (auto& r : records) link(r, t, v, k);
}

// While an object of this class lives, a link pass hands records over from a solver that goes,
// whose vectors are `x` and `p`: it links only the records that point into them (and those
// already in the vector it links to, so that a record listed twice ends on its last slot, as
// after a fresh link), and first writes into the slots it gives each one the value the record
// holds now: the solver that takes them over starts from the latest values.
// Made `only_counting`, the pass links nothing (whatever vectors it is given) and counts the
// slots of x and p that the records it passes hold (a record passed twice counts twice); a node
// held at zero that still points into them lets go of its slot, which no solver takes.
class HandingOver {
 public:
  HandingOver(const Eigen::VectorXd& x, const Eigen::VectorXd& p, bool only_counting = false);
  HandingOver(const HandingOver&) = delete;
  HandingOver& operator=(const HandingOver&) = delete;
  ~HandingOver();

  // The slots of x and p that the passes made so far took over (or, counting, found).
  std::size_t slots_found() const;
};

// A record of a solver's layout whose present value is not in that solver's slot for it (a newer
// solver holds the record, or nothing does and it reads its stored value), with that slot.
struct RecordElsewhere {
  enum class Kind : std::uint8_t { complex, real, matrix, vector };
  const void* record;
  Kind kind;
  int slot;
};

// While an object of this class lives, a link pass only looks: each record it passes with the
// vector `p` (the other vector of the pass is not looked at) whose present value is not in the
// slot at the cursor is added to `out`.
class FindingRecordsElsewhere {
 public:
  FindingRecordsElsewhere(const Eigen::VectorXd& p, std::vector<RecordElsewhere>& out);
  FindingRecordsElsewhere(const FindingRecordsElsewhere&) = delete;
  FindingRecordsElsewhere& operator=(const FindingRecordsElsewhere&) = delete;
  ~FindingRecordsElsewhere();
};

// Writes the present value of each record into its slot of p.
void take_present_values(const std::vector<RecordElsewhere>& records, Eigen::VectorXd& p);

// While an object of this class lives, a link pass keeps every link it replaces (a record that
// pointed into another solver's vector), so that `put_back` can undo the passes.
class UndoableLinking {
 public:
  UndoableLinking();
  UndoableLinking(const UndoableLinking&) = delete;
  UndoableLinking& operator=(const UndoableLinking&) = delete;
  ~UndoableLinking();

  // Stops keeping links and runs `unlink_new`, which must unlink every record that points into
  // the new vectors (and must not throw); then points every record whose link a pass replaced
  // back at the slots it had, the last replaced first. Every record is then as before the passes.
  void put_back(const std::function<void()>& unlink_new) noexcept;

  // A record whose link a pass replaced, and the slots it pointed into.
  struct Replaced {
    void* record;
    RecordElsewhere::Kind kind;
    double* linked;
  };

 private:
  std::vector<Replaced> replaced;
};

// A node held at zero has no slot: the link pass has its potential forget any slot it still
// points into (one taken before a join held the node at zero), keeping its stored value.
void let_go_of_slots(LinkedComplex& r);

// Whether `slot` lies within the vector v.
bool points_into(const double* slot, const Eigen::VectorXd& v);

// ---- reading ----

inline Complex read(const LinkedComplex& r) {
  return r.is_linked ? Complex(r.linked[0], r.linked[1]) : r.value;
}
inline double read(const LinkedReal& r) {
  return r.is_linked ? r.linked[0] : r.value;
}
Eigen::MatrixXcd read(const LinkedMatrix& r);
Eigen::VectorXcd read(const LinkedVector& r);
// One entry of a matrix record by the same rule, without building the matrix.
inline Complex read(const LinkedMatrix& r, Eigen::Index row, Eigen::Index col) {
  if (!r.is_linked) return r.value(row, col);
  const double* slot = r.linked + 2 * (row * r.value.cols() + col);
  return Complex(slot[0], slot[1]);
}

// The record's value in the arithmetic of S: plain (Complex, double) or taped (ADComplex, AD).
template <class S>
S value_of(const LinkedComplex& r);
template <>
inline Complex value_of<Complex>(const LinkedComplex& r) {
  return read(r);
}
template <>
inline ADComplex value_of<ADComplex>(const LinkedComplex& r) {
  return r.ad;
}

template <class S>
S value_of(const LinkedReal& r);
template <>
inline double value_of<double>(const LinkedReal& r) {
  return read(r);
}
template <>
inline AD value_of<AD>(const LinkedReal& r) {
  return r.ad;
}

template <class S>
Eigen::Matrix<S, -1, -1> value_of(const LinkedMatrix& r);
template <>
inline Eigen::MatrixXcd value_of<Complex>(const LinkedMatrix& r) {
  return read(r);
}
template <>
inline ADComplexMatrix value_of<ADComplex>(const LinkedMatrix& r) {
  return r.ad;
}

template <class S>
Eigen::Matrix<S, -1, 1> value_of(const LinkedVector& r);
template <>
inline Eigen::VectorXcd value_of<Complex>(const LinkedVector& r) {
  return read(r);
}
template <>
inline ADComplexVector value_of<ADComplex>(const LinkedVector& r) {
  return r.ad;
}

// ---- updating: the stored value and, when linked, the slots ----

inline void update(LinkedComplex& r, const Complex& v) {
  r.value = v;
  if (r.is_linked) {
    r.linked[0] = v.real();
    r.linked[1] = v.imag();
  }
}
inline void update(LinkedReal& r, double v) {
  r.value = v;
  if (r.is_linked) r.linked[0] = v;
}
// The new value must have the record's shape (checked by the callers that take sizes).
void update(LinkedMatrix& r, const Eigen::MatrixXcd& v);
void update(LinkedVector& r, const Eigen::VectorXcd& v);

// Updates a record vector from values[0 .. records.size() - 1], in record order.
inline void update(std::vector<LinkedComplex>& records, const Complex* values) {
  for (std::size_t i = 0; i < records.size(); ++i) update(records[i], values[i]);
}

// Builds a record vector from `count` given values, capacity reserved first so that records
// never move once built.
inline std::vector<LinkedComplex> make_records(const Complex* values, std::size_t count) {
  std::vector<LinkedComplex> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) records.emplace_back(values[i]);
  return records;
}
inline std::vector<LinkedComplex> make_zero_records(std::size_t count) {
  std::vector<LinkedComplex> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) records.emplace_back(Complex(0.0, 0.0));
  return records;
}

}  // namespace tarvelo
