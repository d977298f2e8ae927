# The module's contract: start-up, argument binding and conversion, input and result arrays.

import inspect
import os
import pathlib
import pickle
import pydoc
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import (assert_kirchhoff, assert_refusals, carray, four_wire, objects, same, solve,
                      two_bus)

from tarvelo import cy_engine as ce

CLASSES = {name: cls for name, cls in vars(ce).items() if name.startswith("Cy")}


def test_module_attributes_and_start_up():
    assert len(CLASSES) == 36 and list(CLASSES)[-1] == "CyBackwardForward"
    assert ce.np is np and ce.__test__ == {}
    # Imported afresh from the root of the source tree (which never hides the installed package)
    # without a warning, executed by hand from its description (which registers it), and refused
    # with NumPy's own message when NumPy's native interface is newer than the one it was built for.
    root = pathlib.Path(__file__).resolve().parents[2]
    subprocess.run([sys.executable, "-W", "error", "-c", STARTED_BY_HAND], cwd=root, check=True)
    result = subprocess.run([sys.executable, "-c", NEWER_NUMPY], capture_output=True, text=True)
    assert result.stdout == "numpy._core.multiarray failed to import\n{}\n", result.stderr


STARTED_BY_HAND = """import importlib.util, sys
found = importlib.util.find_spec("tarvelo.cy_engine")
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
assert sys.modules["tarvelo.cy_engine"] is module and module.CyGround()"""
NEWER_NUMPY = """import ctypes, sys, types, numpy
api = (ctypes.c_void_p * 212)()  # the interface table: ABI and feature versions, byte order
api[0] = api[211] = ctypes.cast(ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: 2**26), ctypes.c_void_p)
api[210] = ctypes.cast(ctypes.CFUNCTYPE(ctypes.c_int)(lambda: 1), ctypes.c_void_p)
capsule = ctypes.pythonapi.PyCapsule_New
capsule.restype, capsule.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
key = "numpy._core._multiarray_umath"  # found first; NumPy 1 has it under numpy.core only
core, sys.modules[key] = sys.modules.get(key), types.SimpleNamespace(_ARRAY_API=capsule(api, 0, 0))
try:
    from tarvelo import cy_engine
except ImportError as error:
    print(error)
if core is None:  # then a failed import left nothing behind
    del sys.modules[key]
else:
    sys.modules[key] = core
from tarvelo import cy_engine
print(cy_engine.__test__)"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's operator new ends the process instead of throwing")
def test_memory_exhaustion_is_a_memory_error():
    # A switch of 2**29 conductors asks for many gigabytes, under a limit of a few.
    code = ("import resource, sys\nfrom tarvelo import cy_engine as ce\n"
            "resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))\n"
            "try:\n    ce.CySwitch(2**29)\nexcept MemoryError as e:\n    print(type(e).__name__)\n"
            "print(ce.CySwitch(2).get_side_currents(2, 2)[1].size)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "MemoryError\n2\n"), result.stderr


def test_methods_are_function_objects_that_bind_as_methods():
    function = type(ce.cy_set_logging_config)
    assert function.__name__ == "function" and function.__module__ == "tarvelo.cy_engine"
    for class_name, cls in CLASSES.items():
        methods = {name: f for name, f in vars(cls).items() if name not in ("__new__", "__doc__",
                                                                             "__module__")}
        assert "__reduce__" in methods and "__setstate__" in methods
        for name, method in methods.items():
            assert type(method) is function, (class_name, name)
            assert (method.__name__, method.__qualname__, method.__module__) == (
                name, f"{class_name}.{name}", "tarvelo.cy_engine")
            arguments = re.fullmatch(r"(?:\w+\.)?\w+\((.*)\)", method.__doc__)[1].split(", ")
            names = [argument.split()[-1] for argument in arguments]
            parameters = inspect.signature(method).parameters.values()  # self by position only
            assert [(p.name, p.kind == p.POSITIONAL_ONLY) for p in parameters] == [
                (name, name == "self") for name in names], method.__doc__
    assert ce.CyElement.connect.__doc__ == (
        "CyElement.connect(self, CyElement cy_element, connections)")
    assert ce.CyBus.initialize_potentials.__doc__ == (
        "CyBus.initialize_potentials(self, double complex[::1] potentials)")
    assert str(inspect.signature(ce.cy_set_logging_config)) == "(severity)"
    assert str(inspect.signature(ce.CyBus.get_port_potential)) == "(self, /, index)"
    assert "initialize_potentials(self, /, potentials)" in pydoc.render_doc(
        ce.CyBus, renderer=pydoc.plaintext)
    method = ce.CyBus.initialize_potentials  # pickled by reference, as a Python function is
    assert pickle.loads(pickle.dumps(method)) is method

    class Source(ce.CyVoltageSource):
        def update_voltages(self, voltages):  # an override that reaches ours through super()
            super().update_voltages(2 * voltages)

    source, reference = Source(2, carray([0])), ce.CyPotentialRef()
    source.connect(reference, [(1, 0)])
    solver = ce.CyNewton(ce.CyElectricalNetwork(objects(source, reference), 2), False)
    assert str(inspect.signature(source.update_voltage)) == "(voltage)"
    for update, voltage in [(lambda: source.update_voltages(carray([115])), 230),
                            (lambda: ce.CyVoltageSource.update_voltages(source, carray([60])), 60),
                            (lambda: ce.CyVoltageSource.update_voltage(*[source], voltage=40), 40),
                            (lambda: source.update_voltage(20), 20)]:
        update()
        solver.solve_load_flow(10, 1e-9)
        np.testing.assert_allclose(source.get_potentials(2), [voltage, 0], atol=1e-9)
    assert_refusals([
        (lambda: ce.CyElement.connect(3, source, []), TypeError, "Argument 'self' has incorrect "
         "type (expected tarvelo.cy_engine.CyElement, got int)"),
        (lambda: ce.CyBus.initialize_potentials(source, None), TypeError, "...(expected "
         "tarvelo.cy_engine.CyBus, got test_module....Source)"),
        (lambda: ce.CyElement.disconnect(self=source), TypeError,
         "unbound method CyElement.disconnect() needs an argument"),
        # Of the right class but holding the engine object of its other base.
        (lambda: ce.CyPowerLoad.update_power(type("BusLoad", (ce.CyBus, ce.CyPowerLoad), {})(
            1, carray([0])), 1), TypeError, "BusLoad does not hold the engine object that this "
         "method needs")])
    assert repr(ce.CyElement.connect).startswith("<function CyElement.connect at 0x")


def test_functions_kept_after_a_failed_import_still_bind(tmp_path):
    # Code run during the import (here a NumPy that fails) keeps a class, and with it the
    # functions the import made before failing; binding and calling them refuses, never crashes.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text(
        "import sys, builtins\nbuiltins.kept = sys.modules['tarvelo.cy_engine'].CyElement\n"
        "raise ImportError('broken')\n")
    code = f"""import copy, gc, sys
