// The taped form of every element law against its plain form, and the solver's sparse Jacobian
// (kept matrix filled in place) against CppAD's dense one.
#include "core/arithmetic.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "elements/flexible.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

double taped_value(const AD& x) {
  return CppAD::Value(CppAD::Var2Par(x));
}

// Every entry of CppAD's dense Jacobian at the solver's variables, against the sparse one.
void expect_jacobian_matches(AbstractNewton& solver, const std::string& name) {
  const Eigen::SparseMatrix<double> sparse = solver.compute_jacobian();
  const Eigen::VectorXd dense = solver.tape.Jacobian(solver.variables);
  const Eigen::Index n = solver.variables.size();
  ASSERT_EQ(sparse.rows(), n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j)
      EXPECT_NEAR(sparse.coeff(i, j), dense[i * n + j], 1e-9 * (1.0 + std::abs(dense[i * n + j])))
          << name << " row " << i << " column " << j;
}

// Every family side by side, each port on a bus of its own at a potential of its own (no node
// held at zero), so that the lines' ground sides sit off zero too:
//
//   bus 0 --- port 0 -+
//   bus 1 --- port 1 -+- element      and so on for every element
//   ...               |
TEST(TapedForms, EveryLawOnTheTapeMatchesItsPlainFormAndItsJacobian) {
  // The feeder's line matrices: neither is symmetric, and the rows of y sum unlike its columns.
  const checks::Feeder feeder;
  const Eigen::MatrixXcd &z = feeder.z, &y = feeder.y;
  const std::vector<Complex> zr = checks::rows(z), yr = checks::rows(y);
  const Complex s[3] = {{1000.0, 200.0}, {1500.0, -100.0}, {800.0, 300.0}};
  const Complex z2(0.01, 0.02), ym(1e-5, -1e-4);
  FlexibleParameter fp(Control("p_max_u_production", 210, 215, 240, 250, 100, 1e-5),
                       Control("q_u", 210, 220, 240, 250, 100, 1e-5),
                       Projection("euclidean", 100, 1e-5), 1200, -500, 500);
  const std::vector<FlexibleParameter*> fps{&fp, &fp, &fp};
  std::vector<std::unique_ptr<Element>> all;
  const Complex operating[4] = {{231.0, 2.0}, {-116.0, -198.0}, {-114.0, 200.0}, {0.7, -0.3}};
  std::vector<std::unique_ptr<Bus>> buses;
  std::vector<Element*> list;
  for (Element* element : std::initializer_list<Element*>{
           new ShuntLine(4, yr.data(), zr.data()), new SimplifiedLine(4, zr.data()), new Switch(4),
           new PowerLoad(4, s), new DeltaPowerLoad(3, s), new CurrentLoad(4, s),
           new DeltaCurrentLoad(3, s), new AdmittanceLoad(4, s), new LoadBalancer(z2, ym, 1.1),
           new FlexibleLoad(4, s, fps), new DeltaFlexibleLoad(3, s, fps), new VoltageSource(4, s),
           new DeltaVoltageSource(3, s), new SingleTransformer(z2, ym, Complex(0.05, 0.01)),
           new CenterTransformer(z2, ym, 0.05),
           new ThreePhaseTransformer(3, 4, "D", "y", z2, ym, 0.05, 11),
           new ThreePhaseTransformer(4, 4, "Y", "z", z2, ym, 0.05, 5),
           new SingleVoltageRegulator(z2, ym, 230.0, 0.1, 10.0, 0.2)}) {
    all.emplace_back(element);
    list.push_back(element);
    for (std::size_t i = 0; i < element->ports.size(); ++i) {
      const double b = static_cast<double>(buses.size());
      const Complex v = std::polar(1.0 + 0.01 * b, 0.03 * b) * operating[i % 4];
      buses.push_back(std::make_unique<Bus>(1, &v));
      buses.back()->connect(*element, {{0, static_cast<int>(i)}});
      list.push_back(buses.back().get());
    }
  }
  ElectricalNetwork network(list);
  Newton solver(&network, true);
  network.eval_currents();
  for (std::size_t e = 0; e < all.size(); ++e)
    for (const Port& port : all[e]->ports) {
      const Complex taped(taped_value(port.ad_current.real()), taped_value(port.ad_current.imag()));
      EXPECT_LT(std::abs(taped - port.current), 1e-9 * (1.0 + std::abs(port.current)))
          << "element " << e << ": " << taped << " vs " << port.current;
    }
  checks::expect_line_law(*all[0], z, y);
  checks::expect_line_law(*all[1], z, Eigen::MatrixXcd::Zero(4, 4));
  // Updated lines draw by their new matrices; the updates refuse missing ones.
  const Eigen::MatrixXcd z_new = 1.5 * z, y_new = 0.5 * y;
  auto& shunt = static_cast<ShuntLine&>(*all[0]);
  auto& series = static_cast<SimplifiedLine&>(*all[1]);
  shunt.update_line_parameters(checks::rows(y_new).data(), checks::rows(z_new).data());
  series.update_line_parameters(checks::rows(z_new).data());
  network.eval_currents();
  checks::expect_line_law(shunt, z_new, y_new);
  // The tape takes the updates up at the next solve: each node's row is its plain current sum.
  solver.solve_load_flow(0, 1.0);
  const Eigen::VectorXd rows = solver.forward();
  for (std::size_t k = 0; k < network.all_connections.size(); ++k) {
    const auto r = static_cast<Eigen::Index>(2 * k);
    checks::expect_near(Complex(rows[r], rows[r + 1]), network.all_connections[k]->sum_currents(),
                        1e-9);
  }
  checks::expect_line_law(series, z_new, Eigen::MatrixXcd::Zero(4, 4));
  EXPECT_THROW(shunt.update_line_parameters(yr.data(), nullptr), std::invalid_argument);
  EXPECT_THROW(series.update_line_parameters(nullptr), std::invalid_argument);
  EXPECT_THROW(SimplifiedLine(1, nullptr), std::invalid_argument);
  EXPECT_THROW(ShuntLine(1, nullptr, zr.data()), std::invalid_argument);
  // The pattern's first Jacobian, then one from the kept matrix at another point.
  expect_jacobian_matches(solver, "first");
  solver.variables.array() = 1.02 * solver.variables.array() + 0.5;
  expect_jacobian_matches(solver, "kept matrix");
}

