// The backward-forward sweep: no derivatives, no tape.
//
// One sweep is a backward pass over the elements from last to first, each setting its plain port
// currents from the present potentials and from the currents of the elements after it, then a
// forward pass from first to last, each writing the potentials it fixes and measuring the change
// it made. Sweeps repeat while the largest change exceeds the tolerance and the limit is not
// reached; at least one is always made. The host's element order is the sweep order.
//
// Compact form. When every element of the network is a bus, a ground, a potential reference, a
// voltage source, a switch, a line or a constant power, current or admittance load, the sweep
// runs on a plan made once for the network: the port currents of the listed elements in one
// array in element order, for each port the two doubles its node reads and writes (the node's
// linked slot, else its stored value), for each port whose step balances its node the positions
// of the node's other ports, and copies of the parameters. A sweep then reads and writes
// contiguous storage instead of following ports, nodes and their port lists. Each step calls the
// very code of the element's own step (the sweep steps of the element families are templates on
// the ports), so results are those of the elements' steps, and:
//   - the ports of elements that the network does not list, joined to its nodes before it was
//     built, draw nothing: they are left out of the balances;
//   - at the start of a solve, the currents of ports that a backward pass reads before it sets
//     them (those of elements listed no later than the reader) are taken from the ports, the
//     record values are copied, and the lines' matrices are copied again when a matrix record
//     has changed since;
//   - at the end, every listed port gets its current and every linked node written by a forward
//     step gets its stored value (the slots were written all along).
// The plan keeps pointers into nodes, ports and slots: it is made again whenever the structure
// revision has moved since (a join, a port leaving its node, an element deleted, a link or
// unlink). Any other element in the network (transformers, the regulator, flexible loads, the
// load balancer, the delta reference), or a listed element twice, leaves the sweep to the
// elements' steps.
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

// A port's node as the compact sweep reads and writes it.
struct NodeRef {
  double* potential;  // the linked slot, else the stored value
  bool fixed_zero;
};

NodeRef node_ref(Connection& node) {
  LinkedComplex& p = node.potential;
  return {p.is_linked ? p.linked : reinterpret_cast<double*>(&p.value), node.fixed_zero};
}

// A complex record's plain value: its linked slot, else its stored value.
const double* record_ref(const LinkedComplex& r) {
  return r.is_linked ? r.linked : reinterpret_cast<const double*>(&r.value);
}

}  // namespace

struct SweepPlan {
  enum class Kind : std::uint8_t {
    no_current,
    star_source,
    delta_source,
    closed_switch,
    series_line,
    shunt_line,
    star_power,
    star_current,
    star_admittance,
    delta_power,
    delta_current,
    delta_admittance,
  };

  struct Step {
    Kind kind;
    int first;  // position of the element's first port in `currents` and `nodes`
    int ports;  // its port count
    int at;     // position of its first record in `values` (sources, loads), of its matrices in
                // `matrices` (lines)
  };

  // A line whose matrices the plan copies, column by column: Z (simplified line) or a, b, c, d
  // (shunt line), and the revision of the record they follow at the last copy.
  struct LineMatrices {
    SimplifiedLine* series;
    ShuntLine* shunt;
    int at;
    std::uint64_t revision;
  };

  // The ports of one step, with the operations of an element's OwnPorts.
  struct Ports {
    Complex* currents;  // the step's ports' currents, nodes and balancing lists
    const NodeRef* nodes;
    const int* balance_start;
    const int* balance;  // positions in `all`, the plan's whole current array
    const Complex* all;

    Complex potential(std::size_t k) const {
      const NodeRef& node = nodes[k];
      return node.fixed_zero ? Complex(0.0, 0.0) : Complex(node.potential[0], node.potential[1]);
    }
    void set_potential(std::size_t k, const Complex& v) const {
      nodes[k].potential[0] = v.real();
      nodes[k].potential[1] = v.imag();
    }
    Complex current(std::size_t k) const { return currents[k]; }
    void set_current(std::size_t k, const Complex& i) const { currents[k] = i; }
    Complex balancing(std::size_t k) const {
      Complex sum(0.0, 0.0);
      for (int j = balance_start[k]; j < balance_start[k + 1]; ++j) sum += all[balance[j]];
      return -sum;
    }
  };

  // The structure revision the plan was made at, and whether the network has a compact form.
  std::uint64_t revision = std::numeric_limits<std::uint64_t>::max();
  bool usable = false;
  std::vector<Step> steps;
  // Per listed port, in element and port order: its current, its node, and the positions in
  // `currents` of the other listed ports of its node (for the ports whose step balances their
  // node).
  std::vector<Complex> currents;
  std::vector<NodeRef> nodes;
  std::vector<int> balance_start;
  std::vector<int> balance;
  // The parameters, copied at the start of a solve (nothing changes them during one).
  std::vector<const double*> records;
  std::vector<Complex> values;
  std::vector<LineMatrices> lines;
  std::vector<Complex> matrices;
  std::uint64_t matrices_revision = std::numeric_limits<std::uint64_t>::max();
  // Ports whose currents are taken at the start of a solve, with their positions.
  std::vector<std::pair<int, const Port*>> taken;
  // What the end of a solve writes back.
  std::vector<Port*> ports;
  std::vector<Connection*> written_nodes;
  std::vector<Complex> scratch;

