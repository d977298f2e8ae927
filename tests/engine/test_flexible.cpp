// Flexible loads: the "keep_q" sign rule on the tape, shared parameters declared once and the
// Newton Jacobian of the smooth laws.
#include "elements/flexible.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

const Control kConstant("constant", 0, 0, 0, 0, 1, 1);

TEST(FlexibleLaws, KeepQSignIsFrozenOnTheTapeAndCurrentOnThePlainPath) {
  FlexibleParameter parameter(kConstant, Control("q_u", 200, 210, 240, 250, 1000, 1e-4),
                              Projection("keep_q", 1000, 1e-6), 1000, -1000, 1000);
  // Tape: u independent; p, q and the three limits dynamic parameters.
  Eigen::VectorXd dynamic_values(5);
  dynamic_values << 1500, 600, 1000, -1000, 1000;
  ADVector x(1), dynamic = dynamic_values.cast<AD>(), y(2);
  x[0] = 230;
  CppAD::Independent(x, 0, true, dynamic);
  int k = 2;
  parameter.link_dynamic_variables(dynamic, dynamic_values, k);
  const ADComplex drawn = parameter.compute_power<ADComplex>(x[0], {dynamic[0], dynamic[1]});
  y << drawn.real(), drawn.imag();
  CppAD::ADFun<double> tape(x, y);
  const Eigen::VectorXd u = Eigen::VectorXd::Constant(1, 230);
  EXPECT_NEAR(tape.Forward(0, u)[0], 800, 0.1);  // sqrt(1000^2 - 600^2)

  // The requested active power turns negative: the tape keeps the recorded sign, the plain
  // evaluation follows.
  dynamic_values[0] = -1500;
  tape.new_dynamic(dynamic_values);
  EXPECT_NEAR(tape.Forward(0, u)[0], 800, 0.1);
  EXPECT_NEAR(parameter.compute_power<Complex>(230, {-1500, 600}).real(), -800, 0.1);
  // The limits are read through their links: a new s_max reaches the tape.
  dynamic_values[0] = -2500;
  dynamic_values[2] = 2000;
  tape.new_dynamic(dynamic_values);
  EXPECT_NEAR(tape.Forward(0, u)[0], std::sqrt(2000.0 * 2000 - 600 * 600), 1);
}

FlexibleParameter parameter(const Control& p, const Control& q, const char* projection,
                            double s_max, double q_min, double q_max) {
  return FlexibleParameter(p, q, Projection(projection, 20, 1e-3), s_max, q_min, q_max);
}

//   source a b c n ══ bus a b c n ─┬─ star load (a b c n)    parameters S, S, S
//   n on a PotentialRef             └─ delta load (ab bc ca)  parameters P, Q, S
// Phases at 225 V, branches at 390 V: the laws of P, Q and of S on the star work in their ramps.
// The bus starts off the solution.
struct Feeder {
  std::array<Complex, 3> voltages = checks::balanced_voltages(225.0);
  std::array<Complex, 4> start{0.9 * voltages[0], voltages[1], 1.1 * voltages[2], 0.0};
  std::array<Complex, 3> star_powers{{{8000, 3000}, {6000, 2000}, {7000, -1000}}};
  std::array<Complex, 3> delta_powers{{{-9000, 2000}, {5000, 1000}, {4000, 500}}};
  FlexibleParameter s =
      parameter(Control("p_max_u_consumption", 200, 240, 0, 0, 100, 1e-3),
                Control("q_u", 200, 215, 225, 240, 100, 1e-3), "euclidean", 10000, -4000, 4000);
  FlexibleParameter p = parameter(Control("p_max_u_production", 0, 0, 370, 400, 100, 1e-3),
                                  kConstant, "keep_q", 12000, 0, 0);
  FlexibleParameter q = parameter(kConstant, Control("q_u", 350, 370, 380, 400, 100, 1e-3),
                                  "keep_p", 6000, -3000, 3000);
  VoltageSource source{4, voltages.data()};
  PotentialRef ref;
  Bus bus{4, start.data()};
  FlexibleLoad star{4, star_powers.data(), {&s, &s, &s}};
  DeltaFlexibleLoad delta{3, delta_powers.data(), {&p, &q, &s}};
  ElectricalNetwork network{join()};

  std::vector<Element*> join() {
    bus.connect(source, checks::same_ports(4));
    bus.connect(ref, {{3, 0}});
    bus.connect(star, checks::same_ports(4));
    bus.connect(delta, checks::same_ports(3));
    return {&source, &ref, &bus, &star, &delta};
  }
};

TEST(FlexibleLoads, NewtonJacobianMatchesFiniteDifferences) {
  Feeder feeder;
  // S counts once: three distinct objects, three limits each, after the source's 3 and the
  // loads' 3 + 3 complex values.
  EXPECT_EQ(feeder.network.declare_variables().second.size(), 2u * (3 + 6) + 3u * 3);
  Newton newton(&feeder.network, false);
  for (const int iterations : {0, 30}) {  // at the start, then after the solve
    newton.solve_load_flow(iterations, 1e-10);
    const int n = newton.independents_size();
    std::vector<double> x(n), jacobian(static_cast<std::size_t>(n) * n);
    newton.get_variables(x.data());
    newton.get_jacobian(jacobian.data());
    double largest = 0;
    for (const double value : jacobian) largest = std::max(largest, std::abs(value));

    const double h = 1e-4;
    std::vector<double> plus(n), minus(n), shifted = x;
    for (int j = 0; j < n; ++j) {
      shifted[j] = x[j] + h;
      newton.set_variables(shifted.data());
      newton.get_residuals(plus.data());
      shifted[j] = x[j] - h;
      newton.set_variables(shifted.data());
      newton.get_residuals(minus.data());
      shifted[j] = x[j];
      for (int i = 0; i < n; ++i) {
        const double exact = jacobian[static_cast<std::size_t>(i) * n + j];
        EXPECT_NEAR((plus[i] - minus[i]) / (2 * h), exact, 1e-6 * std::abs(exact) + 1e-9 * largest)
            << "row " << i << " column " << j;
      }
    }
    newton.set_variables(x.data());
  }
}

}  // namespace
}  // namespace tarvelo
