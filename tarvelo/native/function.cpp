// The function type: its attributes, its binding to an instance, the making of its objects and
// the refusals of a call without an instance or with one of another class.
#include "function.hpp"

#include <cstddef>
#include <string>

#include "convert.hpp"
#include "messages.hpp"
#include "state.hpp"

namespace tarvelo::py {

namespace {

const Function& function_of(PyObject* object) {
  return *reinterpret_cast<const Function*>(object);
}

// ---- the type's slots ----

// Looked up through an instance: a bound method; through the class: the function itself.
PyObject* bind(PyObject* function, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(function);
  PyObject* const args[] = {function, instance};
  return PyObject_Vectorcall(function_of(function).method_type, args, 2, nullptr);
}

// "($self, /, cy_element, connections)": the names that keyword calls accept, after the instance,
// which is taken by position only; inspect.signature and help() show them.
PyObject* text_signature(PyObject* object, void*) noexcept {
  return guarded([&] {
    const Signature& signature = *function_of(object).signature;
    std::string names = signature.takes_self ? messages::positional_self : "";
    for (std::size_t i = 0; i < signature.count; ++i) {
      if (!names.empty()) names += ", ";
      names += signature.arguments[i].text;
    }
    return Ref::take(PyUnicode_FromFormat("(%s)", names.c_str()));
  });
}

// __name__, read from the signature rather than kept in the object.
PyObject* name(PyObject* object, void*) noexcept {
  return PyUnicode_InternFromString(function_of(object).signature->function.text);
}

// Pickled by reference, as its qualified name in the module.
PyObject* reduce(PyObject* object, PyObject*) noexcept {
  return Py_NewRef(function_of(object).qualname);
}

PyObject* represent(PyObject* object) noexcept {
  return PyUnicode_FromFormat(messages::function_repr, function_of(object).qualname, object);
}

// Never cleared: a function reached from a finalizer still has its class.
int traverse(PyObject* object, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(function_of(object).owner);
  return 0;
}

void deallocate(PyObject* object) noexcept {
  PyObject_GC_UnTrack(object);
  const Function& function = function_of(object);
  for (PyObject* held : {function.owner, function.qualname, function.doc, function.method_type})
    Py_XDECREF(held);
  PyTypeObject* type = Py_TYPE(object);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
  Py_DECREF(type);
}

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef attributes[] = {{"__name__", &name, nullptr, nullptr, nullptr},
                            {"__text_signature__", &text_signature, nullptr, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef methods[] = {{"__reduce__", &reduce, METH_NOARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};

PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
                       {Py_tp_descr_get, reinterpret_cast<void*>(&bind)},
                       {Py_tp_repr, reinterpret_cast<void*>(&represent)},
                       {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate)},
                       {Py_tp_members, members},
                       {Py_tp_getset, attributes},
                       {Py_tp_methods, methods},
                       {0, nullptr}};

// A method descriptor to the interpreter (called unbound, with the instance first), called
// through the vector call, made only by the module.
PyType_Spec description = {messages::function_type_name, sizeof(Function), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                               Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           slots};

Ref make_function(const FunctionDef& def, PyObject* owner, const Ref& qualname) {
  auto* type = reinterpret_cast<PyTypeObject*>(state().function_type.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::take(alloc(type, 0));
  Ref doc = Ref::take(PyUnicode_FromString(def.doc));
  auto* function = reinterpret_cast<Function*>(object.get());
  function->vectorcall = def.entry;
  function->owner = Py_NewRef(owner);
  function->signature = def.signature;
  function->qualname = Py_NewRef(qualname.get());
  function->doc = doc.release();
  function->method_type = Py_NewRef(state().method_type.get());
  return object;
}

Ref name_of(const FunctionDef& def) {
  return Ref::take(PyUnicode_InternFromString(def.signature->function.text));
}

}  // namespace

namespace detail {

PyObject* refuse_missing_self(const Function& function) noexcept {
  PyErr_Format(PyExc_TypeError, messages::unbound_needs_argument, function.qualname);
  return nullptr;
}

PyObject* refuse_self(const Function& function, PyObject* self) noexcept {
  return guarded([&]() -> Ref {
    raise(PyExc_TypeError, messages::incorrect_type, messages::self_name,
          type_name(reinterpret_cast<PyTypeObject*>(function.owner)).get(),
          type_name(Py_TYPE(self)).get());
  });
}

}  // namespace detail

void create_function_type(PyObject* module) {
  const Ref types = Ref::take(PyImport_ImportModule("types"));
  state().method_type = Ref::take(PyObject_GetAttrString(types.get(), "MethodType"));
  state().function_type = Ref::take(PyType_FromMetaclass(nullptr, module, &description, nullptr));
}

void add_method(PyTypeObject* cls, const FunctionDef& def) {
  const Ref name = name_of(def);
  const Ref class_name = Ref::take(PyType_GetQualName(cls));
  const Ref qualname = Ref::take(PyUnicode_FromFormat("%U.%U", class_name.get(), name.get()));
  const Ref method = make_function(def, reinterpret_cast<PyObject*>(cls), qualname);
  check(PyObject_SetAttr(reinterpret_cast<PyObject*>(cls), name.get(), method.get()) == 0);
}

void add_module_function(PyObject* module, const FunctionDef& def) {
  const Ref name = name_of(def);
  const Ref function = make_function(def, module, name);
  check(PyObject_SetAttr(module, name.get(), function.get()) == 0);
}

}  // namespace tarvelo::py
