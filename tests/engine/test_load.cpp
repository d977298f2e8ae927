// Loads: each law drawn at the solved voltage, in star and in delta, by every solver.
#include "elements/load.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "elements/line.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

constexpr double kSolveTolerance = 1e-10;
constexpr double kRelative = 1e-8;

void expect_close(const Complex& actual, const Complex& expected, double relative = kRelative) {
  EXPECT_LE(std::abs(actual - expected), relative * std::max(1.0, std::abs(expected)))
      << "actual " << actual << ", expected " << expected;
}

bool finite(const Complex& z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag());
}

std::vector<Complex> potentials_of(const Element& e) {
  std::vector<Complex> v(e.ports.size());
  e.get_potentials(static_cast<int>(v.size()), v.data());
  return v;
}

std::vector<Complex> currents_of(const Element& e) {
  std::vector<Complex> i(e.ports.size());
  e.get_currents(static_cast<int>(i.size()), i.data());
  return i;
}

// The check of one law: given value X, voltage dV, branch current J.
using Law = std::function<void(const Complex& given, const Complex& dv, const Complex& j)>;

const Law power_law = [](const Complex& s, const Complex& dv, const Complex& j) {
  expect_close(dv * std::conj(j), s);
};
const Law current_law = [](const Complex& i, const Complex& dv, const Complex& j) {
  EXPECT_NEAR(std::abs(j), std::abs(i), kRelative * std::max(1.0, std::abs(i)));
  // J turned back by the angle of the voltage is the given current.
  expect_close(j * std::conj(dv) / std::abs(dv), i);
};
const Law admittance_law = [](const Complex& y, const Complex& dv, const Complex& j) {
  expect_close(j, y * dv);
};

// Each phase or branch of the load draws what its law says at the present potentials; the port
// currents follow from the branch currents and sum to zero.
template <class L>
void expect_load_draws(const L& load, const Law& law) {
  const std::size_t n = load.ports.size();
  const auto v = potentials_of(load);
  const auto port = currents_of(load);
  const std::size_t count = load.records().size();
  const Complex untouched(-1.0, -1.0);
  std::vector<Complex> inner(count + 1, untouched);
  load.get_inner_currents(inner.data());
  EXPECT_EQ(inner[count], untouched);  // one value per record, no more

  Complex sum(0.0, 0.0);
  for (const Complex& i : port) sum += i;
  EXPECT_LT(std::abs(sum), 1e-9);

  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(testing::Message() << "phase " << i);
    const Complex dv = L::is_delta ? v[i] - v[(i + 1) % n] : v[i] - v[n - 1];
    law(read(load.records()[i]), dv, inner[i]);
    if (L::is_delta) {
      expect_close(port[i], inner[i] - inner[(i + n - 1) % n]);
    } else {
      EXPECT_EQ(port[i], inner[i]);
    }
  }
}

enum class Method { newton, sweep };

// A four-wire feeder: a star source held at zero on its neutral, a line with mutual impedances,
// a bus where the loads are attached.
//
//   source a ──┐              ┌── bus a ──┐
//   source b ──┤    line      ├── bus b ──┤  loads
//   source c ──┤  (4 wires)   ├── bus c ──┤
//   source n ──┘              └── bus n ──┘
//      │
//     ref (0 V)
class Feeder {
 public:
  static constexpr double kVolts = 230.0;

  Feeder()
      : source_(4, checks::balanced_voltages(kVolts).data()),
        line_(4, impedances().data()),
        bus_(4, bus_start().data()) {
    source_.connect(ref_, {{3, 0}});
    line_.connect_side(source_, kFourWires, true);
    line_.connect_side(bus_, kFourWires, false);
    elements_ = {&source_, &ref_, &line_, &bus_};
  }

  // Joins bus port i to port j of the load, for every pair, and appends the load.
  void attach(Element& load, const std::vector<std::pair<int, int>>& pairs) {
    bus_.connect(load, pairs);
    elements_.push_back(&load);
  }

  ElectricalNetwork& network() {
    if (!network_) network_ = std::make_unique<ElectricalNetwork>(elements_);
    return *network_;
  }

  const Bus& bus() const { return bus_; }

 private:
  static inline const std::vector<std::pair<int, int>> kFourWires = {
      {0, 0}, {1, 1}, {2, 2}, {3, 3}};

