// NumPy at start-up and the creation of result arrays.
#include "numpy.hpp"

#include <array>

#include "messages.hpp"

namespace tarvelo::py {

namespace {

// Slots of NumPy's native interface table (the `_ARRAY_API` capsule) that the check reads.
constexpr int kAbiVersionSlot = 0;
constexpr int kEndiannessSlot = 210;
constexpr int kFeatureVersionSlot = 211;
constexpr unsigned kNewestAbiVersion = 0x2000000;
constexpr unsigned kOldestFeatureVersion = 0x11;  // NumPy 1.25
constexpr int kLittleEndian = 1;

// The NumPy classes checked at start-up. The module reads nothing of their instances beyond
// the object header, so that is the size it needs; a scalar class that grew gets a warning.
constexpr std::array<const char*, 5> kObjectClasses{"dtype", "flatiter", "broadcast", "ndarray",
                                                    "ufunc"};
constexpr std::array<const char*, 10> kScalarClasses{
    "generic", "number",   "integer",         "signedinteger", "unsignedinteger",
    "inexact", "floating", "complexfloating", "flexible",      "character"};
constexpr Py_ssize_t kExpectedSize = sizeof(PyObject);

Ref fetch_class(PyObject* numpy, const char* name, bool warn_if_larger) {
  Ref cls = Ref::take(PyObject_GetAttrString(numpy, name));
  if (!PyType_Check(cls.get())) raise(PyExc_TypeError, messages::not_a_type_object, "numpy", name);
  const Ref size_object = Ref::take(PyObject_GetAttrString(cls.get(), "__basicsize__"));
  const Py_ssize_t size = PyLong_AsSsize_t(size_object.get());
  check(!(size == -1 && PyErr_Occurred() != nullptr));
  if (size < kExpectedSize) {
    raise(PyExc_ValueError, messages::size_changed, "numpy", name, kExpectedSize, size);
  }
  if (size > kExpectedSize && warn_if_larger) {
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 0, messages::size_changed, "numpy", name,
                           kExpectedSize, size) == 0);
  }
  return cls;
}

Ref import_numpy_module() {
  Ref numpy = Ref::take_optional(PyImport_ImportModule("numpy"));
  if (!numpy) raise(PyExc_ImportError, messages::numpy_import_failed);
  return numpy;
}

// NumPy's native interface: ABI not newer than ours, features at least NumPy 1.25's, and a
// little-endian build.
void check_native_interface() {
  Ref core = Ref::take_optional(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!core && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    core = Ref::take_optional(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  check(static_cast<bool>(core));
  const Ref capsule = Ref::take(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  check(table != nullptr);
  using VersionFunction = unsigned (*)();
  using EndiannessFunction = int (*)();
  const auto abi = reinterpret_cast<VersionFunction>(table[kAbiVersionSlot])();
  const auto features = reinterpret_cast<VersionFunction>(table[kFeatureVersionSlot])();
  const auto endianness = reinterpret_cast<EndiannessFunction>(table[kEndiannessSlot])();
  check(abi <= kNewestAbiVersion && features >= kOldestFeatureVersion &&
        endianness == kLittleEndian);
}

Ref intern(const char* text) {
  return Ref::take(PyUnicode_InternFromString(text));
}

}  // namespace

void import_numpy(PyObject* module) {
  {
    const Ref numpy = import_numpy_module();
    for (const char* name : kObjectClasses) {
      Ref cls = fetch_class(numpy.get(), name, false);
      if (std::string_view(name) == "ndarray") state().ndarray = std::move(cls);
    }
    for (const char* name : kScalarClasses) fetch_class(numpy.get(), name, true);
  }
  try {
    const Ref numpy = Ref::take(PyImport_ImportModule("numpy"));
    check(PyModule_AddObjectRef(module, "np", numpy.get()) == 0);
    check_native_interface();
  } catch (const PythonError&) {
    PyErr_Clear();
    raise(PyExc_ImportError, messages::numpy_import_failed);
  }
  ModuleState& s = state();
  s.np_name = intern("np");
  s.empty_name = intern("empty");
  s.complex128_name = intern("complex128");
  s.double_name = intern("double");
  s.dtype_keyword = Ref::take(PyTuple_Pack(1, intern("dtype").get()));
}

namespace {

// The state that result arrays need, set up with NumPy at import; none after a failed import.
const ModuleState& array_state() {
  const ModuleState& s = state();
  if (!s.dtype_keyword) refuse_after_failed_import();
  return s;
}

// The module attribute `np`, else the built-in of that name.
Ref lookup_np(const ModuleState& s) {
  PyObject* np = PyDict_GetItemWithError(s.globals, s.np_name.get());
  if (np != nullptr) return Ref::borrow(np);
  check(PyErr_Occurred() == nullptr);
  const Ref builtins = Ref::take(PyImport_ImportModule("builtins"));
  Ref found = Ref::take_optional(PyObject_GetAttr(builtins.get(), s.np_name.get()));
  if (!found) {
    PyErr_Clear();
    raise(PyExc_NameError, messages::name_not_defined, s.np_name.get());
  }
  return found;
}

}  // namespace

Ref new_array(Py_ssize_t n, Item item) {
  const ModuleState& s = array_state();
  const Ref np = lookup_np(s);
  const Ref empty = Ref::take(PyObject_GetAttr(np.get(), s.empty_name.get()));
  const Ref dtype = Ref::take(PyObject_GetAttr(
      np.get(), item == Item::complex_double ? s.complex128_name.get() : s.double_name.get()));
  const Ref length = Ref::take(PyLong_FromSsize_t(n));
  PyObject* call[] = {length.get(), dtype.get()};
  Ref array = Ref::take(PyObject_Vectorcall(empty.get(), call, 1, s.dtype_keyword.get()));
  if (!PyObject_TypeCheck(array.get(), reinterpret_cast<PyTypeObject*>(s.ndarray.get()))) {
    const Ref got = type_name(Py_TYPE(array.get()));
    const Ref expected = type_name(reinterpret_cast<PyTypeObject*>(s.ndarray.get()));
    raise(PyExc_TypeError, messages::cannot_convert, got.get(), expected.get());
  }
  return array;
}

}  // namespace tarvelo::py
