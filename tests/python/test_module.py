"""The module's contract: start-up, class properties, argument binding and conversion."""

import copy
import importlib
import pickle
import subprocess
import sys
import weakref

import numpy as np
import pytest
from conftest import carray

from tarvelo import cy_engine as ce

CLASS_ORDER = [
    "CyElement", "CyBranch", "CySwitch", "CyOpenSwitch", "CySimplifiedLine", "CyShuntLine",
    "CyBus", "CyLoad", "CyPowerLoad", "CyDeltaPowerLoad", "CyAdmittanceLoad",
    "CyDeltaAdmittanceLoad", "CyCurrentLoad", "CyDeltaCurrentLoad", "CyLoadBalancer", "CyControl",
    "CyProjection", "CyFlexibleParameter", "CyFlexibleLoad", "CyDeltaFlexibleLoad", "CyGround",
    "CyPotentialRef", "CyDeltaPotentialRef", "CyVoltageSource", "CyDeltaVoltageSource",
    "CyTransformer", "CyThreePhaseTransformer", "CySingleTransformer", "CyCenterTransformer",
    "CySingleVoltageRegulator", "CyElectricalNetwork", "CyAbstractSolver", "CyAbstractNewton",
    "CyNewton", "CyNewtonGoldstein", "CyBackwardForward",
]

DOCS = {
    "CyElement.connect": "CyElement.connect(self, CyElement cy_element, connections)",
    "CyElement.connect_ports": "CyElement.connect_ports(self, int[::1] ports)",
    "CyElement.disconnect": "CyElement.disconnect(self)",
    "CyElement.get_potentials": "CyElement.get_potentials(self, int n)",
    "CyElement.get_currents": "CyElement.get_currents(self, int n)",
    "CyElement.get_port_potential": "CyElement.get_port_potential(self, int index)",
    "CyElement.get_port_current": "CyElement.get_port_current(self, int index)",
    "CyBranch.connect_side":
        "CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
    "CyBranch.get_side_potentials": "CyBranch.get_side_potentials(self, int n1, int n2)",
    "CyBranch.get_side_currents": "CyBranch.get_side_currents(self, int n1, int n2)",
    "CyBus.initialize_potentials":
        "CyBus.initialize_potentials(self, double complex[::1] potentials)",
    "CyLoad.get_inner_currents": "CyLoad.get_inner_currents(self, int size)",
    "CyPowerLoad.update_powers": "CyPowerLoad.update_powers(self, double complex[::1] powers)",
    "CyPowerLoad.update_power": "CyPowerLoad.update_power(self, double complex power)",
    "CyDeltaPowerLoad.update_powers":
        "CyDeltaPowerLoad.update_powers(self, double complex[::1] powers)",
    "CyPotentialRef.get_current": "CyPotentialRef.get_current(self)",
    "CyDeltaPotentialRef.get_current": "CyDeltaPotentialRef.get_current(self)",
    "CyVoltageSource.update_voltages":
        "CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
    "CyVoltageSource.update_voltage": "CyVoltageSource.update_voltage(self, double complex voltage)",
    "CyDeltaVoltageSource.update_voltages":
        "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)",
    "CyAbstractSolver.solve_load_flow":
        "CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)",
    "CyAbstractSolver.reset_inputs": "CyAbstractSolver.reset_inputs(self)",
    "CyAbstractSolver.get_variables": "CyAbstractSolver.get_variables(self)",
    "CyAbstractSolver.set_variables": "CyAbstractSolver.set_variables(self, double[::1] variables)",
    "CyNewtonGoldstein.update_params": "CyNewtonGoldstein.update_params(self, double m1, double m2)",
}


def run_python(code):
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          check=True).stdout


def test_module_attributes_and_reimport_identity():
    names = [name for name in vars(ce) if name.startswith("Cy")]
    assert names == CLASS_ORDER
    assert ce.np is np and ce.__test__ == {} and ce.__package__ == "tarvelo"
    assert ce.__file__.endswith("cy_engine.abi3.so")
    del sys.modules["tarvelo.cy_engine"]
    try:
        assert importlib.import_module("tarvelo.cy_engine") is ce
    finally:
        sys.modules["tarvelo.cy_engine"] = ce


def test_start_up_failures_leave_nothing_behind():
    out = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "try:\n"
        "    import tarvelo.cy_engine\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "del sys.modules['numpy']\n"
        "import tarvelo.cy_engine as m\n"
        "print(m.CyBus(0, None).get_potentials(0).dtype)\n")
    assert out.splitlines() == ["numpy._core.multiarray failed to import", "complex128"]
    out = run_python(
        "import tarvelo.cy_engine, _xxsubinterpreters as si\n"
        "i = si.create(isolated=False)\n"
        "try:\n"
        "    si.run_string(i, 'import tarvelo.cy_engine')\n"
        "except Exception as e:\n"
        "    print(e)\n")
    assert "Interpreter change detected - this module can only be loaded into one interpreter " \
           "per process." in out