  static std::array<Complex, 16> impedances() {
    std::array<Complex, 16> z;
    for (std::size_t r = 0; r < 4; ++r) {
      for (std::size_t c = 0; c < 4; ++c)
        z[4 * r + c] = r == c ? Complex(0.2, 0.1) : Complex(0.05, 0.03);
    }
    return z;
  }
  static std::array<Complex, 4> bus_start() {
    const auto v = checks::balanced_voltages(kVolts);
    return {v[0], v[1], v[2], Complex(0.0, 0.0)};
  }

  VoltageSource source_;
  PotentialRef ref_;
  SimplifiedLine line_;
  Bus bus_;
  std::vector<Element*> elements_;
  std::unique_ptr<ElectricalNetwork> network_;
};

const std::vector<std::pair<int, int>> kStar = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
const std::vector<std::pair<int, int>> kDelta = {{0, 0}, {1, 1}, {2, 2}};

// Solves and keeps the solver alive: the solved potentials live in its vectors.
std::unique_ptr<AbstractSolver> solve(ElectricalNetwork& network, Method method) {
  std::unique_ptr<AbstractSolver> solver;
  if (method == Method::newton) {
    solver = std::make_unique<Newton>(&network, false);
  } else {
    solver = std::make_unique<BackwardForward>(&network);
  }
  const auto [iterations, residual] = solver->solve_load_flow(100, kSolveTolerance);
  EXPECT_LE(residual, kSolveTolerance) << "after " << iterations << " iterations";
  return solver;
}

const char* name_of(Method method) {
  return method == Method::newton ? "Newton" : "BackwardForward";
}

// One star and one delta load of the same law on the feeder, solved by each method.
template <class Star, class Delta>
void check_law_on_feeder(const std::array<Complex, 3>& star_values,
                         const std::array<Complex, 3>& delta_values, const Law& law) {
  for (const Method method : {Method::newton, Method::sweep}) {
    SCOPED_TRACE(name_of(method));
    Feeder feeder;
    Star star(4, star_values.data());
    Delta delta(3, delta_values.data());
    feeder.attach(star, kStar);
    feeder.attach(delta, kDelta);
    const auto solver = solve(feeder.network(), method);

    {
      SCOPED_TRACE("star");
      expect_load_draws(star, law);
    }
    {
      SCOPED_TRACE("delta");
      expect_load_draws(delta, law);
    }
    checks::expect_kirchhoff(feeder.network(), 1e-8);
    // The line drops the voltage: the loads see something else than the source.
    const auto v = potentials_of(feeder.bus());
    EXPECT_GT(std::abs(std::abs(v[0] - v[3]) - Feeder::kVolts), 1.0);
  }
}

TEST(Load, PowerLoadsDrawTheirPower) {
  check_law_on_feeder<PowerLoad, DeltaPowerLoad>({{{8000, 2000}, {5000, 1000}, {3000, -500}}},
                                                 {{{4000, 1000}, {0, 0}, {2500, 300}}}, power_law);
}

TEST(Load, CurrentLoadsDrawTheirCurrentAtTheVoltageAngle) {
  check_law_on_feeder<CurrentLoad, DeltaCurrentLoad>({{{30, -10}, {20, 0}, {10, 5}}},
                                                     {{{8, -2}, {0, 0}, {12, 3}}}, current_law);
}

TEST(Load, AdmittanceLoadsDrawTheirAdmittanceCurrent) {
  check_law_on_feeder<AdmittanceLoad, DeltaAdmittanceLoad>(
      {{{0.1, -0.03}, {0.05, 0}, {0.02, 0.01}}}, {{{0.02, -0.01}, {0, 0}, {0.03, 0}}},
      admittance_law);
}

