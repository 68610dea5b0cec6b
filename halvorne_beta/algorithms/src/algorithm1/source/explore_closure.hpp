// recursive_explore: the function object each explore_graph_recursive call
// makes, holding that call's connections_sparse. Calling it runs the chained
// searches of chained_search.hpp into the given `visited_paths` list.
#pragma once

#include "chained_search.hpp"

namespace {

// The chained searches from `start` appended to the list `visited`.
inline bool explore_into(PyObject* connections, int start, int bomb, PyObject* visited, PyObject* labels) {
  Labels L;
  if (!L.take(labels, false)) return false;
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, true);
  ListOut out{visited, Ref()};
  return chain(s, start, bomb, out);
}

struct Closure {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* connections;
};

constexpr const char* recursive_explore_qualname = "explore_graph_recursive.<locals>.recursive_explore";

inline PyObject* closure_body(PyObject* self, Args& a) {
  if (!explore_into(reinterpret_cast<Closure*>(self)->connections, a.integer("current_start"), a.integer("bomb_node"),
                    a.object("visited_paths"), a.object("labels")))
    return nullptr;
  Py_RETURN_NONE;
}

// Its parameters, prepared on the first call (a failed attempt is tried
// again on the next one).
inline FunctionDef recursive_explore_def{
    "recursive_explore",
    {{"current_start", as_int},
     {"bomb_node", as_int},
     {"visited_paths", not_none(exactly(&PyList_Type))},
     {"labels", not_none(as_ndarray)}},
    nullptr,
    closure_body};

// The qualified name of its traceback entries, made once (not kept when it fails).
inline PyObject* traceback_name() {
  static PyObject* name = nullptr;
  if (name != nullptr) return name;
  PyObject* exc = PyErr_GetRaisedException();
  name = PyUnicode_FromFormat("%s.%s", state.def->qualified_name, recursive_explore_qualname);
  PyErr_Clear();  // without a name the entry is left out; the exception being raised stays
  PyErr_SetRaisedException(exc);
  return name;
}

inline PyObject* closure_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* bound[4];
  FunctionDef& def = recursive_explore_def;
  PyObject* result = nullptr;
  if (def.prepare() && bind(def, def.name, args, PyVectorcall_NARGS(nargsf), kwnames, bound))
    result = run_body(def, self, bound);
  if (result == nullptr) add_traceback(traceback_name());
  return result;
}

inline int closure_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<Closure*>(self)->connections);
  Py_VISIT(Py_TYPE(self));
  return 0;
}
inline int closure_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Closure*>(self)->connections);
  return 0;
}
inline void closure_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  closure_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}
inline PyObject* closure_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %s at %p>", recursive_explore_qualname, self);
}
inline PyObject* closure_name(PyObject*, void*) { return PyUnicode_FromString("recursive_explore"); }
inline PyObject* closure_qualname(PyObject*, void*) { return PyUnicode_FromString(recursive_explore_qualname); }
inline PyObject* closure_module(PyObject*, void*) { return PyUnicode_FromString(state.def->qualified_name); }
inline PyObject* closure_doc(PyObject*, void*) { return Py_NewRef(Py_None); }

inline PyGetSetDef closure_getset[] = {
    {"__name__", closure_name, nullptr, nullptr, nullptr},
    {"__qualname__", closure_qualname, nullptr, nullptr, nullptr},
    {"__module__", closure_module, nullptr, nullptr, nullptr},
    {"__doc__", closure_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef closure_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Closure, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot closure_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(closure_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(closure_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(closure_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(closure_clear)},
    {Py_tp_getset, closure_getset},
    {Py_tp_members, closure_members},
    {0, nullptr},
};

inline PyType_Spec closure_spec{
    "native_closure", sizeof(Closure), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    closure_slots};

// The closure type, made on first use. A heap type, because a failed
// PyType_Ready leaves a static type half-ready, and readying it again
// crashes; a failed PyType_FromSpec leaves nothing, and is tried again.
inline PyTypeObject* closure_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  type = PyType_FromSpec(&closure_spec);
  // CPython 3.13 can fail an allocation here without raising
  if (type == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
  return reinterpret_cast<PyTypeObject*>(type);
}

inline Ref make_closure(PyObject* connections) {
  PyTypeObject* type = closure_type();
  if (type == nullptr) return Ref();
  Closure* c = PyObject_GC_New(Closure, type);
  if (c == nullptr) return Ref();
  // PyObject_GC_New took the reference to the type that each instance of a
  // heap type holds; closure_dealloc gives it back.
  c->vectorcall = closure_call;
  c->connections = Py_NewRef(connections);
  PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

}  // namespace
