"""A small low-voltage feeder solved from Python with tarvelo.

    400 V source ══ bus "source" ══ switch ══ bus "feeder" ══ star loads (houses, a, b, c, n)
      (a, b, c, n)      │ n                                 ══ delta load (workshop, a-b-c)
                  potential reference

The source is three-phase four-wire, 400 V between phases; its neutral is held at 0 V.
"""

import numpy as np

from tarvelo import cy_engine as ce

PHASE_TO_PHASE = 400.0
PHASE_TO_NEUTRAL = PHASE_TO_PHASE / np.sqrt(3.0)
ROTATION = np.exp(-2j * np.pi / 3 * np.arange(3))  # phases a, b, c
FOUR_WIRES = [(i, i) for i in range(4)]


def complex_array(values):
    return np.array(values, dtype=np.complex128)


def build_feeder():
    starting = complex_array(list(PHASE_TO_NEUTRAL * ROTATION) + [0.0])
    source = ce.CyVoltageSource(4, complex_array(PHASE_TO_NEUTRAL * ROTATION))
    reference = ce.CyPotentialRef()
    source_bus = ce.CyBus(4, starting)
    switch = ce.CySwitch(4)
    feeder_bus = ce.CyBus(4, starting)
    # Unbalanced houses on the three phases (W + j var), a three-phase workshop in delta.
    houses = ce.CyPowerLoad(4, complex_array([4500 + 900j, 2500 + 300j, 6000 + 1500j]))
    workshop = ce.CyDeltaPowerLoad(3, complex_array([3000 + 1200j] * 3))

    source_bus.connect(source, FOUR_WIRES)
    reference.connect(source_bus, [(0, 3)])
    switch.connect_side(source_bus, FOUR_WIRES, True)
    switch.connect_side(feeder_bus, FOUR_WIRES, False)
    feeder_bus.connect(houses, FOUR_WIRES)
    feeder_bus.connect(workshop, FOUR_WIRES[:3])

    elements = np.array([source, reference, source_bus, switch, feeder_bus, houses, workshop],
                        dtype=object)
    buses = {"source": source_bus, "feeder": feeder_bus}
    loads = {"houses (star)": houses, "workshop (delta)": workshop}
    return ce.CyElectricalNetwork(elements, len(elements)), buses, loads


def main():
    network, buses, loads = build_feeder()
    solver = ce.CyNewton(network, True)
    iterations, residual = solver.solve_load_flow(max_iterations=20, tolerance=1e-9)

    print("Phase-to-neutral voltages")
    for name, bus in buses.items():
        potentials = bus.get_potentials(4)
        for phase, v in zip("abc", potentials[:3] - potentials[3]):
            print(f"  {name:<8} {phase}: {abs(v):8.2f} V  {np.degrees(np.angle(v)):8.2f} deg")

    print("Load currents (inner currents, per phase)")
    for name, load in loads.items():
        for phase, i in zip(("a", "b", "c") if "star" in name else ("ab", "bc", "ca"),
                            load.get_inner_currents(3)):
            print(f"  {name:<17} {phase:<2}: {abs(i):7.2f} A  {np.degrees(np.angle(i)):8.2f} deg")
    neutral = loads["houses (star)"].get_port_current(3)
    print(f"  houses neutral      : {abs(neutral):7.2f} A")

    print(f"Newton: {iterations} iterations, residual {residual:.3e}")


if __name__ == "__main__":
    main()