sys.path.insert(0, {str(tmp_path)!r})
try:
    import tarvelo.cy_engine
except ImportError as error:
    print(error)
orphans = [f for f in gc.get_objects() if type(f).__qualname__ == "function" and
           type(f).__module__ == "tarvelo.cy_engine" and f.__qualname__ == "CyElement.__setstate__"]
for attempt in (lambda: kept().__reduce__(), lambda: copy.copy(kept()),
                lambda: orphans[0].__get__(object())(None)):
    try:
        attempt()
    except TypeError as error:
        print(error)"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "numpy._core.multiarray failed to import",
        *["self.element cannot be converted to a Python object for pickling"] * 2,
        "Argument 'self' has incorrect type (expected tarvelo.cy_engine.CyElement of a failed "
        "import of tarvelo.cy_engine, got object)"]
    ), result.stderr


def test_a_failed_exec_by_hand_leaves_no_half_made_module():
    # importlib's own recipe, NumPy's import failing: the exec registered the module, and takes
    # the entry back, so that the next import runs the exec again and makes every method. Then
    # one allocation of the exec failing at a time: a memory error stays one (never "Unable to
    # initialize pickling"), and no failure leaves the module registered.
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", FAILED_BY_HAND], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "False True True\nok\n"), result.stderr


FAILED_BY_HAND = """import importlib, importlib.util, sys
name = "tarvelo.cy_engine"
found = importlib.util.find_spec(name)
sys.modules["numpy"] = None
try:
    found.loader.exec_module(importlib.util.module_from_spec(found))
except ImportError:
    del sys.modules["numpy"]
left = name in sys.modules
import numpy, _testcapi
errors, k = set(), 0
while True:
    made = importlib.util.module_from_spec(found)
    _testcapi.set_nomemory(k, k + 1)  # the k-th allocation from here fails
    try:
        found.loader.exec_module(made)
        break
    except Exception as error:
        errors.add(f"{type(error).__name__}: {error}")
    finally:
        _testcapi.remove_mem_hooks()
    assert name not in sys.modules, (k, errors)
    k += 1
assert "MemoryError: " in errors and not [e for e in errors if "pickling" in e], errors
import tarvelo.cy_engine as ce
print(left, ce is made and all(callable(getattr(ce.CyBus, method, None)) for method in (
    "initialize_potentials", "connect", "get_potentials")), ce.np is numpy)
assert importlib.reload(ce) is ce and ce.CyGround().get_potentials(1).size == 1
print("ok")"""


