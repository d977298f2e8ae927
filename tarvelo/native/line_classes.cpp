// The line classes: CySimplifiedLine (series impedance) and CyShuntLine (series impedance and
// shunt admittance, with a ground-side port). Both take their matrices as n x n complex values
// row by row; the engine copies what it keeps.
#include "classes.hpp"
#include "elements/line.hpp"
#include "records.hpp"

namespace tarvelo::py {

namespace {

using Complex = std::complex<double>;

// The number of values of an n x n matrix read for a line of n conductors; a line refused by
// the engine (n below 1) reads none.
Py_ssize_t matrix_values(long long n) {
  return n > 0 ? values_read(n * n) : 0;
}

// The conductors of a line: the ports of one side.
template <class Line>
Py_ssize_t conductors(const Line& line) {
  return static_cast<Py_ssize_t>(line.ports1.size());
}

// A single-value update hands over a 1 x 1 matrix; a line of several conductors is refused.
template <class Line>
void require_single_conductor(const Line& line, const char* function) {
  const Py_ssize_t n = conductors(line);
  if (n >= 2) raise(PyExc_ValueError, messages::single_value_on_several, function, n * n);
}

// ---- CySimplifiedLine ----

Made<Element> make_simplified_line(const Args<2>& a) {
  const int n = to_int(a[0]);
  const ComplexArray z_line(a[1]);
  z_line.require(matrix_values(n));
  return new SimplifiedLine(n, z_line.data());
}

Ref update_simplified_line(PyObject* self, const Args<1>& a) {
  SimplifiedLine& line = engine<SimplifiedLine>(self);
  const ComplexArray z_line(a[0]);
  z_line.require(matrix_values(conductors(line)));
  line.update_line_parameters(z_line.data());
  return none();
}

Ref update_single_simplified_line(PyObject* self, const Args<1>& a) {
  SimplifiedLine& line = engine<SimplifiedLine>(self);
  const Complex z_line = to_complex(a[0]);
  require_single_conductor(line, a.function());
  line.update_line_parameters(&z_line);
  return none();
}

// ---- CyShuntLine ----

Made<Element> make_shunt_line(const Args<3>& a) {
  const int n = to_int(a[0]);
  const ComplexArray y_shunt(a[1]);
  const ComplexArray z_line(a[2]);
  y_shunt.require(matrix_values(n));
  z_line.require(matrix_values(n));
  return new ShuntLine(n, y_shunt.data(), z_line.data());
}

Ref update_shunt_line(PyObject* self, const Args<2>& a) {
  ShuntLine& line = engine<ShuntLine>(self);
  const ComplexArray y_shunt(a[0]);
  const ComplexArray z_line(a[1]);
  y_shunt.require(matrix_values(conductors(line)));
  z_line.require(matrix_values(conductors(line)));
  line.update_line_parameters(y_shunt.data(), z_line.data());
  return none();
}

Ref update_single_shunt_line(PyObject* self, const Args<2>& a) {
  ShuntLine& line = engine<ShuntLine>(self);
  const Complex y_shunt = to_complex(a[0]);
  const Complex z_line = to_complex(a[1]);
  require_single_conductor(line, a.function());
  line.update_line_parameters(&y_shunt, &z_line);
  return none();
}

}  // namespace

ClassDef CySimplifiedLine = define_class<Element>(
    "CySimplifiedLine", "CyBranch",
    constructor<"CySimplifiedLine(int n, double complex[::1] z_line)", make_simplified_line>,
    {method<"CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)",
            update_simplified_line>(),
     method<"CySimplifiedLine.update_single_line_parameters(self, double complex z_line)",
            update_single_simplified_line>()});

ClassDef CyShuntLine = define_class<Element>(
    "CyShuntLine", "CyBranch",
    constructor<"CyShuntLine(int n, double complex[::1] y_shunt, double complex[::1] z_line)",
                make_shunt_line>,
    {method<"CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double "
            "complex[::1] z_line)",
            update_shunt_line>(),
     method<"CyShuntLine.update_single_line_parameters(self, double complex y_shunt, double "
            "complex z_line)",
            update_single_shunt_line>()});

}  // namespace tarvelo::py
