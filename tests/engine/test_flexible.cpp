#include "elements/flexible.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/electrical_network.hpp"
#include "elements/line.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

// The message of the std::runtime_error that f throws ("" when it throws none).
template <class F>
std::string runtime_error_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

const Control kConstant("constant", 0, 0, 0, 0, 1, 1);

// ---- the laws on plain values ----

TEST(FlexibleLaws, ControlLawsFollowTheirRampsToTheirLimits) {
  const double s = 10000, q = 2000, q_min = -5000, q_max = 4000;
  const Projection projection("euclidean", 1000, 1e-6);
  // Production, thresholds 240 / 250: for p = -S/2 the ramp runs from a u_max = 245 to 250.
  const FlexibleParameter production(Control("p_max_u_production", 0, 0, 240, 250, 1000, 1e-4),
                                     kConstant, projection, s, 0, 0);
  // Consumption, thresholds 200 / 210: for p = S/2 the ramp runs from 200 to b u_min = 205.
  const FlexibleParameter consumption(Control("p_max_u_consumption", 200, 210, 0, 0, 1000, 1e-4),
                                      kConstant, projection, s, 0, 0);
  // q_u: q_min below 200, q from 210 to 240, q_max above 250.
  const FlexibleParameter q_u(kConstant, Control("q_u", 200, 210, 240, 250, 1000, 1e-4), projection,
                              s, q_min, q_max);
  const auto produced = [&](double u, double p) {
    return production.compute_power<Complex>(u, {p, 0}).real();
  };
  const auto consumed = [&](double u) {
    return consumption.compute_power<Complex>(u, {5000, 0}).real();
  };
  const auto reactive = [&](double u) { return q_u.compute_power<Complex>(u, {1000, q}).imag(); };

  for (const double u : {150.0, 247.0, 400.0}) EXPECT_EQ(produced(u, 0), 0.0) << u;
  EXPECT_NEAR(produced(230, -5000), -5000, 1);
  EXPECT_NEAR(produced(247.5, -5000), -2500, 10);  // half-way up the ramp
  EXPECT_NEAR(produced(260, -5000), 0, 1);
  EXPECT_NEAR(produced(245, -s), -s / 2, 20);  // p = -S: the ramp starts at u_up

  EXPECT_NEAR(consumed(190), 0, 1);
  EXPECT_NEAR(consumed(202.5), 2500, 10);
  EXPECT_NEAR(consumed(230), 5000, 1);

  EXPECT_NEAR(reactive(190), q_min, 1);
  EXPECT_NEAR(reactive(205), (q + q_min) / 2, 10);
  EXPECT_NEAR(reactive(225), q, 1);
  EXPECT_NEAR(reactive(245), (q + q_max) / 2, 10);
  EXPECT_NEAR(reactive(260), q_max, 1);

  // Far beyond the thresholds the steep ramps stay finite and saturated.
  EXPECT_NEAR(produced(600, -5000), 0, 1e-6);
  EXPECT_NEAR(consumed(600), 5000, 1e-6);
  EXPECT_NEAR(reactive(600), q_max, 1e-6);

  // Both laws constant: the requested power exactly, even far beyond s_max.
  const FlexibleParameter fixed(kConstant, kConstant, projection, 100, 0, 0);
  EXPECT_EQ(fixed.compute_power<Complex>(230, {5000, -7000}), Complex(5000, -7000));
}

TEST(FlexibleLaws, ProjectionsBringPowerWithinTheLimit) {
  // A constant P and a q_u law in its dead band: (P, Q) = (p, q), projected with S = 1000.
  const auto project = [](const char* name, Complex requested) {
    const FlexibleParameter parameter(kConstant, Control("q_u", 200, 210, 240, 250, 1000, 1e-4),
                                      Projection(name, 1000, 1e-6), 1000, -1000, 1000);
    return parameter.compute_power<Complex>(225, requested);
  };
  checks::expect_near(project("euclidean", {300, 400}), {300, 400}, 1e-3);
  checks::expect_near(project("euclidean", {1200, -1600}), {600, -800}, 1);  // radius 2 -> 1

  // keep_q: Q kept, |P| limited to what the disc leaves, with the sign of the requested p.
  checks::expect_near(project("keep_q", {1500, 600}), {800, 600}, 0.1);
  checks::expect_near(project("keep_q", {-1500, 600}), {-800, 600}, 0.1);
  checks::expect_near(project("keep_q", {-300, 400}), {-300, 400}, 0.1);

  // keep_p: P kept exactly, |Q| limited, with the sign of Q.
  EXPECT_EQ(project("keep_p", {600, -1200}).real(), 600);
  checks::expect_near(project("keep_p", {600, -1200}), {600, -800}, 0.1);
  checks::expect_near(project("keep_p", {-300, 400}), {-300, 400}, 0.1);
}