def test_class_properties():
    for name in CLASS_ORDER:
        cls = getattr(ce, name)
        assert cls.__module__ == "tarvelo.cy_engine" and cls.__qualname__ == name
        assert cls.__doc__ is None
    assert issubclass(ce.CyBranch, ce.CyElement) and issubclass(ce.CySwitch, ce.CyBranch)
    assert issubclass(ce.CyAbstractNewton, ce.CyAbstractSolver)
    assert ce.CyElectricalNetwork.__bases__ == (object,)
    for qualname, doc in DOCS.items():
        cls, method = qualname.split(".")
        function = getattr(ce, cls).__dict__[method]
        assert (function.__name__, function.__qualname__, function.__doc__) == \
            (method, qualname, doc)

    switch = ce.CySwitch(1)
    with pytest.raises(AttributeError):
        switch.label = "S1"
    with pytest.raises(TypeError):
        weakref.ref(switch)

    class LabelledSwitch(ce.CySwitch):
        pass

    labelled = LabelledSwitch(n=3)  # the constructor argument of CySwitch, by keyword
    labelled.label = "S2"
    assert weakref.ref(labelled)() is labelled
    assert labelled.get_side_potentials(3, 3)[1].shape == (3,)
    # Two of our classes in one Python class: the engine object is checked, not assumed.
    Mixed = type("Mixed", (ce.CyBus, ce.CySwitch), {})
    with pytest.raises(TypeError, match="does not hold the engine object"):
        Mixed(2, carray([0, 0])).get_side_potentials(1, 1)


def test_pickling_and_copying_are_refused():
    concrete = "no default __reduce__ due to non-trivial __cinit__"
    for obj, text in [(ce.CyBus(0, None), concrete), (ce.CyElectricalNetwork(None, 0), concrete),
                      (ce.CyElement(), "self.element cannot be converted to a Python object "
                                       "for pickling"),
                      (ce.CyLoad(), "self.element cannot be converted to a Python object for "
                                    "pickling"),
                      (ce.CyAbstractNewton(), "self.solver cannot be converted to a Python "
                                              "object for pickling")]:
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__({})):
            with pytest.raises(TypeError) as refusal:
                attempt(obj)
            assert str(refusal.value) == text
    with pytest.raises(TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument "
                       r"\(0 given\)$"):
        ce.CyBus(0, None).__setstate__()


def test_bare_base_instances_accept_anything_and_refuse_every_method():
    bare = ce.CyElement(1, "two", three=3)
    branch = ce.CyBranch()
    bus = ce.CyBus(2, carray([0, 0]))
    calls = [lambda e: e.connect(bus, []), lambda e: e.disconnect(), lambda e: e.get_potentials(0),
             lambda e: e.get_port_current(0), lambda e: e.connect_ports(None)]
    for element in (bare, branch):
        for call in calls:
            with pytest.raises(TypeError, match="holds no engine object"):
                call(element)
    with pytest.raises(TypeError, match="holds no engine object"):
        branch.connect_side(bus, [], True)
    with pytest.raises(TypeError, match="holds no engine object"):
        ce.CyLoad().get_inner_currents(3)
    with pytest.raises(TypeError, match="Argument 'cy_element' holds no engine object"):
        bus.connect(bare, [(0, 0)])
    # The unsafe allocation through a base class is the interpreter's own refusal.
    with pytest.raises(TypeError, match="is not safe"):
        ce.CyElement.__new__(ce.CyBus)


