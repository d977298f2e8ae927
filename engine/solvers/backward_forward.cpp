// The backward-forward sweep: no derivatives, no tape.
//
// One sweep is a backward pass over the elements from last to first, each setting its plain port
// currents from the present potentials and from the currents of the elements after it, then a
// forward pass from first to last, each writing the potentials it fixes and measuring the change
// it made. Sweeps repeat while the largest change exceeds the tolerance and the limit is not
// reached; at least one is always made. The host's element order is the sweep order.
//
// Compact form. When every element of the network is a bus, a ground, a potential reference, a
// star voltage source, a simplified line or a star power load, the sweep runs on a plan made
// once for the network: the port currents of the listed elements in one array in element order,
// for each port the two doubles its node reads and writes (the node's linked slot, else its
// stored value), and for each port whose step balances its node, the positions of the node's
// other ports. A sweep then reads and writes contiguous storage instead of following ports, nodes
// and their port lists, and calls no virtual step. The plan does the elements' own steps, term
// for term and in the same order, so results are those of the elements' steps:
//   - at the start of a solve, the currents of ports that a backward pass reads before it sets
//     them (ports of elements not listed, or listed no later than the reader) are taken from
//     the ports;
//   - at the end, every listed port gets its current and every linked node written by a forward
//     step gets its stored value (the slots were written all along).
// The plan keeps pointers into nodes, ports and slots: it is made again whenever the structure
// revision has moved since (a join, a port leaving its node, a link or unlink). Any other
// element in the network, or a listed element twice, leaves the sweep to the elements' steps.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <typeinfo>
#include <unordered_map>

#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {

namespace {

// The larger of two changes, NaN as soon as one is NaN (a line's own measure).
double larger_change(double largest, double change) {
  return (std::isnan(change) || change > largest) ? change : largest;
}

double larger_part(const Complex& z) {
  return std::max(std::abs(z.real()), std::abs(z.imag()));
}

// A port's node as a sweep step reads and writes it.
struct NodeRef {
  double* potential;  // the linked slot, else the stored value
  bool fixed_zero;
};

Complex read(const NodeRef& node) {
  return node.fixed_zero ? Complex(0.0, 0.0) : Complex(node.potential[0], node.potential[1]);
}

void write(const NodeRef& node, const Complex& v) {
  node.potential[0] = v.real();
  node.potential[1] = v.imag();
}

NodeRef node_ref(Connection& node) {
  LinkedComplex& p = node.potential;
  return {p.is_linked ? p.linked : reinterpret_cast<double*>(&p.value), node.fixed_zero};
}

// A complex record's plain value: its linked slot, else its stored value.
const double* record_ref(const LinkedComplex& r) {
  return r.is_linked ? r.linked : reinterpret_cast<const double*>(&r.value);
}

Complex read(const double* record) {
  return Complex(record[0], record[1]);
}

// a / b as the standard library's complex division computes it (Smith's method) when every
// number is well inside the range of doubles, so that no scaling step of the library changes
// the result; the library's division itself otherwise.
Complex divide_in_range(const Complex& x, const Complex& y) {
  constexpr double large = 1e150, small = 1e-150;
  const double a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
  const double abs_a = std::abs(a), abs_b = std::abs(b), abs_c = std::abs(c), abs_d = std::abs(d);
  const double divisor = std::max(abs_c, abs_d);
  const bool in_range = divisor <= large && divisor >= small && abs_a <= large && abs_b <= large &&
                        (a == 0.0 || abs_a >= small) && (b == 0.0 || abs_b >= small);
  if (in_range) {
    if (abs_c < abs_d) {
      const double ratio = c / d;
      if (std::abs(ratio) >= small) {
        const double denominator = (c * ratio) + d;
        return Complex(((a * ratio) + b) / denominator, ((b * ratio) - a) / denominator);
      }
    } else {
      const double ratio = d / c;
      if (ratio == 0.0 || std::abs(ratio) >= small) {
        const double denominator = (d * ratio) + c;
        return Complex(((b * ratio) + a) / denominator, (b - (a * ratio)) / denominator);
      }
    }
  }
  return x / y;
}

// The modulus of a change, as hypot computes it.
double modulus(const Complex& z) {
  return std::hypot(z.real(), z.imag());
}

// sqrt(Re^2 + Im^2): within a few units in the last place of the modulus when the parts are well
// inside the range of doubles (`estimable`), to find which changes can be the largest.
bool estimable(const Complex& z) {
  constexpr double large = 1e150, small = 1e-140;
  const double re = std::abs(z.real()), im = std::abs(z.imag());
  return re <= large && im <= large && (re == 0.0 || re >= small) && (im == 0.0 || im >= small);
}
double estimate(const Complex& z) {
  return std::sqrt(z.real() * z.real() + z.imag() * z.imag());
}

}  // namespace

