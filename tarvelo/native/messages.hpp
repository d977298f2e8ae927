// Every text of the extension module, written once.
#pragma once

namespace tarvelo::py::messages {

// ---- start-up ----
inline constexpr const char* module_name = "tarvelo.cy_engine";
inline constexpr const char* module_short_name = "cy_engine";
inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr const char* already_imported =
    "Module 'cy_engine' has already been imported. Re-initialisation is not supported.";
inline constexpr const char* version_mismatch =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr const char* was_newer_than = "was newer than";
inline constexpr const char* pickling_setup_failed = "Unable to initialize pickling for %U";
inline constexpr const char* init_failed = "init tarvelo.cy_engine";
inline constexpr const char* unknown_base_class = "%s: base class %s is not defined before it";
// What a failed import leaves behind: a call that needs the module state, and the name of one of
// its classes in a message.
inline constexpr const char* import_failed =
    "the import of tarvelo.cy_engine failed; this call needs a successful one";
inline constexpr const char* class_of_failed_import =
    "%U.%U of a failed import of tarvelo.cy_engine";

// ---- function objects ----
inline constexpr const char* function_type_name = "tarvelo.cy_engine.function";
inline constexpr const char* function_repr = "<function %U at %p>";
inline constexpr const char* unbound_needs_argument = "unbound method %U() needs an argument";
inline constexpr const char* self_name = "self";
// The instance in a text signature: given by position only.
inline constexpr const char* positional_self = "$self, /";

// ---- NumPy ----
inline constexpr const char* not_a_type_object = "%.200s.%.200s is not a type object";
inline constexpr const char* size_changed =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
    "header, got %zd from PyObject";
inline constexpr const char* numpy_import_failed = "numpy._core.multiarray failed to import";

// ---- pickling ----
inline constexpr const char* element_not_picklable =
    "self.element cannot be converted to a Python object for pickling";
inline constexpr const char* solver_not_picklable =
    "self.solver cannot be converted to a Python object for pickling";
inline constexpr const char* no_default_reduce =
    "no default __reduce__ due to non-trivial __cinit__";

// ---- argument binding ----
inline constexpr const char* constructor_name = "__cinit__";
inline constexpr const char* wrong_arity =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* exactly = "exactly";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* keywords_must_be_strings = "%.200s() keywords must be strings";

// ---- scalar arguments ----
inline constexpr const char* int_too_large = "value too large to convert to int";
inline constexpr const char* integer_required = "an integer is required";
inline constexpr const char* not_a_string = "%s: expected str, bytes or bytearray, got %U";

// ---- typed arguments and wrapper objects ----
inline constexpr const char* incorrect_type =
    "Argument '%.200s' has incorrect type (expected %U, got %U)";
inline constexpr const char* bare_instance =
    "%U holds no engine object (an instance of a base class)";
inline constexpr const char* bare_argument =
    "Argument '%.200s' holds no engine object (an instance of a base class)";
inline constexpr const char* wrong_engine_object =
    "%U does not hold the engine object that this method needs";

// ---- buffers ----
inline constexpr const char* wrong_dimensions =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* dtype_mismatch = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* big_endian =
    "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* item_size_mismatch =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr const char* not_contiguous = "Buffer not C contiguous.";
inline constexpr const char* too_few_values = "%s: expected at least %zd value%s, got %zd";
inline constexpr const char* too_many_values = "%s: expected at most %zd values, got %zd";

// ---- object arrays ----
inline constexpr const char* negative_count = "%s: expected a count of at least 0, got %d";
inline constexpr const char* entry_incorrect_type = "%s[%zd]: expected %U, got %U";
inline constexpr const char* entry_bare_instance =
    "%s[%zd] holds no engine object (an instance of a base class)";

// ---- results ----
inline constexpr const char* name_not_defined = "name '%U' is not defined";
inline constexpr const char* cannot_convert = "Cannot convert %U to %U";

// ---- connections ----
inline constexpr const char* too_many_to_unpack = "too many values to unpack (expected %zd)";
inline constexpr const char* need_more_to_unpack = "need more than %zd value%.1s to unpack";

// ---- records and counts ----
inline constexpr const char* single_value_on_several =
    "%.200s(): expected an element holding at most one value, this one holds %zd";
inline constexpr const char* count_below_phases = "%s: expected at least %zd, got %d";

// ---- flexible loads ----
inline constexpr const char* count_below_ports =
    "%s: expected at least the load's port count %zd, got %d";

// ---- exception translation ----
inline constexpr const char* unknown_exception = "Unknown exception";

}  // namespace tarvelo::py::messages
