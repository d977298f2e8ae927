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

// The vectors of the solver whose records the link pass hands over, while a HandingOver lives;
// whether the pass only counts, and the slots of those vectors that it took or found.
const Eigen::VectorXd* handed_x = nullptr;
const Eigen::VectorXd* handed_p = nullptr;
bool only_counting = false;
std::size_t found_slots = 0;

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
  return handed_x != nullptr &&
         (holds_slots(is_linked, linked, *handed_x) || holds_slots(is_linked, linked, *handed_p));
}

// Whether a link pass into v links the record: every record, unless the pass hands records
// over, which takes those of the going solver and those already in v.
bool takes(bool is_linked, const double* linked, const Eigen::VectorXd& v) {
  return handed_x == nullptr || held_by_going_solver(is_linked, linked) ||
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

// True when the pass only counts (its cursor then means nothing); it then counts the record's
// `count` slots if the going solver holds them.
template <class Record>
bool only_counted(const Record& r, int count) {
  if (!only_counting) return false;
  if (held_by_going_solver(r.is_linked, r.linked)) found_slots += count;
  return true;
}

// A record that the pass links to `to`: when the pass hands records over, the slots get the
// value the record holds now, and those taken from the going solver are counted.
template <class Record>
void carry_value(const Record& r, double* to, int count) {
  if (handed_x == nullptr) return;
  if (held_by_going_solver(r.is_linked, r.linked)) found_slots += count;
  write_slots(read(r), to);
}

}  // namespace

HandingOver::HandingOver(const Eigen::VectorXd& x, const Eigen::VectorXd& p, bool counting) {
  handed_x = &x;
  handed_p = &p;
  only_counting = counting;
  found_slots = 0;
}

HandingOver::~HandingOver() {
  handed_x = handed_p = nullptr;
  only_counting = false;
}

std::size_t HandingOver::slots_found() const {
  return found_slots;
}

void link(LinkedComplex& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  ++structure_revision;
  if (only_counted(r, 2)) return;
  if (unlinking(t)) {
    if (holds_slots(r.is_linked, r.linked, v)) r = LinkedComplex(read(r));
  } else if (takes(r.is_linked, r.linked, v)) {
    double* to = slots(t, v, k, 2);
    carry_value(r, to, 2);
    r.linked = to;
    r.ad = ADComplex(t[k], t[k + 1]);
    r.is_linked = true;
  }
  k += 2;
}

void link(LinkedReal& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  ++structure_revision;
  if (only_counted(r, 1)) return;
  if (unlinking(t)) {
    if (holds_slots(r.is_linked, r.linked, v)) r = LinkedReal(r.value);
  } else if (takes(r.is_linked, r.linked, v)) {
    double* to = slots(t, v, k, 1);
    carry_value(r, to, 1);
    r.linked = to;
    r.ad = t[k];
    r.is_linked = true;
  }
  k += 1;
}

void link(LinkedMatrix& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  const auto rows = r.value.rows(), cols = r.value.cols();
  const int count = static_cast<int>(2 * rows * cols);
  ++structure_revision;
  if (only_counted(r, count)) return;
  r.revision = ++matrix_revision;
  if (unlinking(t)) {
    if (holds_slots(r.is_linked, r.linked, v)) {
      r.ad.resize(0, 0);
      r.linked = nullptr;
      r.is_linked = false;
    }
  } else if (takes(r.is_linked, r.linked, v)) {
    double* to = slots(t, v, k, count);
    carry_value(r, to, count);
    r.linked = to;
    r.ad.resize(rows, cols);
    for (Eigen::Index row = 0; row < rows; ++row) {
      for (Eigen::Index col = 0; col < cols; ++col) {
        const auto slot = k + 2 * (row * cols + col);
        r.ad(row, col) = ADComplex(t[slot], t[slot + 1]);
      }
    }
    r.is_linked = true;
  }
  k += count;
}

void link(LinkedVector& r, const ADVector& t, Eigen::VectorXd& v, int& k) {
  ++structure_revision;
  const auto n = r.value.size();
  const int count = static_cast<int>(2 * n);
  if (only_counted(r, count)) return;
  if (unlinking(t)) {
    if (holds_slots(r.is_linked, r.linked, v)) {
      r.ad.resize(0);
      r.linked = nullptr;
      r.is_linked = false;
    }
  } else if (takes(r.is_linked, r.linked, v)) {
    double* to = slots(t, v, k, count);
    carry_value(r, to, count);
    r.linked = to;
    r.ad.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) r.ad(i) = ADComplex(t[k + 2 * i], t[k + 2 * i + 1]);
    r.is_linked = true;
  }
  k += count;
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