TEST(FlexibleLaws, RefusalsCarryTheirExactTexts) {
  EXPECT_EQ(runtime_error_text([] { Control("Constant", 0, 0, 0, 0, 1, 1); }),
            "Constant is a bad control type name");
  EXPECT_EQ(runtime_error_text([] { Projection("keep_Q", 1, 1); }),
            "keep_Q is a bad projection type name");

  const Control q_u("q_u", 200, 210, 240, 250, 100, 1e-4);
  const Control production("p_max_u_production", 200, 210, 240, 250, 100, 1e-4);
  const Control consumption("p_max_u_consumption", 200, 210, 240, 250, 100, 1e-4);
  const auto text = [&](const Control& p, const Control& q) {
    const FlexibleParameter parameter(p, q, Projection("euclidean", 10, 1e-4), 1000, -100, 100);
    return runtime_error_text([&] { parameter.compute_power<Complex>(230, {100, 10}); });
  };
  EXPECT_EQ(text(q_u, kConstant), "Bad control type for P");
  EXPECT_EQ(text(kConstant, production), "Bad control type for Q");
  EXPECT_EQ(text(kConstant, consumption), "Bad control type for Q");
  EXPECT_EQ(text(q_u, production), "Bad control type for P");  // the active law comes first

  // A load refuses in its plain evaluation and while a Newton solver records its tape.
  FlexibleParameter bad_p(q_u, kConstant, Projection("euclidean", 10, 1e-3), 1000, 0, 0);
  const Complex power[1] = {{100, 10}};
  FlexibleLoad load(2, power, {&bad_p});
  EXPECT_EQ(runtime_error_text([&] { load.eval_currents(false); }), "Bad control type for P");
  ElectricalNetwork network({&load});
  EXPECT_EQ(runtime_error_text([&] { Newton newton(&network, false); }), "Bad control type for P");
}

TEST(FlexibleLaws, KeepQSignIsFrozenOnTheTapeAndCurrentOnThePlainPath) {
  FlexibleParameter parameter(kConstant, Control("q_u", 200, 210, 240, 250, 1000, 1e-4),
                              Projection("keep_q", 1000, 1e-6), 1000, -1000, 1000);
  // Tape: u independent; p, q and the three limits dynamic parameters.
  Eigen::VectorXd dynamic_values(5);
  dynamic_values << 1500, 600, 1000, -1000, 1000;
  ADVector x(1), dynamic(5), y(2);
  x[0] = 230;
  for (int i = 0; i < 5; ++i) dynamic[i] = dynamic_values[i];
  CppAD::Independent(x, 0, true, dynamic);
  int k = 2;
  parameter.link_dynamic_variables(dynamic, dynamic_values, k);
  const ADComplex drawn = parameter.compute_power<ADComplex>(x[0], {dynamic[0], dynamic[1]});
  y << drawn.real(), drawn.imag();
  CppAD::ADFun<double> tape(x, y);
  const Eigen::VectorXd u = Eigen::VectorXd::Constant(1, 230);
  EXPECT_NEAR(tape.Forward(0, u)[0], 800, 0.1);

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

// ---- flexible loads in a network ----

// Every phase of a flexible load draws what get_powers reports: dV_i conj(J_i) = S'_i.
template <class T>
void expect_drawn_powers(const AbstractFlexibleLoad<T>& load) {
  const std::size_t phases = load.powers.size();
  std::vector<Complex> powers(phases), currents(phases);
  load.get_powers(powers.data());
  load.get_inner_currents(currents.data());
  for (std::size_t i = 0; i < phases; ++i) {
    const Complex drawn = load.template voltage<Complex>(i) * std::conj(currents[i]);
    checks::expect_near(drawn, powers[i], 1e-10 * std::abs(powers[i]));
  }
}

// A four-wire line of 0.08 + 0.04j ohm per conductor, coupled, row by row.
const std::array<Complex, 16> kLineImpedance = [] {
  std::array<Complex, 16> z;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) z[4 * r + c] = r == c ? Complex(0.08, 0.04) : Complex(0.01, 0.02);
  }
  return z;
}();