struct SweepPlan {
  enum class Kind : std::uint8_t { no_current, potential_ref, voltage_source, line, power_load };

  struct Step {
    Kind kind;
    int first;   // position of the element's first port in `currents` and `nodes`
    int ports;   // its port count
    int record;  // position of its first record in `records` (sources and loads), of its
                 // impedance in `impedances` (lines)
  };

  struct LineParameters {
    SimplifiedLine* line;
    int at;                  // position of its impedance in `impedances`
    std::uint64_t revision;  // the revision of y_line the copy was made from
  };

  // The structure revision the plan was made at, and whether the network has a compact form.
  std::uint64_t revision = std::numeric_limits<std::uint64_t>::max();
  bool usable = false;
  std::vector<Step> steps;
  // Per listed port, in element and port order: its current, its node, and the positions in
  // `currents` of the other ports of its node (for the ports whose step balances their node).
  // Ports of elements not listed that lie on such nodes follow the listed ones in `currents`.
  std::vector<Complex> currents;
  std::vector<NodeRef> nodes;
  std::vector<int> balance_start;
  std::vector<int> balance;
  // The parameters, copied at the start of a solve (nothing changes them during one): the
  // sources' voltages and the loads' powers from their records, the lines' impedances (y_line^-1
  // row by row) when y_line has changed since the last copy.
  std::vector<const double*> records;
  std::vector<Complex> values;
  std::vector<LineParameters> lines;
  std::vector<Complex> impedances;
  std::uint64_t impedances_revision = std::numeric_limits<std::uint64_t>::max();
  // Ports whose currents are taken at the start of a solve, with their positions.
  std::vector<std::pair<int, const Port*>> taken;
  // What the end of a solve writes back.
  std::vector<Port*> ports;
  std::vector<Connection*> written_nodes;
  std::vector<Complex> scratch;

  // Makes the plan; false when some element has no compact step.
  bool make(const std::vector<Element*>& elements);

  Complex balancing(int port) const {
    Complex sum(0.0, 0.0);
    for (int k = balance_start[port]; k < balance_start[port + 1]; ++k) sum += currents[balance[k]];
    return -sum;
  }

  void start();
  void backward();
  double forward();
  void finish();
};

