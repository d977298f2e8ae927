// What each element family puts on the Newton tape.
//
// For every family, one element alone: each of its ports on a bus of its own (no node held at
// zero, so every potential is an unknown and every Kirchhoff row is that port's current). The
// Newton solver records the tape, once plain and once optimised; the element's share is the
// tape's operator count less what any tape of that size holds (the begin and end operators and
// one operator per independent variable). Variables are counted the same way. A row that stays a
// parameter (a port that carries a constant current) adds one operator of its own; no family
// here has one.
//
//     tape_ops            prints: family, operators, variables, operators and variables optimised
#include <cstdio>
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

// Potentials of a plausible operating point: phases 230 V apart by 120 degrees, the neutral
// near 0 (never exactly, so that no law sees a zero voltage), further ports repeating.
std::vector<Complex> operating_potentials(std::size_t n) {
  const Complex phases[] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}, {0.5, 0.1}};
  std::vector<Complex> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = phases[i % 4];
  return v;
}

struct Count {
  std::size_t ops = 0, vars = 0, ops_optimized = 0, vars_optimized = 0;
};

Count count(Element& element) {
  std::vector<std::unique_ptr<Bus>> buses;
  const auto potentials = operating_potentials(element.ports.size());
  std::vector<Element*> list{&element};
  for (std::size_t i = 0; i < element.ports.size(); ++i) {
    // Nodes joined inside the element (the regulator's neutrals) keep a single bus.
    buses.push_back(std::make_unique<Bus>(1, &potentials[i]));
    buses.back()->connect(element, {{0, static_cast<int>(i)}});
    list.push_back(buses.back().get());
  }
  ElectricalNetwork network(list);
  Count c;
  {
    Newton plain(&network, false);
    const std::size_t n = plain.variables.size();
    c.ops = plain.tape.size_op() - 2 - n;
    c.vars = plain.tape.size_var() - 1 - n;
  }
  {
    Newton optimized(&network, true);
    const std::size_t n = optimized.variables.size();
    c.ops_optimized = optimized.tape.size_op() - 2 - n;
    c.vars_optimized = optimized.tape.size_var() - 1 - n;
  }
  return c;
}

const Complex kZ4[16] = {{0.206, 0.08}, {0.03, 0.05},  {0.03, 0.05},  {0.03, 0.05},
                         {0.03, 0.05},  {0.206, 0.08}, {0.03, 0.05},  {0.03, 0.05},
                         {0.03, 0.05},  {0.03, 0.05},  {0.206, 0.08}, {0.03, 0.05},
                         {0.03, 0.05},  {0.03, 0.05},  {0.03, 0.05},  {0.206, 0.08}};
const Complex kY4[16] = {{0.0, 1e-4},  {0.0, -2e-5}, {0.0, -2e-5}, {0.0, -2e-5},
                         {0.0, -2e-5}, {0.0, 1e-4},  {0.0, -2e-5}, {0.0, -2e-5},
                         {0.0, -2e-5}, {0.0, -2e-5}, {0.0, 1e-4},  {0.0, -2e-5},
                         {0.0, -2e-5}, {0.0, -2e-5}, {0.0, -2e-5}, {0.0, 1e-4}};
const Complex kS3[3] = {{1000.0, 200.0}, {1500.0, 100.0}, {800.0, 300.0}};
const Complex kI3[3] = {{5.0, 1.0}, {4.0, 2.0}, {6.0, 0.5}};
const Complex kU3[3] = {{230.0, 0.0}, {-115.0, -199.2}, {-115.0, 199.2}};

void report(const std::string& family, Element& element) {
  const Count c = count(element);
  std::printf("%-34s %6zu %6zu   %6zu %6zu\n", family.c_str(), c.ops, c.vars, c.ops_optimized,
              c.vars_optimized);
}

void run() {
  std::printf("%-34s %6s %6s   %6s %6s\n", "family", "ops", "vars", "opt", "vars");
  {
    Switch e(4);
    report("Switch (4)", e);
  }
  {
    ShuntLine e(4, kY4, kZ4);
    report("ShuntLine (4)", e);
  }
  {
    SimplifiedLine e(4, kZ4);
    report("SimplifiedLine (4)", e);
  }
  {
    PowerLoad e(4, kS3);
    report("PowerLoad (star, 4)", e);
  }
  {
    DeltaPowerLoad e(3, kS3);
    report("DeltaPowerLoad (3)", e);
  }
  {
    CurrentLoad e(4, kI3);
    report("CurrentLoad (star, 4)", e);
  }
  {
    DeltaCurrentLoad e(3, kI3);
    report("DeltaCurrentLoad (3)", e);
  }
  {
    AdmittanceLoad e(4, kI3);
    report("AdmittanceLoad (star, 4)", e);
  }
  {
    DeltaAdmittanceLoad e(3, kI3);
    report("DeltaAdmittanceLoad (3)", e);
  }
  {
    LoadBalancer e(Complex(0.1, 0.2), Complex(1e-3, -1e-2), 1.2);
    report("LoadBalancer", e);
  }
  {
    const Control constant("constant", 0, 0, 0, 0, 0, 0);
    const Control p_law("p_max_u_production", 210, 215, 240, 250, 1000, 1e-5);
    const Control q_law("q_u", 210, 220, 240, 250, 1000, 1e-5);
    const Projection euclidean("euclidean", 1000, 1e-5);
    FlexibleParameter fixed(constant, constant, euclidean, 5000, -3000, 3000);
    FlexibleParameter full(p_law, q_law, euclidean, 5000, -3000, 3000);
    {
      FlexibleLoad e(4, kS3, {&fixed, &fixed, &fixed});
      report("FlexibleLoad (star, constant)", e);
    }
    {
      FlexibleLoad e(4, kS3, {&full, &full, &full});
      report("FlexibleLoad (star, P(U) Q(U) eucl.)", e);
    }
    {
      DeltaFlexibleLoad e(3, kS3, {&full, &full, &full});
      report("DeltaFlexibleLoad (P(U) Q(U) eucl.)", e);
    }
  }
  {
    VoltageSource e(4, kU3);
    report("VoltageSource (star, 4)", e);
  }
  {
    DeltaVoltageSource e(3, kU3);
    report("DeltaVoltageSource (3)", e);
  }
  {
    DeltaPotentialRef e(3);
    report("DeltaPotentialRef (3)", e);
  }
  {
    SingleTransformer e(Complex(0.01, 0.02), Complex(1e-5, -1e-4), Complex(0.05, 0.0));
    report("SingleTransformer", e);
  }
  {
    CenterTransformer e(Complex(0.01, 0.02), Complex(1e-5, -1e-4), 0.05);
    report("CenterTransformer", e);
  }
  {
    ThreePhaseTransformer e(3, 4, "D", "y", Complex(0.01, 0.02), Complex(1e-5, -1e-4), 0.05, 11);
    report("ThreePhaseTransformer (Dyn11)", e);
  }
  {
    SingleVoltageRegulator e(Complex(0.01, 0.02), Complex(1e-5, -1e-4), 230.0, 0.1, 10.0, 0.0);
    report("SingleVoltageRegulator", e);
  }
}

}  // namespace
}  // namespace tarvelo

int main() {
  tarvelo::run();
  return 0;
}