//   source a,b,c,n ══[line]══ bus a,b,c,n ─┬─ star load (a, b, c, n)       parameters S, S, S
//        n ── ref                           ├─ single load (b, n)          parameter  S
//                                           └─ delta load (ab, bc, ca)     parameters D1, D2, D3
struct Feeder {
  std::array<Complex, 3> voltages = checks::balanced_voltages(230.0);
  Complex start[4] = {voltages[0], voltages[1], voltages[2], 0.0};
  Complex star_powers[3] = {{8000, 3000}, {6000, 2000}, {7000, -1000}};
  Complex single_power[1] = {{6000, 2000}};
  Complex delta_powers[3] = {{-9000, 2000}, {5000, 1000}, {4000, 500}};

  // Star phases see about 225 V, delta branches about 390 V: every law works inside its ramps.
  FlexibleParameter star_parameter{Control("p_max_u_consumption", 200, 240, 0, 0, 100, 1e-3),
                                   Control("q_u", 200, 215, 225, 240, 100, 1e-3),
                                   Projection("euclidean", 20, 1e-3),
                                   10000,
                                   -4000,
                                   4000};
  FlexibleParameter delta_production{Control("p_max_u_production", 0, 0, 370, 400, 100, 1e-3),
                                     kConstant,
                                     Projection("keep_q", 20, 1e-3),
                                     12000,
                                     0,
                                     0};
  FlexibleParameter delta_reactive{kConstant,
                                   Control("q_u", 350, 370, 380, 400, 100, 1e-3),
                                   Projection("keep_p", 20, 1e-3),
                                   6000,
                                   -3000,
                                   3000};
  FlexibleParameter delta_consumption{Control("p_max_u_consumption", 350, 400, 0, 0, 100, 1e-3),
                                      kConstant,
                                      Projection("euclidean", 20, 1e-3),
                                      5000,
                                      0,
                                      0};

  VoltageSource source{4, voltages.data()};
  PotentialRef ref;
  SimplifiedLine line{4, kLineImpedance.data()};
  Bus bus{4, start};
  FlexibleLoad star{4, star_powers, {&star_parameter, &star_parameter, &star_parameter}};
  FlexibleLoad single{2, single_power, {&star_parameter}};
  DeltaFlexibleLoad delta{
      3, delta_powers, {&delta_production, &delta_reactive, &delta_consumption}};
  std::unique_ptr<ElectricalNetwork> network;