bool SweepPlan::make(const std::vector<Element*>& elements) {
  *this = SweepPlan();
  std::unordered_map<const Port*, int> position;
  std::unordered_map<const Element*, int> order;
  for (std::size_t e = 0; e < elements.size(); ++e) {
    Element* element = elements[e];
    if (!order.emplace(element, static_cast<int>(e)).second) return false;
    const std::type_info& type = typeid(*element);
    Step step{Kind::no_current, static_cast<int>(ports.size()),
              static_cast<int>(element->ports.size()), static_cast<int>(records.size())};
    if (type == typeid(Bus) || type == typeid(Ground)) {
      step.kind = Kind::no_current;
    } else if (type == typeid(PotentialRef)) {
      step.kind = Kind::potential_ref;
    } else if (type == typeid(VoltageSource)) {
      step.kind = Kind::voltage_source;
      for (const LinkedComplex& u : static_cast<VoltageSource*>(element)->voltages)
        records.push_back(record_ref(u));
    } else if (type == typeid(SimplifiedLine)) {
      step.kind = Kind::line;
      step.record = static_cast<int>(impedances.size());
      const auto n = element->ports.size() / 2;
      lines.push_back({static_cast<SimplifiedLine*>(element), step.record,
                       std::numeric_limits<std::uint64_t>::max()});
      impedances.resize(impedances.size() + n * n);
    } else if (type == typeid(PowerLoad)) {
      step.kind = Kind::power_load;
      for (const LinkedComplex& s : static_cast<PowerLoad*>(element)->powers)
        records.push_back(record_ref(s));
    } else {
      return false;
    }
    steps.push_back(step);
    for (Port& port : element->ports) {
      position.emplace(&port, static_cast<int>(ports.size()));
      ports.push_back(&port);
      nodes.push_back(node_ref(*port.connection));
    }
  }
  currents.assign(ports.size(), Complex(0.0, 0.0));

  // The balancing ports: a line's side 2, a source's ports but the last.
  std::vector<bool> balances(ports.size(), false);
  for (const Step& step : steps) {
    if (step.kind == Kind::line) {
      for (int k = step.ports / 2; k < step.ports; ++k) balances[step.first + k] = true;
    } else if (step.kind == Kind::voltage_source) {
      for (int k = 0; k + 1 < step.ports; ++k) balances[step.first + k] = true;
    }
  }
  balance_start.assign(ports.size() + 1, 0);
  for (std::size_t e = 0; e < steps.size(); ++e) {
    const Step& step = steps[e];
    for (int k = 0; k < step.ports; ++k) {
      const int at = step.first + k;
      balance_start[at] = static_cast<int>(balance.size());
      if (!balances[at]) continue;
      for (const Port* other : ports[at]->connection->ports) {
        if (other == ports[at]) continue;
        const auto found = position.find(other);
        int index;
        if (found == position.end()) {
          index = static_cast<int>(currents.size());
          currents.emplace_back(0.0, 0.0);
          taken.emplace_back(index, other);
          position.emplace(other, index);
        } else {
          index = found->second;
          // A port of an element no later in the list may be read before the pass sets it.
          if (index < static_cast<int>(ports.size()) &&
              order.at(other->element) <= static_cast<int>(e))
            taken.emplace_back(index, other);
        }
        balance.push_back(index);
      }
    }
  }
  balance_start[ports.size()] = static_cast<int>(balance.size());
  std::sort(taken.begin(), taken.end());
  taken.erase(std::unique(taken.begin(), taken.end()), taken.end());

  // The linked nodes whose stored values the forward steps move.
  std::size_t widest = 0;
  for (const Step& step : steps) {
    int from = 0, to = 0;
    if (step.kind == Kind::line) {
      from = step.ports / 2, to = step.ports;
      widest = std::max(widest, static_cast<std::size_t>(step.ports / 2));
    } else if (step.kind == Kind::voltage_source) {
      from = 0, to = step.ports - 1;
    } else if (step.kind == Kind::potential_ref) {
      from = 0, to = step.ports;
    }
    for (int k = from; k < to; ++k) {
      Connection* node = ports[step.first + k]->connection.get();
      if (node->potential.is_linked) written_nodes.push_back(node);
    }
  }
  std::sort(written_nodes.begin(), written_nodes.end());
  written_nodes.erase(std::unique(written_nodes.begin(), written_nodes.end()), written_nodes.end());
  scratch.assign(2 * widest, Complex(0.0, 0.0));
  return true;
}

void SweepPlan::start() {
  for (const auto& [index, port] : taken) currents[index] = port->current;
  values.resize(records.size());
  for (std::size_t k = 0; k < records.size(); ++k) values[k] = read(records[k]);
  // The lines are visited only when some matrix record has changed since the last visit.
  if (impedances_revision == matrix_revision) return;
  for (LineParameters& p : lines) {
    if (p.revision == p.line->y_line.revision) continue;
    const std::size_t n = p.line->ports.size() / 2;
    const Complex* z = p.line->sweep_impedance();
    std::copy(z, z + n * n, impedances.begin() + p.at);
    p.revision = p.line->y_line.revision;
  }
  impedances_revision = matrix_revision;
}