// Updating records between two solves of one solver gives what a solver built after the update
// gives, and the loads draw their new values. Until then a star load reports the currents of the
// last solve, while a delta load works its branch currents out at the call.
//
//   bus a ──┬── star power load ──┬── bus n      bus a ──┬── [Y0: a → b] ──┬── bus b
//   bus b ──┤   (a, b, c to n)    │                      └── [Y1: b → a] ──┘
//   bus c ──┴── delta current load (ab, bc, ca)
TEST(Load, UpdatesReachTheNextSolve) {
  for (const Method method : {Method::newton, Method::sweep}) {
    SCOPED_TRACE(name_of(method));
    Feeder feeder;
    const std::array<Complex, 3> powers = {{{6000, 1000}, {4000, 0}, {2000, 500}}};
    const std::array<Complex, 3> currents = {{{10, -3}, {5, 0}, {7, 1}}};
    const std::array<Complex, 2> admittances = {{{0.01, 0}, {0.02, -0.01}}};
    PowerLoad power(4, powers.data());
    DeltaCurrentLoad current(3, currents.data());
    DeltaAdmittanceLoad two_port(2, admittances.data());
    feeder.attach(power, kStar);
    feeder.attach(current, kDelta);
    feeder.attach(two_port, {{0, 0}, {1, 1}});

    const auto first = solve(feeder.network(), method);
    const auto before = potentials_of(feeder.bus());
    std::array<Complex, 3> star_before, star_now, delta_now;
    power.get_inner_currents(star_before.data());

    const std::array<Complex, 3> new_powers = {{{9000, 3000}, {1000, 0}, {2000, -800}}};
    update(power.powers, new_powers.data());
    update(current.currents[1], Complex(15.0, 4.0));
    update(two_port.admittances[1], Complex(0.05, 0.02));
    power.get_inner_currents(star_now.data());
    current.get_inner_currents(delta_now.data());
    EXPECT_EQ(star_now, star_before);
    current_law(Complex(15.0, 4.0), before[1] - before[2], delta_now[1]);

    const auto [iterations, residual] = first->solve_load_flow(100, kSolveTolerance);
    EXPECT_LE(residual, kSolveTolerance) << "after " << iterations << " iterations";
    const auto after = potentials_of(feeder.bus());
    EXPECT_GT(std::abs(after[0] - before[0]), 1.0);
    expect_load_draws(power, power_law);
    expect_load_draws(current, current_law);
    expect_load_draws(two_port, admittance_law);
    checks::expect_kirchhoff(feeder.network(), 1e-8);

    const auto fresh = solve(feeder.network(), method);
    const auto again = potentials_of(feeder.bus());
    for (std::size_t k = 0; k < again.size(); ++k) expect_close(again[k], after[k], 1e-9);
  }
}

// Loads on a bus with set potentials, evaluated without a solver.
//
//   bus ports ──── load ports
class FixedPotentials {
 public:
  explicit FixedPotentials(std::vector<Complex> potentials)
      : bus_(static_cast<int>(potentials.size()), potentials.data()) {}

  template <class L>
  L& evaluate(L& load) {
    std::vector<std::pair<int, int>> pairs;
    for (int k = 0; k < static_cast<int>(load.ports.size()); ++k) pairs.emplace_back(k, k);
    bus_.connect(load, pairs);
    load.eval_currents(false);
    return load;
  }

 private:
  Bus bus_;
};

TEST(Load, ShapesAtTheEdges) {
  // A star load with the neutral only: no record, no current in either form.
  CurrentLoad neutral_only(1, nullptr);
  EXPECT_TRUE(neutral_only.currents.empty());
  FixedPotentials({Complex(230, 0)}).evaluate(neutral_only);
  EXPECT_EQ(neutral_only.ports[0].current, Complex(0.0, 0.0));
  neutral_only.eval_currents(true);
  EXPECT_EQ(CppAD::Value(neutral_only.ports[0].ad_current.real()), 0.0);

  // A star load needs its neutral port.
  EXPECT_THROW(PowerLoad(0, nullptr), std::length_error);

  // A one-port delta load sees no voltage across its only branch.
  const Complex y(0.5, 0.5);
  DeltaAdmittanceLoad ring(1, &y);
  FixedPotentials({Complex(230, 0)}).evaluate(ring);
  EXPECT_EQ(ring.ports[0].current, Complex(0.0, 0.0));
}

