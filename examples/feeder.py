"""A low-voltage feeder solved from Python with tarvelo, by Newton-Raphson and by the sweep.

    400 V source ══ "source" ══ switch ══ "cabinet" ══ 180 m ══ "street" ══ 140 m ══ "end"
      (a, b, c, n)     │ n                                      houses         houses, workshop
                  potential reference                           (star)         (star)  (delta)

The source is three-phase four-wire, 400 V between phases; its neutral is held at 0 V. The
cables are four-wire lines given by their full 4 x 4 impedance matrices, mutual terms included.
"""

import numpy as np

from tarvelo import cy_engine as ce

PHASE_TO_PHASE = 400.0
PHASE_TO_NEUTRAL = PHASE_TO_PHASE / np.sqrt(3.0)
ROTATION = np.exp(-2j * np.pi / 3 * np.arange(3))  # phases a, b, c
FOUR_WIRES = [(i, i) for i in range(4)]
# A 4 x 150 mm2 aluminium cable, ohm/km: resistance, self and mutual reactances of a, b, c, n.
R, X_SELF, X_MUTUAL = 0.206, 0.28, 0.21


def complex_array(values):
    return np.ascontiguousarray(values, dtype=np.complex128).ravel()


def cable(length_m):
    """The 4 x 4 series impedance matrix of a length of cable, row by row."""
    ones = np.ones((4, 4))
    z = R * np.eye(4) + 1j * (X_SELF * np.eye(4) + X_MUTUAL * (ones - np.eye(4)))
    return complex_array(z * length_m / 1000.0)


def build_feeder():
    starting = complex_array(list(PHASE_TO_NEUTRAL * ROTATION) + [0.0])
    source = ce.CyVoltageSource(4, complex_array(PHASE_TO_NEUTRAL * ROTATION))
    reference = ce.CyPotentialRef()
    buses = {name: ce.CyBus(4, starting) for name in ("source", "cabinet", "street", "end")}
    switch = ce.CySwitch(4)
    lines = [ce.CySimplifiedLine(4, cable(180.0)), ce.CySimplifiedLine(4, cable(140.0))]
    # Unbalanced houses on the three phases (W + j var), a three-phase workshop in delta.
    loads = {
        "street houses": ce.CyPowerLoad(4, complex_array([6e3 + 1.2e3j, 3e3 + 300j, 8e3 + 2e3j])),
        "end houses": ce.CyPowerLoad(4, complex_array([5e3 + 500j, 7e3 + 1.5e3j, 2e3 + 100j])),
        "end workshop": ce.CyDeltaPowerLoad(3, complex_array([4000 + 1500j] * 3)),
    }

    buses["source"].connect(source, FOUR_WIRES)
    reference.connect(buses["source"], [(0, 3)])
    switch.connect_side(buses["source"], FOUR_WIRES, True)
    switch.connect_side(buses["cabinet"], FOUR_WIRES, False)
    for line, (upstream, downstream) in zip(lines, [("cabinet", "street"), ("street", "end")]):
        line.connect_side(buses[upstream], FOUR_WIRES, True)
        line.connect_side(buses[downstream], FOUR_WIRES, False)
    buses["street"].connect(loads["street houses"], FOUR_WIRES)
    buses["end"].connect(loads["end houses"], FOUR_WIRES)
    buses["end"].connect(loads["end workshop"], FOUR_WIRES[:3])

    # Upstream before downstream: the order in which the sweep visits the elements.
    elements = [source, reference, buses["source"], switch, buses["cabinet"], lines[0],
                buses["street"], loads["street houses"], lines[1], buses["end"],
                loads["end houses"], loads["end workshop"]]
    network = ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    return network, buses, loads


def report(title, solver, steps, buses, loads):
    """Solves and prints the voltages and load currents; `steps` names what the solver counts."""
    count, residual = solver.solve_load_flow(max_iterations=50, tolerance=1e-9)
    print(f"{title}: {count} {steps}, residual {residual:.3e}")
    print("  phase-to-neutral voltages")
    for name, bus in buses.items():
        potentials = bus.get_potentials(4)
        cells = [f"{phase} {abs(v):7.2f} V {np.degrees(np.angle(v)):7.2f} deg"
                 for phase, v in zip("abc", potentials[:3] - potentials[3])]
        print(f"    {name:<8} " + "   ".join(cells))
    print("  load currents (per phase)")
    for name, load in loads.items():
        phases = ("ab", "bc", "ca") if "workshop" in name else ("a", "b", "c")
        cells = [f"{phase:<2} {abs(i):6.2f} A {np.degrees(np.angle(i)):7.2f} deg"
                 for phase, i in zip(phases, load.get_inner_currents(3))]
        print(f"    {name:<14} " + "   ".join(cells))


def main():
    network, buses, loads = build_feeder()
    # Each solver links the network to its own unknowns: results are read while it lives.
    newton = ce.CyNewton(network, True)
    report("Newton-Raphson", newton, "iterations", buses, loads)
    sweep = ce.CyBackwardForward(network)
    report("Backward-forward sweep", sweep, "sweeps", buses, loads)


if __name__ == "__main__":
    main()