// What the taped helpers record: nothing for the products that a constant decides, one
// subtraction from zero per part for a negation, and the cheapest division for each divisor.
TEST(TapedForms, HelpersRecordOnlyWhatTheirConstantsLeave) {
  ADVector x(4), p(2);
  x << 1.0, 2.0, 3.0, 4.0;
  p << 2.0, -1.0;
  CppAD::Independent(x, 0, true, p);
  const ADComplex a(x[0], x[1]), b(x[2], x[3]), c(p[0], p[1]);
  const ADComplex results[] = {
      add_scaled(a, 0.0, b), add_scaled(a, 1.0, b), add_scaled(a, -1.0, b), negated(a),
      divide(a, c),          conj_divide(a, c),     conj_divide(a, b),      divide(a, b)};
  ADVector y(16);
  for (int k = 0; k < 8; ++k) {
    y[2 * k] = results[k].real();
    y[2 * k + 1] = results[k].imag();
  }
  CppAD::ADFun<double> f(x, y);
  // begin, end and 4 independents; then 0 + 2 + 2 + 2 + 6 + 6 (what c decides is worked out
  // among the parameters) + 11 + 11 operators.
  EXPECT_EQ(f.size_op(), 6u + 40u);
  const auto values = f.Forward(0, std::vector<double>{1.0, 2.0, 3.0, 4.0});
  const Complex pa(1.0, 2.0), pb(3.0, 4.0), pc(2.0, -1.0);
  const Complex expected[] = {
      pa, pa + pb, pa - pb, -pa, pa / pc, std::conj(pa / pc), std::conj(pa / pb), pa / pb};
  for (int k = 0; k < 8; ++k)
    checks::expect_near(Complex(values[2 * k], values[2 * k + 1]), expected[k], 1e-14);
}

}  // namespace
}  // namespace tarvelo
