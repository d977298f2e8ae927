// The taped form of every element law against its plain form, and the solver's sparse Jacobian
// (kept matrix filled in place) against CppAD's dense one, family by family.
#include "core/arithmetic.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "elements/branch.hpp"
#include "elements/flexible.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "elements/transformer.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

struct Family {
  std::string name;
  std::function<std::unique_ptr<Element>()> make;
};

const Complex kZ[16] = {{0.2, 0.08},  {0.03, 0.05}, {0.03, 0.05}, {0.03, 0.05},
                        {0.03, 0.05}, {0.2, 0.08},  {0.03, 0.05}, {0.03, 0.05},
                        {0.03, 0.05}, {0.03, 0.05}, {0.2, 0.08},  {0.03, 0.05},
                        {0.03, 0.05}, {0.03, 0.05}, {0.03, 0.05}, {0.2, 0.08}};
const Complex kY[16] = {{0.0, 1e-4},  {0.0, -2e-5}, {0.0, -2e-5}, {0.0, -2e-5},
                        {0.0, -2e-5}, {0.0, 1e-4},  {0.0, -2e-5}, {0.0, -2e-5},
                        {0.0, -2e-5}, {0.0, -2e-5}, {0.0, 1e-4},  {0.0, -2e-5},
                        {0.0, -2e-5}, {0.0, -2e-5}, {0.0, -2e-5}, {0.0, 1e-4}};
const Complex kS[3] = {{1000.0, 200.0}, {1500.0, -100.0}, {800.0, 300.0}};
const Complex kZ2(0.01, 0.02), kYm(1e-5, -1e-4);

FlexibleParameter& flexible_parameter() {
  static FlexibleParameter parameter(Control("p_max_u_production", 210, 215, 240, 250, 100, 1e-5),
                                     Control("q_u", 210, 220, 240, 250, 100, 1e-5),
                                     Projection("euclidean", 100, 1e-5), 1200, -500, 500);
  return parameter;
}

std::vector<Family> families() {
  auto& fp = flexible_parameter();
  return {
      {"Switch", [] { return std::make_unique<Switch>(4); }},
      {"ShuntLine", [] { return std::make_unique<ShuntLine>(4, kY, kZ); }},
      {"SimplifiedLine", [] { return std::make_unique<SimplifiedLine>(4, kZ); }},
      {"PowerLoad", [] { return std::make_unique<PowerLoad>(4, kS); }},
      {"DeltaPowerLoad", [] { return std::make_unique<DeltaPowerLoad>(3, kS); }},
      {"CurrentLoad", [] { return std::make_unique<CurrentLoad>(4, kS); }},
      {"DeltaCurrentLoad", [] { return std::make_unique<DeltaCurrentLoad>(3, kS); }},
      {"AdmittanceLoad", [] { return std::make_unique<AdmittanceLoad>(4, kS); }},
      {"LoadBalancer", [] { return std::make_unique<LoadBalancer>(kZ2, kYm, 1.1); }},
      {"FlexibleLoad",
       [&fp] {
         return std::make_unique<FlexibleLoad>(4, kS,
                                               std::vector<FlexibleParameter*>{&fp, &fp, &fp});
       }},
      {"DeltaFlexibleLoad",
       [&fp] {
         return std::make_unique<DeltaFlexibleLoad>(3, kS,
                                                    std::vector<FlexibleParameter*>{&fp, &fp, &fp});
       }},
      {"VoltageSource", [] { return std::make_unique<VoltageSource>(4, kS); }},
      {"DeltaVoltageSource", [] { return std::make_unique<DeltaVoltageSource>(3, kS); }},
      {"SingleTransformer",
       [] { return std::make_unique<SingleTransformer>(kZ2, kYm, Complex(0.05, 0.01)); }},
      {"CenterTransformer", [] { return std::make_unique<CenterTransformer>(kZ2, kYm, 0.05); }},
      {"ThreePhaseTransformer Dyn11",
       [] { return std::make_unique<ThreePhaseTransformer>(3, 4, "D", "y", kZ2, kYm, 0.05, 11); }},
      {"ThreePhaseTransformer Yzn5",
       [] { return std::make_unique<ThreePhaseTransformer>(4, 4, "Y", "z", kZ2, kYm, 0.05, 5); }},
      {"SingleVoltageRegulator",
       [] { return std::make_unique<SingleVoltageRegulator>(kZ2, kYm, 230.0, 0.1, 10.0, 0.2); }},
  };
}

