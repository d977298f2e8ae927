#include "core/linked.hpp"

#include <functional>

#include "core/messages.hpp"

namespace tarvelo {

void declare(const LinkedMatrix& r, std::vector<double>& out) {
  for (Eigen::Index row = 0; row < r.value.rows(); ++row) {
    for (Eigen::Index col = 0; col < r.value.cols(); ++col) {
      out.push_back(r.value(row, col).real());
      out.push_back(r.value(row, col).imag());
    }
  }
}

void declare(const LinkedVector& r, std::vector<double>& out) {
  for (Eigen::Index i = 0; i < r.value.size(); ++i) {
    out.push_back(r.value(i).real());
    out.push_back(r.value(i).imag());
  }
}

bool points_into(const double* slot, const Eigen::VectorXd& v) {
  const std::less<const double*> before;
  return v.size() > 0 && !before(slot, v.data()) && before(slot, v.data() + v.size());
}

namespace {

using Kind = RecordElsewhere::Kind;

// What the link passes do while one of the classes of the header lives: hand the records of a
// going solver (vectors going_x and going_p) over, or only count its slots; only look for
// records whose value lies elsewhere; keep the links they replace.
struct PassMode {
  const Eigen::VectorXd* going_x = nullptr;
  const Eigen::VectorXd* going_p = nullptr;
  bool only_counting = false;
  std::size_t found_slots = 0;
  const Eigen::VectorXd* finding_in = nullptr;
  std::vector<RecordElsewhere>* elsewhere = nullptr;
  std::vector<UndoableLinking::Replaced>* replaced = nullptr;
};
PassMode mode;

bool unlinking(const ADVector& t) {
  return t.size() == 0;
}

// True when a linked record points into v: it belongs to the solver that owns v. The address is
// compared, not the cursor, so that a layout changed by joins made after linking (a node held
// at zero later) still finds every record of that solver.
bool holds_slots(bool is_linked, const double* linked, const Eigen::VectorXd& v) {
  return is_linked && points_into(linked, v);
}

bool held_by_going_solver(bool is_linked, const double* linked) {
  return mode.going_x != nullptr && (holds_slots(is_linked, linked, *mode.going_x) ||
                                     holds_slots(is_linked, linked, *mode.going_p));
}

// Whether a link pass into v links the record: every record, unless the pass hands records
// over, which takes those of the going solver and those already in v.
bool takes(bool is_linked, const double* linked, const Eigen::VectorXd& v) {
  return mode.going_x == nullptr || held_by_going_solver(is_linked, linked) ||
         holds_slots(is_linked, linked, v);
}

// The first of the `count` slots from k, which must lie within both vectors.
double* slots(const ADVector& t, Eigen::VectorXd& v, int k, int count) {
  if (k < 0 || k + count > v.size() || k + count > t.size()) {
    throw std::out_of_range(messages::link_cursor_outside);
  }
  return v.data() + k;
}

void write_slots(double value, double* to) {
  *to = value;
}

void write_slots(const Complex& value, double* to) {
  to[0] = value.real();
  to[1] = value.imag();
}

// Row by row, as a matrix record lies in its slots.
void write_slots(const Eigen::MatrixXcd& value, double* to) {
  for (Eigen::Index row = 0; row < value.rows(); ++row) {
    for (Eigen::Index col = 0; col < value.cols(); ++col, to += 2) write_slots(value(row, col), to);
  }
}

void write_slots(const Eigen::VectorXcd& value, double* to) {
  for (Eigen::Index i = 0; i < value.size(); ++i, to += 2) write_slots(value(i), to);
}

// ---- what differs between the four kinds of record ----

constexpr Kind kind_of(const LinkedComplex&) {
  return Kind::complex;
}
constexpr Kind kind_of(const LinkedReal&) {
  return Kind::real;
}
constexpr Kind kind_of(const LinkedMatrix&) {
  return Kind::matrix;
}
constexpr Kind kind_of(const LinkedVector&) {
  return Kind::vector;
}

int slot_count(const LinkedComplex&) {
  return 2;
}
int slot_count(const LinkedReal&) {
  return 1;
}
int slot_count(const LinkedMatrix& r) {
  return static_cast<int>(2 * r.value.rows() * r.value.cols());
}
int slot_count(const LinkedVector& r) {
  return static_cast<int>(2 * r.value.size());
}

// Unlinked, the record keeps its present value as its stored value.
void forget_slots(LinkedComplex& r) {
  r = LinkedComplex(read(r));
}
void forget_slots(LinkedReal& r) {
  r = LinkedReal(r.value);
}
void forget_slots(LinkedMatrix& r) {
  r.ad.resize(0, 0);
  r.linked = nullptr;
  r.is_linked = false;
}
void forget_slots(LinkedVector& r) {
  r.ad.resize(0);
  r.linked = nullptr;
  r.is_linked = false;
}

void take_taped(LinkedComplex& r, const ADVector& t, int k) {
  r.ad = ADComplex(t[k], t[k + 1]);
}
void take_taped(LinkedReal& r, const ADVector& t, int k) {
  r.ad = t[k];
}
void take_taped(LinkedMatrix& r, const ADVector& t, int k) {
  const auto rows = r.value.rows(), cols = r.value.cols();
  r.ad.resize(rows, cols);
  for (Eigen::Index row = 0; row < rows; ++row) {
    for (Eigen::Index col = 0; col < cols; ++col) {
      const auto slot = k + 2 * (row * cols + col);
      r.ad(row, col) = ADComplex(t[slot], t[slot + 1]);
    }
  }
}
void take_taped(LinkedVector& r, const ADVector& t, int k) {
  r.ad.resize(r.value.size());
  for (Eigen::Index i = 0; i < r.value.size(); ++i) {
    r.ad(i) = ADComplex(t[k + 2 * i], t[k + 2 * i + 1]);
  }
}

// A matrix record takes a new revision at every link and unlink: work derived from it is redone.
template <class Record>
void passed(Record&) {}
template <>
void passed(LinkedMatrix& r) {
  r.revision = ++matrix_revision;
}

// ---- the pass ----

// True when the pass only counts or looks; it then counts the record's slots if the going solver
// holds them, or notes the record if its present value is not in its slot of the vector looked
// at.
template <class Record>
bool only_inspected(const Record& r, const Eigen::VectorXd& v, int k, int count) {
  if (mode.only_counting) {
    if (held_by_going_solver(r.is_linked, r.linked)) mode.found_slots += count;
    return true;
  }
  if (mode.elsewhere == nullptr) return false;
  const bool in_range = &v == mode.finding_in && k >= 0 && k + count <= v.size();
  if (in_range && !(r.is_linked && r.linked == v.data() + k)) {
    mode.elsewhere->push_back({&r, kind_of(r), k});
  }
  return true;
}

// A record that the pass links to `to`: when the pass hands records over, the slots get the
// value the record holds now, and those taken from the going solver are counted.
template <class Record>
void carry_value(const Record& r, double* to, int count) {
  if (mode.going_x == nullptr) return;
  if (held_by_going_solver(r.is_linked, r.linked)) mode.found_slots += count;
  write_slots(read(r), to);
}

// Kept before the record's link is replaced, so that nothing is lost if keeping it fails.
template <class Record>
void remember_replaced(Record& r) {
  if (mode.replaced != nullptr && r.is_linked) mode.replaced->push_back({&r, kind_of(r), r.linked});
}

template <class Record>
void link_record(Record& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  const int count = slot_count(r);
  if (!only_inspected(r, v, k, count)) {
    ++structure_revision;
    passed(r);
    if (unlinking(t)) {
      if (holds_slots(r.is_linked, r.linked, v)) forget_slots(r);
    } else if (takes(r.is_linked, r.linked, v)) {
      double* to = slots(t, v, k, count);
      carry_value(r, to, count);
      remember_replaced(r);
      r.linked = to;
      take_taped(r, t, k);
      r.is_linked = true;
    }
  }
  k += count;
}

// Calls `visit` with the record of the given kind behind `record`.
template <class Visit>
void visit_record(Kind kind, void* record, Visit&& visit) {
  switch (kind) {
    case Kind::complex:
      return visit(*static_cast<LinkedComplex*>(record));
    case Kind::real:
      return visit(*static_cast<LinkedReal*>(record));
    case Kind::matrix:
      return visit(*static_cast<LinkedMatrix*>(record));
    case Kind::vector:
      return visit(*static_cast<LinkedVector*>(record));
  }
}

}  // namespace

HandingOver::HandingOver(const Eigen::VectorXd& x, const Eigen::VectorXd& p, bool counting) {
  mode.going_x = &x;
  mode.going_p = &p;
  mode.only_counting = counting;
  mode.found_slots = 0;
}

HandingOver::~HandingOver() {
  mode.going_x = mode.going_p = nullptr;
  mode.only_counting = false;
}

std::size_t HandingOver::slots_found() const {
  return mode.found_slots;
}

FindingRecordsElsewhere::FindingRecordsElsewhere(const Eigen::VectorXd& p,
                                                 std::vector<RecordElsewhere>& out) {
  mode.finding_in = &p;
  mode.elsewhere = &out;
}

FindingRecordsElsewhere::~FindingRecordsElsewhere() {
  mode.finding_in = nullptr;
  mode.elsewhere = nullptr;
}

void take_present_values(const std::vector<RecordElsewhere>& records, Eigen::VectorXd& p) {
  for (const RecordElsewhere& r : records) {
    visit_record(r.kind, const_cast<void*>(r.record),
                 [&](const auto& record) { write_slots(read(record), p.data() + r.slot); });
  }
}

UndoableLinking::UndoableLinking() {
  mode.replaced = &replaced;
}

UndoableLinking::~UndoableLinking() {
  if (mode.replaced == &replaced) mode.replaced = nullptr;
}

void UndoableLinking::put_back(const std::function<void()>& unlink_new) noexcept {
  mode.replaced = nullptr;
  unlink_new();
  ++structure_revision;
  for (auto it = replaced.rbegin(); it != replaced.rend(); ++it) {
    visit_record(it->kind, it->record, [&](auto& record) {
      record.linked = it->linked;
      record.is_linked = true;
      passed(record);
    });
  }
  replaced.clear();
}

void let_go_of_slots(LinkedComplex& r) {
  if (mode.elsewhere != nullptr) return;
  if (mode.only_counting && !held_by_going_solver(r.is_linked, r.linked)) return;
  ++structure_revision;
  remember_replaced(r);
  r = LinkedComplex(r.value);
}

void link(LinkedComplex& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  link_record(r, t, v, k);
}

void link(LinkedReal& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  link_record(r, t, v, k);
}

void link(LinkedMatrix& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  link_record(r, t, v, k);
}

void link(LinkedVector& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  link_record(r, t, v, k);
}

Eigen::MatrixXcd read(const LinkedMatrix& r) {
  if (!r.is_linked) return r.value;
  const auto rows = r.value.rows(), cols = r.value.cols();
  Eigen::MatrixXcd m(rows, cols);
  for (Eigen::Index row = 0; row < rows; ++row) {
    for (Eigen::Index col = 0; col < cols; ++col) {
      const double* slot = r.linked + 2 * (row * cols + col);
      m(row, col) = Complex(slot[0], slot[1]);
    }
  }
  return m;
}

Eigen::VectorXcd read(const LinkedVector& r) {
  if (!r.is_linked) return r.value;
  Eigen::VectorXcd v(r.value.size());
  for (Eigen::Index i = 0; i < v.size(); ++i) v(i) = Complex(r.linked[2 * i], r.linked[2 * i + 1]);
  return v;
}

void update(LinkedMatrix& r, const Eigen::MatrixXcd& v) {
  r.value = v;
  r.revision = ++matrix_revision;
  if (r.is_linked) write_slots(v, r.linked);
}

void update(LinkedVector& r, const Eigen::VectorXcd& v) {
  r.value = v;
  if (r.is_linked) write_slots(v, r.linked);
}

}  // namespace tarvelo