  // Makes the plan; false when some element has no compact step.
  bool make(const std::vector<Element*>& elements);
  void start();
  void backward();
  double forward();
  // Writes the results back to the ports and nodes; whether every current was finite.
  bool finish();

  Ports ports_of(const Step& step) {
    return {currents.data() + step.first, nodes.data() + step.first,
            balance_start.data() + step.first, balance.data(), currents.data()};
  }
};

namespace {

using Kind = SweepPlan::Kind;

// The kind of an element's compact step, and its records (sources and loads); false for an
// element without one.
bool classify(Element& element, Kind& kind, const std::vector<LinkedComplex>*& records) {
  const std::type_info& type = typeid(element);
  records = nullptr;
  if (type == typeid(Bus) || type == typeid(Ground) || type == typeid(OpenSwitch) ||
      type == typeid(PotentialRef)) {
    kind = Kind::no_current;
  } else if (type == typeid(VoltageSource)) {
    kind = Kind::star_source, records = &static_cast<VoltageSource&>(element).voltages;
  } else if (type == typeid(DeltaVoltageSource)) {
    kind = Kind::delta_source, records = &static_cast<DeltaVoltageSource&>(element).voltages;
  } else if (type == typeid(Switch)) {
    kind = Kind::closed_switch;
  } else if (type == typeid(SimplifiedLine)) {
    kind = Kind::series_line;
  } else if (type == typeid(ShuntLine)) {
    kind = Kind::shunt_line;
  } else if (type == typeid(PowerLoad)) {
    kind = Kind::star_power, records = &static_cast<PowerLoad&>(element).powers;
  } else if (type == typeid(CurrentLoad)) {
    kind = Kind::star_current, records = &static_cast<CurrentLoad&>(element).currents;
  } else if (type == typeid(AdmittanceLoad)) {
    kind = Kind::star_admittance, records = &static_cast<AdmittanceLoad&>(element).admittances;
  } else if (type == typeid(DeltaPowerLoad)) {
    kind = Kind::delta_power, records = &static_cast<DeltaPowerLoad&>(element).powers;
  } else if (type == typeid(DeltaCurrentLoad)) {
    kind = Kind::delta_current, records = &static_cast<DeltaCurrentLoad&>(element).currents;
  } else if (type == typeid(DeltaAdmittanceLoad)) {
    kind = Kind::delta_admittance,
    records = &static_cast<DeltaAdmittanceLoad&>(element).admittances;
  } else {
    return false;
  }
  return true;
}

bool is_line(Kind kind) {
  return kind == Kind::closed_switch || kind == Kind::series_line || kind == Kind::shunt_line;
}

// The ports [from, to) of a step whose forward step writes their nodes and whose backward step
// balances them: side 2 of a switch or line, a star source's phases, a delta source's ports
// after the first.
std::pair<int, int> moved_ports(const SweepPlan::Step& step) {
  if (is_line(step.kind)) return {step.ports / 2, 2 * (step.ports / 2)};
  if (step.kind == Kind::star_source) return {0, step.ports - 1};
  if (step.kind == Kind::delta_source) return {1, step.ports};
  return {0, 0};
}

}  // namespace