@pytest.mark.parametrize("then_imported", [False, True])
@pytest.mark.parametrize("step", [7, 8, 10])
def test_what_a_failed_import_leaves_behind_never_crashes(step, then_imported):
    # The import fails at NumPy's import (7), at its native interface (8) or at the module
    # function (10), once every method is in place; maybe a later import succeeds. Every class,
    # method and function of the failed import then gives a result or an exception, and no
    # refusal names a class as a stranger to its own subclass.
    result = subprocess.run([sys.executable, "-c", LEFT_BEHIND, str(step), str(then_imported)],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr


LEFT_BEHIND = """import gc, importlib, importlib.util, inspect, re, sys, types
import numpy as np
step, then_imported = int(sys.argv[1]), sys.argv[2] == "True"
name, core = "tarvelo.cy_engine", "numpy._core._multiarray_umath"

def refuse_logging(module, key, value):
    if key == "cy_set_logging_config":
        raise ImportError(key)
    types.ModuleType.__setattr__(module, key, value)

found, real = importlib.util.find_spec(name), {"numpy": np, core: sys.modules[core]}
kept = importlib.util.module_from_spec(found)
sys.modules.update({7: {"numpy": None}, 8: {core: types.ModuleType(core)}}.get(step, {}))
if step == 10:
    kept.__class__ = type("Module", (types.ModuleType,), {"__setattr__": refuse_logging})
try:
    found.loader.exec_module(kept)
except ImportError:
    sys.modules.update(real)
    assert name not in sys.modules  # the failed exec took its entry back
modules = [kept, importlib.import_module(name)] if then_imported else [kept]
errors, pool = set(), []

def attempt(call):
    try:
        pool.append(call())
    except Exception as error:
        errors.add(str(error))

def made(kind):  # the last instance of each module's class of that name
    return {type(x): x for x in pool if type(x).__name__ == kind}.values()

def objects(*items):
    return np.array(items, dtype=object)

for m in modules:
    for cls in [cls for key, cls in vars(m).items() if key.startswith("Cy")]:
        for k in range(8):
            attempt(lambda: cls(*[None] * k))
    pool += [m.CyVoltageSource(2, np.array([230j])), m.CyControl("constant", 0, 0, 0, 0, 1, 1),
             m.CyProjection("euclidean", 1, 1), m.CyBus(1, np.zeros(1, complex))]
for m in modules:
    for source, ref in [(s, r) for s in made("CyVoltageSource") for r in made("CyPotentialRef")]:
        attempt(lambda: source.connect(ref, [(1, 0)]))
        attempt(lambda: m.CyElectricalNetwork(objects(source, ref), 2))
    for control, projection in [(c, p) for c in made("CyControl") for p in made("CyProjection")]:
        attempt(lambda: m.CyFlexibleParameter(control, control, projection, 1, 0, 0))
for m in modules:
    for parameter in [*made("CyFlexibleParameter"), *made("CyControl")]:
        attempt(lambda: m.CyFlexibleLoad(2, np.array([1j]), objects(parameter)))
    for network in made("CyElectricalNetwork"):
        attempt(lambda: m.CyNewton(network, False))
        attempt(lambda: m.CyNewtonGoldstein(network, False, .1, .9))
        attempt(lambda: m.CyBackwardForward(network))

def ours(f):
    return type(f).__module__ == name and type(f).__qualname__ == "function"

for x in [x for x in pool if x is not None]:  # each method of each module on each instance
    for cls in [c for m in modules for c in getattr(m, type(x).__name__).__mro__]:
        for f in filter(ours, vars(cls).values()):
            for value in (None, 1):
                attempt(lambda: f(x, *[value] * (len(inspect.signature(f).parameters) - 1)))
for f in filter(ours, gc.get_objects()):  # the module function, bound or not
    if f.__qualname__ == "cy_set_logging_config":
        attempt(lambda: f(None))
tree = {key: cls for key, cls in vars(kept).items() if key.startswith("Cy")}
ours_named = r"tarvelo\\.cy_engine\\.(\\w+)"
refused = re.findall(rf"expected {ours_named}, got {ours_named}(?:\\)|$)", "\\n".join(errors), re.M)
assert not [pair for pair in refused if issubclass(tree[pair[1]], tree[pair[0]])], refused
told = "of a failed import of" if then_imported else "the import of tarvelo.cy_engine failed"
assert any(told in error for error in errors), sorted(errors)
print("ok")"""


def test_argument_binding_and_conversion():
    bus = ce.CyBus(2.9, carray([1, 2, 3]))  # truncated toward zero: two ports
    odd_one = type("OddInt", (int,), {"__int__": lambda self: 0})(1)  # its value, not __int__
    assert bus.get_port_potential(index=1.7) == bus.get_port_potential(odd_one) == 2
    too_large = "value too large to convert to int"
    assert_refusals([
        (lambda: bus.get_port_potential(), TypeError,
         "get_port_potential() takes exactly 1 positional argument (0 given)"),
        (lambda: bus.get_port_potential(0, 1), TypeError, "...exactly 1 positional ...(2 given)"),
        (lambda: bus.get_port_potential(idx=1), TypeError, "...unexpected keyword argument 'idx'"),
        (lambda: bus.get_port_potential(**{"\ud800": 0}), TypeError,  # not encodable in UTF-8
         "get_port_potential() got an unexpected keyword argument '\ud800'"),
        (lambda: ce.CyBus(**{"\ud800": 0}), TypeError,
         "__cinit__() got an unexpected keyword argument '\ud800'"),
        (lambda: bus.get_port_potential(0, index=1), TypeError, "...multiple values for keyword "
                                                                "argument 'index'"),
        (lambda: bus.disconnect(0), TypeError, "disconnect() ...0 positional arguments (1 given)"),
        (lambda: ce.CyBus(n=2), TypeError, "__cinit__() ...2 positional arguments (1 given)"),
        (lambda: ce.CyBus(1, None, 5), TypeError, "__cinit__() ...2 positional arguments (3 given)"),
        (lambda: ce.CySwitch(1).connect_side([], [(0, 0)], True), TypeError, "Argument 'element' "
         "has incorrect type (expected tarvelo.cy_engine.CyElement, got list)"),
        (lambda: ce.CyNewton(None, True), TypeError, "Argument 'network' has incorrect type "
         "(expected tarvelo.cy_engine.CyElectricalNetwork, got NoneType)"),
        (lambda: ce.CyBus("2", None), TypeError, "an integer is required"),
        (lambda: ce.CyBus(2**31, None), OverflowError, too_large),
        (lambda: bus.get_port_potential(-2**31 - 1), OverflowError, too_large),
        (lambda: ce.CyPowerLoad(2, carray([0])).update_power("3"), TypeError,
         "must be real number, not str"),
        (lambda: ce.CyElectricalNetwork(objects(ce.CyLoad()), 1), TypeError,  # a base class's
         "elements[0] holds no engine object (an instance of a base class)"),
        (lambda: pickle.dumps(ce.CyTransformer()), TypeError, "self.element cannot be ...")])
    for beginning, side in [(None, 1), ([], 1), ([0], 0)]:  # bool: side 1 is the beginning
        (switch := ce.CySwitch(1)).connect_side(ce.CyBus(1, carray([7])), [(0, 0)], beginning)
        assert switch.get_side_potentials(1, 1)[side][0] == 7


def test_buffer_arguments_and_result_arrays():
    read_only = np.zeros(2, complex)
    read_only.flags.writeable = False
    assert_refusals([(lambda value=value: ce.CyBus(2, value), error, message)
                     for value, error, message in [
        (np.zeros(2), ValueError, "...dtype mismatch, expected 'double complex' but got 'double'"),
        (np.zeros((2, 2), complex), ValueError, "...number of dimensions (expected 1, got 2)"),
        (np.zeros(4, complex)[::2], ValueError, None),  # not C-contiguous
        ([1j, 2j], TypeError, None),  # a list offers no buffer
        (read_only, ValueError, "...read-only..."),
        (np.zeros(2, ">c16"), ValueError, "Big-endian buffer not supported on little-endian ..."),
        (np.zeros(1, complex), ValueError, "potentials: expected at least 2 values, got 1"),
        (None, ValueError, "potentials: expected at least 2 values, got 0"),
    ]] + [(lambda value=value: ce.CyBus(1, carray([0])).connect_ports(value), ValueError, message)
          for value, message in [
        (np.zeros(1, np.int64), "Item size of buffer (8 bytes) does not match size of 'int' (4..."),
        (np.zeros(1, [("a", "i4")]), "Buffer dtype mismatch, expected 'int' but got 'T{i:a:}'")]])
    # Longer arrays are accepted; the engine copies what it keeps.
    potentials = carray([1, 2, 3, 99])
    bus = ce.CyBus(3, potentials)
    potentials[:] = 0
    np.testing.assert_array_equal(bus.get_potentials(3), [1, 2, 3])
    for result in (bus.get_potentials(2), *ce.CySwitch(2).get_side_currents(2, 1)):
        assert type(result) is np.ndarray and result.dtype == np.complex128 and result.ndim == 1
    assert bus.get_potentials(0).shape == (0,) and bus.get_currents(2).shape == (2,)
    assert_refusals([(lambda: bus.get_potentials(-1), ValueError, "...negative dimensions...")])


# ---- Python code run in the middle of a call ----

class Hooked(np.ndarray):
    # An array whose buffer runs Python code first (a class may define __buffer__).
    def __buffer__(self, flags):
        self.hook()
        return super().__buffer__(flags)


def hooked(array, hook):
    array = array.view(Hooked)
    array.hook = hook
    return array


REUSED = []


def pull_away(array, fill):
    # Moves the items of `array` to new memory (NumPy frees the old memory, exported or not) and
    # has the old memory handed out again holding `fill`: whoever still reads or writes through a
    # pointer taken before meets another array. Arrays of a kilobyte and more come from the C
    # allocator, which hands the block just freed out first.
    size = array.size
    array.resize(size + 100_000, refcheck=False)
    array[:] = fill
    REUSED.append(np.full(size, fill, dtype=array.dtype))


def line_jacobian(line):  # source ─ bus1 ─ line ─ bus2 ─ load, one conductor, at the start
    net = two_bus(line, 3, [(ce.CyPowerLoad(2, carray([4000 + 1000j])), 2)], [230], [(0, 0)],
                  [(0, 0)], lv_ref=True)
    net.join(net.pref, line, [(0, 2)])
    return ce.CyNewton(net.network(), False).get_jacobian()


def test_input_arrays_are_read_as_they_were_when_taken():
    # Each array is taken before the conversion or the buffer of a later argument, which may free
    # its memory: the engine reads the values the array held when it was taken.
    net, bare = four_wire(), ce.CyElement()
    elements = objects(*net.elements, *[None] * 128)

    class Count:
        def __index__(self):
            pull_away(elements, bare)
            return 7

    solve(net, lambda _: ce.CyNewton(ce.CyElectricalNetwork(elements, Count()), False))
    assert_kirchhoff(net)

    powers = carray(np.arange(1, 101))
    control = ce.CyControl("constant", 0, 0, 0, 0, 1, 1)
    parameter = ce.CyFlexibleParameter(control, control, ce.CyProjection("euclidean", 1, 1), 1, 0,
                                       0)
    load = ce.CyFlexibleLoad(2, powers, hooked(objects(parameter), lambda: pull_away(powers, 0)))
    assert load.get_powers(2)[0] == 1

    y = carray([2e-3j] * 64)
    line = ce.CyShuntLine(1, y, hooked(carray([0.05] * 64), lambda: pull_away(y, 0)))
    expected = line_jacobian(ce.CyShuntLine(1, carray([2e-3j]), carray([0.05])))
    np.testing.assert_array_equal(line_jacobian(line), expected)


def test_result_arrays_are_checked_whole_and_written_at_once(monkeypatch):
    bus = ce.CyBus(4, carray([1, 2, 3, 4]))
    switch = ce.CySwitch(4)
    switch.connect_side(bus, same(4), True)

    class Numpy:  # np replaced: its empty gives one item fewer than asked for, or, once moving,
        # moves the array it made before (the first result array) and makes room enough
        complex128, double, created, moving = np.complex128, np.double, [], False

        @staticmethod
        def empty(n, dtype):
            if not Numpy.moving:
                return np.empty(max(n - 1, 0), dtype=dtype)
            if Numpy.created:
                pull_away(Numpy.created[0], 0)
            Numpy.created.append(np.zeros(max(n, 64), dtype=dtype))
            return Numpy.created[-1]

    monkeypatch.delattr(ce, "np")  # looked up on each call, then among the built-ins
    assert_refusals([(lambda: bus.get_potentials(4), NameError, "name 'np' is not defined")])
    monkeypatch.setattr(ce, "np", Numpy, raising=False)
    # Every array is refused before the engine runs (for 5 values it would refuse the count).
    expected = "result: expected at least {} values, got {}"
    assert_refusals([
        (lambda: bus.get_potentials(4), ValueError, expected.format(4, 3)),
        (lambda: switch.get_side_potentials(5, 0), ValueError, expected.format(5, 4)),
        (lambda: switch.get_side_potentials(0, 5), ValueError, expected.format(5, 4)),
        (lambda: switch.get_side_currents(5, 0), ValueError, expected.format(5, 4)),
        (lambda: switch.get_side_currents(0, 5), ValueError, expected.format(5, 4))])
    # The second result array is made while the first is already made: moving the first then
    # leaves the module nothing freed to write into.
    Numpy.moving = True
    side1, side2 = switch.get_side_potentials(4, 4)
    assert side1 is Numpy.created[0] and side1[:4].tolist() == [1, 2, 3, 4]