  Feeder() {
    source.connect(ref, {{3, 0}});
    source.connect(line, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
    bus.connect(line, {{0, 4}, {1, 5}, {2, 6}, {3, 7}});
    bus.connect(star, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
    bus.connect(single, {{1, 0}, {3, 1}});
    bus.connect(delta, {{0, 0}, {1, 1}, {2, 2}});
    network = std::make_unique<ElectricalNetwork>(
        std::vector<Element*>{&source, &ref, &line, &bus, &star, &single, &delta});
  }

  void solve(AbstractSolver& solver) {
    const auto [iterations, residual] = solver.solve_load_flow(30, 1e-10);
    ASSERT_LT(residual, 1e-10);
    checks::expect_kirchhoff(*network, 1e-8);
    expect_drawn_powers(star);
    expect_drawn_powers(single);
    expect_drawn_powers(delta);
  }
  std::array<Complex, 4> bus_potentials() const {
    std::array<Complex, 4> v;
    bus.get_potentials(4, v.data());
    return v;
  }
};

TEST(FlexibleLoads, FeederSolvedByNewtonDrawsItsControlledPowers) {
  Feeder feeder;
  Newton newton(feeder.network.get(), false);
  feeder.solve(newton);

  // The laws bite: every phase draws its parameter's power at its solved voltage, visibly
  // different from the requested one.
  Complex star_drawn[3], delta_drawn[3];
  feeder.star.get_powers(star_drawn);
  feeder.delta.get_powers(delta_drawn);
  for (int i = 0; i < 3; ++i) {
    const double u = std::abs(feeder.star.voltage<Complex>(i));
    EXPECT_EQ(star_drawn[i],
              feeder.star_parameter.compute_power<Complex>(u, feeder.star_powers[i]));
    EXPECT_GT(std::abs(star_drawn[i] - feeder.star_powers[i]), 50.0) << i;
    EXPECT_GT(std::abs(delta_drawn[i] - feeder.delta_powers[i]), 50.0) << i;
  }
}

TEST(FlexibleLoads, UpdatesBetweenSolvesEqualAFreshSolver) {
  Feeder feeder;
  // The shared parameter counts once: four distinct objects, three limits each, after the
  // source's 3, the line's 16 and the loads' 3 + 1 + 3 complex values.
  EXPECT_EQ(feeder.network->flexible_parameters.size(), 4u);
  EXPECT_EQ(feeder.network->declare_variables().second.size(), 2u * (3 + 16 + 7) + 3u * 4);

  Newton newton(feeder.network.get(), true);
  feeder.solve(newton);
  Complex star_before[3], single_before[1];
  feeder.star.get_powers(star_before);
  feeder.single.get_powers(single_before);

  // One update of the shared limits reaches both loads; the delta's requested powers change
  // too, keeping their signs (the "keep_q" phase's sign is the recorded one).
  const double s_max = 4000;
  feeder.star_parameter.update_parameters(s_max, -2000, 2000);
  const Complex delta_update[3] = {{-3000, -1000}, {2000, 2500}, {6000, 0}};
  update(feeder.delta.powers, delta_update);
  feeder.solve(newton);
  Complex star_after[3], single_after[1];
  feeder.star.get_powers(star_after);
  feeder.single.get_powers(single_after);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(std::abs(star_before[i]), 1.2 * s_max);
    EXPECT_LT(std::abs(star_after[i]), 1.01 * s_max);
  }
  EXPECT_GT(std::abs(single_before[0]), 1.2 * s_max);
  EXPECT_LT(std::abs(single_after[0]), 1.01 * s_max);

  const std::array<Complex, 4> updated = feeder.bus_potentials();
  Newton fresh(feeder.network.get(), false);
  feeder.solve(fresh);
  for (int i = 0; i < 4; ++i) checks::expect_near(feeder.bus_potentials()[i], updated[i], 1e-7);
}

// The Kirchhoff rows computed from the plain port currents at the solver's present variables.
std::vector<double> plain_kirchhoff_rows(const ElectricalNetwork& network) {
  network.eval_currents();
  std::vector<double> rows;
  for (const auto& node : network.all_connections) {
    if (node->fixed_zero) continue;
    rows.push_back(node->sum_currents().real());
    rows.push_back(node->sum_currents().imag());
  }
  return rows;
}

// The tape's residuals follow the plain laws at every point (nothing is frozen at the recording
// point), and its Jacobian is their derivative.
TEST(FlexibleLoads, NewtonJacobianMatchesFiniteDifferences) {
  Feeder feeder;
  Newton newton(feeder.network.get(), false);
  for (const int iterations : {2, 30}) {  // away from the solution, then at it
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
      const std::vector<double> plain = plain_kirchhoff_rows(*feeder.network);
      for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_NEAR(plus[i], plain[i], 1e-9) << i;
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

TEST(FlexibleLoads, ConstructionEdgeCases) {
  FlexibleParameter fixed(kConstant, kConstant, Projection("euclidean", 10, 1e-3), 1000, 0, 0);
  const Complex powers[3] = {{100, 10}, {200, 20}, {300, 30}};

  // A star load with its neutral only: no phase, no record, no current, nothing to report.
  FlexibleLoad neutral_only(1, powers, {});
  std::vector<double> p;
  neutral_only.declare_dynamic_variables(p);
  EXPECT_TRUE(p.empty());
  neutral_only.eval_currents(false);
  EXPECT_EQ(neutral_only.get_port_current(0), Complex(0, 0));
  Complex untouched = {7, 7};
  neutral_only.get_powers(&untouched);
  EXPECT_EQ(untouched, Complex(7, 7));
  EXPECT_THROW(FlexibleLoad(0, powers, {}), std::length_error);

  // One parameter per phase: fewer, or a null one, is refused; extra ones are not kept.
  EXPECT_THROW(FlexibleLoad(4, powers, {&fixed, &fixed}), std::invalid_argument);
  EXPECT_THROW(DeltaFlexibleLoad(3, powers, {&fixed, nullptr, &fixed}), std::invalid_argument);
  const DeltaFlexibleLoad two_phases(2, powers, {&fixed, &fixed, &fixed});
  EXPECT_EQ(two_phases.parameters.size(), 2u);
}

}  // namespace
}  // namespace tarvelo