bool SweepPlan::make(const std::vector<Element*>& elements) {
  *this = SweepPlan();
  std::unordered_map<const Port*, int> position;
  std::unordered_map<const Element*, int> order;
  std::size_t widest = 0;
  for (std::size_t e = 0; e < elements.size(); ++e) {
    Element* element = elements[e];
    if (!order.emplace(element, static_cast<int>(e)).second) return false;
    Step step{Kind::no_current, static_cast<int>(ports.size()),
              static_cast<int>(element->ports.size()), static_cast<int>(records.size())};
    const std::vector<LinkedComplex>* given = nullptr;
    if (!classify(*element, step.kind, given)) return false;
    if (given != nullptr) {
      for (const LinkedComplex& r : *given) records.push_back(record_ref(r));
    }
    const auto n = element->ports.size() / 2;
    if (step.kind == Kind::series_line || step.kind == Kind::shunt_line) {
      const bool shunt = step.kind == Kind::shunt_line;
      step.at = static_cast<int>(matrices.size());
      lines.push_back({shunt ? nullptr : static_cast<SimplifiedLine*>(element),
                       shunt ? static_cast<ShuntLine*>(element) : nullptr, step.at,
                       std::numeric_limits<std::uint64_t>::max()});
      matrices.resize(matrices.size() + (shunt ? 4 : 1) * n * n);
      widest = std::max(widest, (shunt ? 3 : 1) * n);
    } else if (step.kind == Kind::delta_power || step.kind == Kind::delta_current ||
               step.kind == Kind::delta_admittance) {
      widest = std::max(widest, element->ports.size());
    }
    steps.push_back(step);
    for (Port& port : element->ports) {
      position.emplace(&port, static_cast<int>(ports.size()));
      ports.push_back(&port);
      nodes.push_back(node_ref(*port.connection));
    }
  }
  currents.assign(ports.size(), Complex(0.0, 0.0));
  scratch.assign(widest, Complex(0.0, 0.0));

  // The balancing ports' lists, and the linked nodes whose stored values the forward steps move.
  balance_start.assign(ports.size() + 1, 0);
  for (std::size_t e = 0; e < steps.size(); ++e) {
    const Step& step = steps[e];
    const auto [from, to] = moved_ports(step);
    for (int k = 0; k < step.ports; ++k) {
      const int at = step.first + k;
      balance_start[at] = static_cast<int>(balance.size());
      if (k < from || k >= to) continue;
      Connection* node = ports[at]->connection.get();
      if (node->potential.is_linked) written_nodes.push_back(node);
      for (const Port* other : node->ports) {
        // A port of an element the network does not list draws nothing.
        if (other == ports[at] || !order.contains(other->element)) continue;
        const int index = position.at(other);
        // A port of an element no later in the list may be read before the pass sets it.
        if (order.at(other->element) <= static_cast<int>(e)) taken.emplace_back(index, other);
        balance.push_back(index);
      }
    }
  }
  balance_start[ports.size()] = static_cast<int>(balance.size());
  std::sort(taken.begin(), taken.end());
  taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
  std::sort(written_nodes.begin(), written_nodes.end());
  written_nodes.erase(std::unique(written_nodes.begin(), written_nodes.end()), written_nodes.end());
  return true;
}

void SweepPlan::start() {
  for (const auto& [index, port] : taken) currents[index] = port->current;
  values.resize(records.size());
  for (std::size_t k = 0; k < records.size(); ++k)
    values[k] = Complex(records[k][0], records[k][1]);
  // The lines are visited only when some matrix record has changed since the last visit.
  if (matrices_revision == matrix_revision) return;
  for (LineMatrices& m : lines) {
    Complex* to = matrices.data() + m.at;
    if (m.series != nullptr && m.revision != m.series->y_line.revision) {
      const std::size_t n = m.series->ports1.size();
      const Complex* z = m.series->sweep_impedance();
      std::copy(z, z + n * n, to);
      m.revision = m.series->y_line.revision;
    } else if (m.shunt != nullptr && m.revision != m.shunt->y_11.revision) {
      const auto size = static_cast<std::size_t>(m.shunt->a.size());
      for (const Eigen::MatrixXcd* x : {&m.shunt->a, &m.shunt->b, &m.shunt->c, &m.shunt->d}) {
        to = std::copy(x->data(), x->data() + size, to);
      }
      m.revision = m.shunt->y_11.revision;
    }
  }
  matrices_revision = matrix_revision;
}

void SweepPlan::backward() {
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const Step& step = *it;
    Ports p = ports_of(step);
    const auto count = static_cast<std::size_t>(step.ports);
    const std::size_t n = count / 2;
    const Complex* x = values.data() + step.at;
    const Complex* m = matrices.data() + step.at;
    switch (step.kind) {
      case Kind::no_current:  // its ports keep their zero currents
        break;
      case Kind::star_source:
        star_source_backward(p, count);
        break;
      case Kind::delta_source:
        delta_source_backward(p, count);
        break;
      case Kind::closed_switch:
      case Kind::series_line:
        pass_through_backward(p, n);
        break;
      case Kind::shunt_line:
        shunt_line_backward(p, n, m + 2 * n * n, m + 3 * n * n, scratch.data());
        break;
      case Kind::star_power:
        star_load_currents<Complex>(
            p, count, [x](std::size_t i, const Complex& dv) { return power_current(x[i], dv); });
        break;
      case Kind::star_current:
        star_load_currents<Complex>(
            p, count, [x](std::size_t i, const Complex& dv) { return turned_current(x[i], dv); });
        break;
      case Kind::star_admittance:
        star_load_currents<Complex>(p, count, [x](std::size_t i, const Complex& dv) {
          return admittance_current(x[i], dv);
        });
        break;
      case Kind::delta_power:
        delta_load_currents<Complex>(
            p, count, [x](std::size_t i, const Complex& dv) { return power_current(x[i], dv); },
            scratch.data());
        break;
      case Kind::delta_current:
        delta_load_currents<Complex>(
            p, count, [x](std::size_t i, const Complex& dv) { return turned_current(x[i], dv); },
            scratch.data());
        break;
      case Kind::delta_admittance:
        delta_load_currents<Complex>(
            p, count,
            [x](std::size_t i, const Complex& dv) { return admittance_current(x[i], dv); },
            scratch.data());
        break;
    }
  }
}

