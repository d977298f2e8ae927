// The module's state: one per process, since the module is loaded into one interpreter only.
#pragma once

#include "refs.hpp"

namespace tarvelo::py {

struct ModuleState {
  Ref module;         // the one module object, once its exec step has started
  PyObject* globals;  // its namespace (borrowed from the module)
  Ref ndarray;        // numpy.ndarray, the class every result array must belong to
  Ref function_type;  // the class of the methods and of the module function
  Ref method_type;    // types.MethodType, handed to every function made (see Function)
  // Interned names of the result-array call: np.empty(n, dtype=np.<dtype>).
  Ref np_name;
  Ref empty_name;
  Ref complex128_name;
  Ref double_name;
  Ref dtype_keyword;  // the keyword-name tuple ("dtype",)
};

ModuleState& state();
// Forgets everything the exec step recorded (a failed import leaves nothing behind).
void clear_state();
// Refuses a call that needs what a failed import took with it (ImportError): a class, function
// or module that the import left behind may still make one.
[[noreturn, gnu::cold]] void refuse_after_failed_import();
// Whether `type` is, or derives from, a class that an import of this module made and that is not
// the module of the state: a failed import's, which code run during that import can keep.
bool of_failed_import(PyTypeObject* type);

}  // namespace tarvelo::py