// The power and current laws divide by the voltage: none gives non-finite currents, in plain and
// in taped form, while an admittance draws nothing.
TEST(Load, ZeroVoltageGivesNonFiniteCurrentsForPowerAndCurrent) {
  const std::array<Complex, 3> values = {{{1000, 100}, {500, 0}, {200, 50}}};
  const std::vector<Complex> equal(4, Complex(230.0, 10.0));
  const auto expect_non_finite = [&equal](auto&& load) {
    FixedPotentials(equal).evaluate(load);
    load.eval_currents(true);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_FALSE(finite(load.ports[i].current));
      EXPECT_FALSE(std::isfinite(CppAD::Value(load.ports[i].ad_current.real())));
    }
  };
  expect_non_finite(PowerLoad(4, values.data()));
  expect_non_finite(CurrentLoad(4, values.data()));
  expect_non_finite(DeltaPowerLoad(3, values.data()));
  expect_non_finite(DeltaCurrentLoad(3, values.data()));

  AdmittanceLoad admittance(4, values.data());
  FixedPotentials(equal).evaluate(admittance);
  for (const Port& p : admittance.ports) EXPECT_EQ(p.current, Complex(0.0, 0.0));
}

// ---- load balancer ----

struct BalancerTerms {
  Complex a, b;
};

BalancerTerms balancer_terms(const Complex& z2, const Complex& ym, double k) {
  return {z2 + (1.0 + 1.0 / (k * k)) / ym, -1.0 / (ym * k)};
}

const Complex kZ2(0.01, 0.02);
const Complex kYm(0.1, -0.4);
constexpr double kRatio = 0.5;

// The balancer on a bus of set potentials (three phases and a neutral).
//
//   bus a, b, c, n ──── balancer ports 0, 1, 2, 3
TEST(LoadBalancer, SequenceImpedances) {
  const auto [a, b] = balancer_terms(kZ2, kYm, kRatio);
  const Complex offset(3.0, -2.0);  // the neutral's potential
  const auto v = checks::balanced_voltages(230.0);
  Bus bus(4, std::array<Complex, 4>{v[0] + offset, v[1] + offset, v[2] + offset, offset}.data());
  LoadBalancer balancer(kZ2, kYm, kRatio);
  bus.connect(balancer, kStar);

  // A balanced set sees a - b; the neutral carries nothing.
  balancer.eval_currents(false);
  for (std::size_t i = 0; i < 3; ++i) expect_close(balancer.ports[i].current, v[i] / (a - b));
  EXPECT_LT(std::abs(balancer.ports[3].current), 1e-9);

  // A zero-sequence set sees a + 2b; the neutral takes the three currents back.
  const Complex u(100.0, 20.0);
  bus.initialize_potentials(
      std::array<Complex, 4>{u + offset, u + offset, u + offset, offset}.data());
  balancer.eval_currents(false);
  for (std::size_t i = 0; i < 3; ++i) expect_close(balancer.ports[i].current, u / (a + 2.0 * b));
  expect_close(balancer.ports[3].current, -3.0 * u / (a + 2.0 * b));

  // Equal potentials draw nothing.
  bus.initialize_potentials(std::array<Complex, 4>{offset, offset, offset, offset}.data());
  balancer.eval_currents(false);
  for (const Port& p : balancer.ports) EXPECT_LT(std::abs(p.current), 1e-12);
}

// The balancer on the feeder of balanced voltages, solved by each method.
TEST(LoadBalancer, DrawsThroughItsPositiveSequenceImpedanceOnTheFeeder) {
  const auto [a, b] = balancer_terms(kZ2, kYm, kRatio);
  for (const Method method : {Method::newton, Method::sweep}) {
    SCOPED_TRACE(name_of(method));
    Feeder feeder;
    LoadBalancer balancer(kZ2, kYm, kRatio);
    feeder.attach(balancer, kStar);
    const auto solver = solve(feeder.network(), method);

    const auto v = potentials_of(balancer);
    const auto i = currents_of(balancer);
    std::array<Complex, 4> inner;
    inner.fill(Complex(-1.0, -1.0));
    balancer.get_inner_currents(inner.data());
    for (std::size_t k = 0; k < 3; ++k) {
      expect_close(i[k], (v[k] - v[3]) / (a - b));
      EXPECT_EQ(inner[k], i[k]);
    }
    EXPECT_EQ(inner[3], Complex(-1.0, -1.0));
    EXPECT_LT(std::abs(i[3]), 1e-8);
    checks::expect_kirchhoff(feeder.network(), 1e-8);
    EXPECT_GT(std::abs(std::abs(v[0]) - Feeder::kVolts), 1.0);
  }
}

}  // namespace
}  // namespace tarvelo