def test_arity_and_keyword_messages():
    bus = ce.CyBus(2, carray([1, 2]))
    assert bus.get_port_potential(index=1) == 2
    cases = [
        (lambda: bus.get_port_potential(), "get_port_potential() takes exactly 1 positional "
                                           "argument (0 given)"),
        (lambda: bus.get_port_potential(0, 1), "get_port_potential() takes exactly 1 positional "
                                               "argument (2 given)"),
        (lambda: bus.get_port_potential(idx=1), "get_port_potential() got an unexpected keyword "
                                                "argument 'idx'"),
        (lambda: bus.get_port_potential(0, index=1), "get_port_potential() got multiple values "
                                                     "for keyword argument 'index'"),
        (lambda: bus.disconnect(0), "disconnect() takes exactly 0 positional arguments (1 given)"),
        (lambda: bus.disconnect(now=True), "disconnect() got an unexpected keyword argument 'now'"),
        (lambda: ce.CyBus(potentials=None), "__cinit__() takes exactly 2 positional arguments "
                                            "(0 given)"),
        (lambda: ce.CyBus(n=2), "__cinit__() takes exactly 2 positional arguments (1 given)"),
        (lambda: ce.CyBus(2, None, 3), "__cinit__() takes exactly 2 positional arguments "
                                       "(3 given)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as refusal:
            call()
        assert str(refusal.value) == message


def test_scalar_conversions():
    bus = ce.CyBus(2.9, carray([1, 2, 3]))  # truncated toward zero: two ports
    assert bus.get_potentials(2).shape == (2,)
    with pytest.raises(IndexError):
        bus.get_potentials(3)

    class Index:
        def __index__(self):
            return 1

    for index in (1, True, 1.7, np.int64(1), np.float32(1.2), Index()):
        assert bus.get_port_potential(index) == 2
    with pytest.raises(TypeError, match="^an integer is required$"):
        ce.CyBus("2", None)
    with pytest.raises(TypeError, match="^an integer is required$"):
        bus.get_port_potential(b"1")
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        ce.CyBus(2**31, None)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        bus.get_port_potential(-2**31 - 1)
    with pytest.raises(OverflowError):
        bus.get_port_potential(2**70)

    with pytest.raises(TypeError, match="must be real number, not str"):
        ce.CyPowerLoad(2, carray([0])).update_power("3")

    # bool: None and [] are false, [0] is true (side 1 is the beginning).
    a, b = ce.CyBus(1, carray([1])), ce.CyBus(1, carray([2]))
    for beginning, bus_of_side, other in [(None, b, a), ([], b, a), ([0], a, b)]:
        switch = ce.CySwitch(1)
        switch.connect_side(bus_of_side, [(0, 0)], beginning)
        side1, side2 = switch.get_side_potentials(1, 1)
        assert (side1 if bus_of_side is a else side2)[0] == bus_of_side.get_port_potential(0)


def test_buffer_arguments():
    complex_cases = [
        (np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'double complex' but got "
                                  "'double'"),
        (np.zeros(2, np.complex64), ValueError, "Item size of buffer (8 bytes) does not match size "
                                                "of 'double complex' (16 bytes)"),
        (np.zeros((2, 2), complex), ValueError, "Buffer has wrong number of dimensions (expected "
                                                "1, got 2)"),
        (np.zeros(2, ">c16"), ValueError, "Big-endian buffer not supported on little-endian "
                                          "compiler"),
        (np.zeros(4, complex)[::2], ValueError, None),  # not C-contiguous
        ([1j, 2j], TypeError, None),  # a list offers no buffer
        (np.zeros(1, complex), ValueError, "potentials: expected at least 2 values, got 1"),
        (None, ValueError, "potentials: expected at least 2 values, got 0"),
    ]
    read_only = np.zeros(2, complex)
    read_only.flags.writeable = False
    complex_cases.append((read_only, ValueError, "read-only"))
    for value, error, message in complex_cases:
        with pytest.raises(error) as refusal:
            ce.CyBus(2, value)
        if message is not None:
            assert message in str(refusal.value)

    bus = ce.CyBus(3, carray([1, 2, 3]))
    with pytest.raises(ValueError, match=r"Item size of buffer \(8 bytes\) does not match size of "
                       r"'int' \(4 bytes\)"):
        bus.connect_ports(np.array([0, 1], dtype=np.int64))
    with pytest.raises(ValueError, match="expected 'int' but got 'unsigned int'"):
        bus.connect_ports(np.array([0, 1], dtype=np.uint32))

    # Longer arrays are accepted; the engine copies what it keeps.
    potentials = carray([1, 2, 3, 99])
    bus = ce.CyBus(3, potentials)
    potentials[:] = 0
    np.testing.assert_array_equal(bus.get_potentials(3), [1, 2, 3])


def test_result_arrays():
    bus = ce.CyBus(3, carray([1, 2, 3]))
    for result in (bus.get_potentials(2), bus.get_currents(3), *ce.CySwitch(2).get_side_currents(
            2, 1)):
        assert type(result) is np.ndarray and result.dtype == np.complex128 and result.ndim == 1
    assert bus.get_potentials(0).shape == (0,)
    assert bus.get_potentials(2) is not bus.get_potentials(2)
    with pytest.raises(ValueError, match="negative dimensions"):
        bus.get_potentials(-1)
    # Result arrays come from the module attribute `np`, looked up at every call.
    saved = ce.np
    try:
        del ce.np
        with pytest.raises(NameError, match="name 'np' is not defined"):
            bus.get_potentials(1)

        class FakeNumPy:
            complex128 = np.complex128

            @staticmethod
            def empty(n, dtype):
                return [0j] * n

        ce.np = FakeNumPy
        with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
            bus.get_potentials(1)
    finally:
        ce.np = saved
    assert bus.get_potentials(1)[0] == 1