double SweepPlan::forward() {
  double largest = 0.0;
  for (const Step& step : steps) {
    Ports p = ports_of(step);
    const auto count = static_cast<std::size_t>(step.ports);
    const std::size_t n = count / 2;
    const Complex* x = values.data() + step.at;
    const Complex* m = matrices.data() + step.at;
    const auto voltage = [x](std::size_t i) { return x[i]; };
    double change = 0.0;
    switch (step.kind) {
      case Kind::star_source:
        star_source_forward(p, count, voltage);
        break;
      case Kind::delta_source:
        delta_source_forward(p, count, voltage);
        break;
      case Kind::closed_switch:
        switch_forward(p, n);
        break;
      case Kind::series_line:
        change = series_forward(p, n, m, scratch.data());
        break;
      case Kind::shunt_line:
        change = shunt_line_forward(p, n, m, m + n * n, scratch.data());
        break;
      default:  // no forward step
        continue;
    }
    if (change > largest) largest = change;
  }
  return largest;
}

bool SweepPlan::finish() {
  double zero_when_finite = 0.0;  // x * 0 is 0 for a finite x, NaN for an infinite or NaN one
  for (std::size_t k = 0; k < ports.size(); ++k) {
    ports[k]->current = currents[k];
    zero_when_finite += currents[k].real() * 0.0 + currents[k].imag() * 0.0;
  }
  for (Connection* node : written_nodes) {
    node->potential.value = Complex(node->potential.linked[0], node->potential.linked[1]);
  }
  return zero_when_finite == 0.0;
}

BackwardForward::BackwardForward(ElectricalNetwork* network) : AbstractSolver(network) {
  undone_on_failure([this] {
    ADVector x, p;
    declare_and_link(x, p, false);
    initial_variables = variables;
  });
  const auto& nodes = network->all_connections;
  node_slots = 2 * std::count_if(nodes.begin(), nodes.end(),
                                 [](const auto& node) { return !node->fixed_zero; });
  for (const Element* element : network->elements) {
    if (element->computes_on_reading()) computing_on_reading.push_back(element);
  }
}

void BackwardForward::find_nodes_to_check() {
  const auto in_own_slots = [this](const Connection& node) {
    return node.potential.is_linked && points_into(node.potential.linked, variables);
  };
  const auto& listed = network->all_connections;
  const auto in_place = std::count_if(listed.begin(), listed.end(), [&](const auto& node) {
    return !node->fixed_zero && in_own_slots(*node);
  });
  // Every node counted in the node slots when the solver was built, still off zero and in them.
  nodes_in_place = 2 * in_place == node_slots;
  checked_nodes = network->live_nodes(nodes_in_place ? &variables : nullptr);
  checked_revision = structure_revision;
}

bool BackwardForward::potentials_finite() {
  if (checked_revision != structure_revision) find_nodes_to_check();
  if (nodes_in_place && !variables.head(node_slots).allFinite()) return false;
  return std::all_of(checked_nodes.begin(), checked_nodes.end(),
                     [](const Connection* node) { return is_finite(plain_potential(*node)); });
}

bool BackwardForward::currents_finite() const {
  return std::all_of(network->elements.begin(), network->elements.end(), [](const Element* e) {
    return std::all_of(e->ports.begin(), e->ports.end(),
                       [](const Port& port) { return is_finite(port.current); });
  });
}

bool BackwardForward::readings_finite() const {
  return std::all_of(computing_on_reading.begin(), computing_on_reading.end(),
                     [](const Element* element) { return element->computed_readings_finite(); });
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  require_connections_as_built();
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
    // sweep as a failure (NaN), not look converged, whether they live in this solver's vector,
    // in another's or in the nodes' stored values.
    if (!potentials_finite()) change = std::numeric_limits<double>::quiet_NaN();
    ++i;
  } while (change > tolerance && i < max_iterations);
  // Non-finite currents that no line carries into a potential (a load fed straight from a
  // source) fail the solve too, and so do non-finite values that the loads compute when they are
  // read, from the potentials the last forward pass wrote. They are checked once the sweeps end:
  // a load started at 0 V draws such currents in the first sweep, and the next sweep, from the
  // potentials the sources wrote, repairs them.
  const bool currents_ok = compact ? plan->finish() : currents_finite();
  if (!currents_ok || !readings_finite()) change = std::numeric_limits<double>::quiet_NaN();
  return {i, change};
}

}  // namespace tarvelo