void SweepPlan::backward() {
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const Step& step = *it;
    Complex* current = currents.data() + step.first;
    const NodeRef* node = nodes.data() + step.first;
    switch (step.kind) {
      case Kind::no_current:
      case Kind::potential_ref:
        for (int k = 0; k < step.ports; ++k) current[k] = Complex(0.0, 0.0);
        break;
      case Kind::voltage_source: {
        Complex sum(0.0, 0.0);
        for (int i = 0; i + 1 < step.ports; ++i) {
          current[i] = balancing(step.first + i);
          sum += current[i];
        }
        current[step.ports - 1] = -sum;
        break;
      }
      case Kind::line: {
        const int n = step.ports / 2;
        for (int k = 0; k < n; ++k) current[n + k] = balancing(step.first + n + k);
        // I1 = -I2
        for (int k = 0; k < n; ++k) current[k] = -current[n + k];
        break;
      }
      case Kind::power_load: {
        // J = conj(S / dV), dV phase to neutral; the neutral carries -sum J.
        const Complex* power = values.data() + step.record;
        const Complex neutral_potential = read(node[step.ports - 1]);
        Complex neutral(0.0, 0.0);
        for (int i = 0; i + 1 < step.ports; ++i) {
          const Complex j = std::conj(divide_in_range(power[i], read(node[i]) - neutral_potential));
          current[i] = j;
          neutral -= j;
        }
        current[step.ports - 1] = neutral;
        break;
      }
    }
  }
}

double SweepPlan::forward() {
  double largest = 0.0;
  for (const Step& step : steps) {
    const Complex* current = currents.data() + step.first;
    const NodeRef* node = nodes.data() + step.first;
    double change = 0.0;
    switch (step.kind) {
      case Kind::no_current:
      case Kind::power_load:
        continue;
      case Kind::potential_ref: {
        const Complex was = read(node[0]);
        write(node[0], Complex(0.0, 0.0));
        change = larger_part(was);
        break;
      }
      case Kind::voltage_source: {
        const Complex* voltage = values.data() + step.record;
        for (int i = 0; i + 1 < step.ports; ++i) {
          const Complex neutral = read(node[step.ports - 1]);
          write(node[i], neutral + voltage[i]);
        }
        break;
      }
      case Kind::line: {
        // V2 = V1 - Z I1
        const int n = step.ports / 2;
        const Complex* z = impedances.data() + step.record;
        Complex* v = scratch.data();
        for (int r = 0; r < n; ++r, z += n) {
          Complex drop(0.0, 0.0);
          for (int k = 0; k < n; ++k) drop += z[k] * current[k];
          v[r] = read(node[r]) - drop;
        }
        // The largest modulus of the changes, NaN as soon as one is NaN. When every change can
        // be estimated, the modulus is taken only of those that may be the line's largest, and
        // of none when the largest estimate cannot beat the pass's largest change so far.
        Complex* moved = v + n;
        double top = 0.0;
        bool estimated = true;
        for (int k = 0; k < n; ++k) {
          moved[k] = v[k] - read(node[n + k]);
          if (!estimable(moved[k])) {
            estimated = false;
          } else {
            top = std::max(top, estimate(moved[k]));
          }
        }
        if (!estimated || top * (1.0 + 1e-14) >= largest) {
          const double bound = top * (1.0 - 1e-14);
          for (int k = 0; k < n; ++k) {
            if (!estimated || estimate(moved[k]) >= bound)
              change = larger_change(change, modulus(moved[k]));
          }
        }
        for (int k = 0; k < n; ++k) write(node[n + k], v[k]);
        break;
      }
    }
    if (change > largest) largest = change;
  }
  return largest;
}

void SweepPlan::finish() {
  for (std::size_t k = 0; k < ports.size(); ++k) ports[k]->current = currents[k];
  for (Connection* node : written_nodes) {
    node->potential.value = Complex(node->potential.linked[0], node->potential.linked[1]);
  }
}

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
  ADVector x, p;
  declare_and_link(x, p, false);
  initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  auto& plan = network->sweep_plan;
  if (plan == nullptr) plan = std::make_shared<SweepPlan>();
  if (plan->revision != structure_revision) {
    plan->usable = plan->make(network->elements);
    plan->revision = structure_revision;
  }
  const bool compact = plan->usable;
  if (compact) plan->start();

  int i = 0;
  double change = 0.0;
  do {
    if (compact) {
      plan->backward();
      change = plan->forward();
    } else {
      network->backward();
      change = network->forward();
    }
    // The elements' measures skip NaN changes: potentials that went non-finite must end the
    // sweep as a failure (NaN), not look converged.
    if (!variables.allFinite()) change = std::numeric_limits<double>::quiet_NaN();
    ++i;
  } while (change > tolerance && i < max_iterations);
  if (compact) plan->finish();
  return {i, change};
}

}  // namespace tarvelo