double taped_value(const AD& x) {
  return CppAD::Value(CppAD::Var2Par(x));
}

// Every entry of CppAD's dense Jacobian at the solver's variables, against the sparse one.
void expect_jacobian_matches(AbstractNewton& solver, const std::string& name) {
  const Eigen::SparseMatrix<double> sparse = solver.compute_jacobian();
  const Eigen::VectorXd dense = solver.tape.Jacobian(solver.variables);
  const Eigen::Index n = solver.variables.size();
  ASSERT_EQ(sparse.rows(), n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      const double expected = dense[i * n + j];
      EXPECT_NEAR(sparse.coeff(i, j), expected, 1e-9 * (1.0 + std::abs(expected)))
          << name << " row " << i << " column " << j;
    }
  }
}

// Each family alone, every port on a bus of its own (no node held at zero):
//
//   bus 0 --- port 0 -+
//   bus 1 --- port 1 -+- element
//   ...               |
TEST(TapedForms, EveryLawOnTheTapeMatchesItsPlainFormAndItsJacobian) {
  const Complex operating[4] = {{231.0, 2.0}, {-116.0, -198.0}, {-114.0, 200.0}, {0.7, -0.3}};
  for (const Family& family : families()) {
    for (const bool optimize : {false, true}) {
      const std::unique_ptr<Element> element = family.make();
      std::vector<std::unique_ptr<Bus>> buses;
      std::vector<Element*> list{element.get()};
      for (std::size_t i = 0; i < element->ports.size(); ++i) {
        buses.push_back(std::make_unique<Bus>(1, &operating[i % 4]));
        buses.back()->connect(*element, {{0, static_cast<int>(i)}});
        list.push_back(buses.back().get());
      }
      ElectricalNetwork network(list);
      Newton solver(&network, optimize);
      network.eval_currents();
      for (const Port& port : element->ports) {
        const Complex taped(taped_value(port.ad_current.real()),
                            taped_value(port.ad_current.imag()));
        EXPECT_LT(std::abs(taped - port.current), 1e-9 * (1.0 + std::abs(port.current)))
            << family.name << ": " << taped << " vs " << port.current;
      }
      // The pattern's first Jacobian, then one from the kept matrix at another point.
      expect_jacobian_matches(solver, family.name);
      solver.pattern_analysed = true;
      for (Eigen::Index k = 0; k < solver.variables.size(); ++k) {
        solver.variables[k] = 1.02 * solver.variables[k] + 0.5;
      }
      expect_jacobian_matches(solver, family.name + " (kept matrix)");
    }
  }
}

// What the taped helpers record: nothing for the products that a constant decides, one
// subtraction from zero per part for a negation, and the cheapest division for each divisor.
TEST(TapedForms, HelpersRecordOnlyWhatTheirConstantsLeave) {
  ADVector x(4);
  for (Eigen::Index k = 0; k < 4; ++k) x[k] = 1.0 + static_cast<double>(k);
  ADVector p(2);
  p[0] = 2.0;
  p[1] = -1.0;
  CppAD::Independent(x, 0, true, p);
  const ADComplex a(x[0], x[1]), b(x[2], x[3]), c(p[0], p[1]);
  ADVector y(14);
  const ADComplex sums[] = {add_scaled(a, 0.0, b),
                            add_scaled(a, 1.0, b),
                            add_scaled(a, -1.0, b),
                            negated(a),
                            divide(a, c),
                            conj_divide(a, b),
                            divide(a, b)};
  for (int k = 0; k < 7; ++k) {
    y[2 * k] = sums[k].real();
    y[2 * k + 1] = sums[k].imag();
  }
  CppAD::ADFun<double> f(x, y);
  // begin, end and 4 independents; then 0 + 2 + 2 + 2 + 6 (c's reciprocal is among the
  // parameters) + 11 + 11 operators.
  EXPECT_EQ(f.size_op(), 6u + 34u);
  const std::vector<double> at{1.0, 2.0, 3.0, 4.0};
  const auto values = f.Forward(0, at);
  const Complex pa(1.0, 2.0), pb(3.0, 4.0), pc(2.0, -1.0);
  const Complex expected[] = {pa, pa + pb, pa - pb, -pa, pa / pc, std::conj(pa / pb), pa / pb};
  for (int k = 0; k < 7; ++k) {
    EXPECT_NEAR(values[2 * k], expected[k].real(), 1e-14) << k;
    EXPECT_NEAR(values[2 * k + 1], expected[k].imag(), 1e-14) << k;
  }
}

}  // namespace
}  // namespace tarvelo
