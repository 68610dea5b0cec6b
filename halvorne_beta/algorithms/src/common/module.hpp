// Module creation and execution (multi-phase initialisation).
//
// A shared library holds at most one module object per process, bound to the
// first interpreter that imports it. Creation returns that object again on a
// repeated import; execution runs the import-time steps once. A failed
// execution forgets the module, so the next import starts afresh.
#pragma once

#include <frameobject.h>

#include <cstdio>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>
#pragma GCC diagnostic pop

#include "function.hpp"
#include "module_state.hpp"

namespace frame {

namespace detail {

inline int copy_import_attribute(PyObject* import_record, PyObject* module, const char* from, const char* to, bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(import_record, from));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyObject_SetAttrString(module, to, value.get());
}

inline PyObject* create_new_module(PyObject* import_record) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter == -1) {
    state.interpreter = id;
  } else if (state.interpreter != id) {
    return raise(PyExc_ImportError,
                 "Interpreter change detected - this module can only be loaded into one interpreter per process.");
  }
  if (state.module != nullptr) return Py_NewRef(state.module);
  Ref name = Ref::steal(PyObject_GetAttrString(import_record, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_import_attribute(import_record, module.get(), "loader", "__loader__", false) < 0 ||
      copy_import_attribute(import_record, module.get(), "origin", "__file__", false) < 0 ||
      copy_import_attribute(import_record, module.get(), "parent", "__package__", false) < 0 ||
      copy_import_attribute(import_record, module.get(), "submodule_search_locations", "__path__", true) < 0)
    return nullptr;
  return module.release();
}

inline PyObject* create_module(PyObject* import_record, PyModuleDef*) {
  return guarded<PyObject*>(nullptr, [&] { return create_new_module(import_record); });
}

inline bool warn_on_version_mismatch() {
  int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, state.def->qualified_name, "does not match", major,
                          minor) == 0;
}

inline bool bind_numpy_interface() {
  if (_import_array() == 0) return true;
  PyObject* cause = PyErr_GetRaisedException();
  if (cause != nullptr) {
    PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import (%S)", cause);
    PyObject* import_error = PyErr_GetRaisedException();
    PyException_SetCause(import_error, cause);  // steals cause
    PyErr_SetRaisedException(import_error);
  } else {
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
  }
  return false;
}

inline bool ensure_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = nullptr;
  int found = PyDict_GetItemStringRef(modules, state.def->qualified_name, &present);
  Py_XDECREF(present);
  if (found < 0) return false;
  return found == 1 || PyDict_SetItemString(modules, state.def->qualified_name, module) == 0;
}

inline bool check_builtins() {
  PyObject* builtins = PyEval_GetBuiltins();
  for (const char* name : state.def->builtins) {
    if (name == nullptr) break;
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(builtins, name, &value);
    Py_XDECREF(value);
    if (found < 0) return false;
    if (found == 0) return fail(PyExc_NameError, "name '%s' is not defined", name);
  }
  return true;
}

// Checks a NumPy (or builtin) type against the size this module was compiled
// with. `strict` types may grow silently; the others warn when larger.
inline bool check_type_size(PyObject* owner, const char* module_name, const char* name, Py_ssize_t expected,
                            bool warn_if_larger, PyTypeObject** out) {
  Ref obj = Ref::steal(PyObject_GetAttrString(owner, name));
  if (!obj) return false;
  if (!PyType_Check(obj.get())) return fail(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
  Py_ssize_t size = reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
  if (size < expected) {
    return fail(PyExc_ValueError,
                "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got "
                "%zd from PyObject",
                module_name, name, expected, size);
  }
  if (size > expected && warn_if_larger &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                       "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd "
                       "from PyObject",
                       module_name, name, expected, size) < 0)
    return false;
  if (out != nullptr) *out = reinterpret_cast<PyTypeObject*>(obj.get());  // kept alive by numpy itself
  return true;
}

inline bool bind_numpy_types() {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!builtins || !numpy) return false;
  if (!check_type_size(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), true, nullptr)) return false;
  struct Entry {
    const char* name;
    Py_ssize_t size;
    bool warn;
  };
  const Entry entries[] = {
      {"dtype", sizeof(PyArray_Descr), false},          {"flatiter", sizeof(PyArrayIterObject), false},
      {"broadcast", sizeof(PyArrayMultiIterObject), false}, {"ndarray", sizeof(PyArrayObject), false},
      {"generic", sizeof(PyObject), true},              {"number", sizeof(PyObject), true},
      {"integer", sizeof(PyObject), true},              {"signedinteger", sizeof(PyObject), true},
      {"unsignedinteger", sizeof(PyObject), true},      {"inexact", sizeof(PyObject), true},
      {"floating", sizeof(PyObject), true},             {"complexfloating", sizeof(PyObject), true},
      {"flexible", sizeof(PyObject), true},             {"character", sizeof(PyObject), true},
      {"ufunc", sizeof(PyUFuncObject), false},
  };
  for (const Entry& e : entries) {
    PyTypeObject* type = nullptr;
    if (!check_type_size(numpy.get(), "numpy", e.name, e.size, e.warn, &type)) return false;
    if (std::strcmp(e.name, "ndarray") == 0) state.ndarray = type;
  }
  Py_XSETREF(state.numpy, numpy.release());
  return true;
}

// Records what `name` holds now as its original binding (a second import of
// the same name replaces the first record).
inline bool remember_original(const char* name) {
  PyObject* value = PyDict_GetItemString(state.dict, name);
  if (value == nullptr) return true;
  int slot = 0;
  while (slot < state.original_count && std::strcmp(state.original_names[slot], name) != 0) ++slot;
  if (slot == max_originals) return fail(PyExc_SystemError, "too many original names in module %s", state.def->import_name);
  PyObject* key = PyUnicode_InternFromString(name);
  if (key == nullptr) return false;
  if (slot == state.original_count) ++state.original_count;
  state.original_names[slot] = name;
  Py_XSETREF(state.original_keys[slot], key);
  Py_XSETREF(state.original_values[slot], Py_NewRef(value));
  return true;
}

inline bool run_import(const Import& statement) {
  Ref value;
  if (statement.attribute == nullptr) {
    value = Ref::steal(PyImport_ImportModule(statement.module));
  } else {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", statement.attribute));
    if (!fromlist) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevel(statement.module, state.dict, nullptr, fromlist.get(), 0));
    if (!module) return false;
    value = Ref::steal(PyObject_GetAttrString(module.get(), statement.attribute));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", statement.attribute, statement.module);
    }
  }
  if (!value) return false;
  if (PyDict_SetItemString(state.dict, statement.bind_as, value.get()) < 0) return false;
  return remember_original(statement.bind_as);
}

// Readies the module's types, each named after the module ("<qualified name>.GraphWrapper").
inline bool ready_types(PyObject* module) {
  for (int i = 0; i < max_types && state.def->types[i].type != nullptr; ++i) {
    const TypeDef& t = state.def->types[i];
    int written = std::snprintf(state.type_names[i], sizeof state.type_names[i], "%s.%s", state.def->qualified_name,
                                t.name);
    if (written < 0 || size_t(written) >= sizeof state.type_names[i]) {
      return fail(PyExc_SystemError, "type name %s.%s too long", state.def->qualified_name, t.name);
    }
    if (!(t.type->tp_flags & Py_TPFLAGS_READY)) t.type->tp_name = state.type_names[i];
    if (PyType_Ready(t.type) < 0) return false;
    if (PyModule_AddObjectRef(module, t.name, reinterpret_cast<PyObject*>(t.type)) < 0) return false;
  }
  return true;
}

inline bool place_methods() {
  for (int i = 0; i < max_types && state.def->types[i].type != nullptr; ++i) {
    const TypeDef& t = state.def->types[i];
    Ref dict = Ref::steal(PyType_GetDict(t.type));
    if (!dict) return false;
    for (FunctionDef* m : t.methods) {
      if (m == nullptr) break;
      Ref method = Ref::steal(make_function(m, t.type, t.name));
      if (!method || PyDict_SetItemString(dict.get(), m->name, method.get()) < 0) return false;
    }
    PyType_Modified(t.type);
  }
  return true;
}

// The module's functions, each also remembered as the original binding of its name.
inline bool add_functions(PyObject* module) {
  for (FunctionDef* f : state.def->functions) {
    if (f == nullptr) break;
    Ref function = Ref::steal(make_function(f, nullptr, nullptr));
    if (!function || PyModule_AddObjectRef(module, f->name, function.get()) < 0) return false;
    if (!remember_original(f->name)) return false;
  }
  return true;
}

inline bool execute_steps(PyObject* module) {
  if (PyObject_SetAttrString(module, "__builtins__", PyEval_GetBuiltins() ? PyImport_AddModule("builtins") : nullptr) < 0)
    return false;
  if (!warn_on_version_mismatch()) return false;
  if (!bind_numpy_interface()) return false;
  if (!ensure_in_sys_modules(module)) return false;
  if (!check_builtins()) return false;
  if (PyType_Ready(&function_type) < 0 || !ready_types(module)) return false;
  if (!bind_numpy_types()) return false;
  for (const Import& statement : state.def->imports) {
    if (statement.module == nullptr) break;
    if (!run_import(statement)) return false;
  }
  if (!place_methods() || !add_functions(module)) return false;
  Ref test = Ref::steal(PyDict_New());
  return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

inline void forget_module() {
  for (int i = 0; i < state.original_count; ++i) {
    Py_CLEAR(state.original_values[i]);
    Py_CLEAR(state.original_keys[i]);
  }
  state.original_count = 0;
  state.dict = nullptr;
  state.executed = false;
  Py_CLEAR(state.module);
}

inline int execute_module(PyObject* module) {
  if (state.executed) {
    if (module == state.module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", state.def->import_name);
    return -1;
  }
  // Owned from here on: the module lives as long as the process (or until a
  // failed execution forgets it).
  Py_XSETREF(state.module, Py_NewRef(module));
  state.dict = PyModule_GetDict(module);
  if (guarded<bool>(false, [&] { return execute_steps(module); })) {
    state.executed = true;
    return 0;
  }
  if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", state.def->qualified_name);
  add_traceback_format("init %s", state.def->qualified_name);
  forget_module();
  return -1;
}

inline int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] { return execute_module(module); });
}

inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace detail

// The PyInit_ body: hands out the module definition for multi-phase init.
inline PyObject* module_init(const ModuleDef& def, PyModuleDef* module_def) {
  state.def = &def;
  module_def->m_name = def.import_name;
  module_def->m_doc = nullptr;
  module_def->m_size = 0;
  module_def->m_methods = nullptr;
  module_def->m_slots = detail::module_slots;
  return PyModuleDef_Init(module_def);
}

}  // namespace frame

// Defines the module's only exported symbol.
#define FRAME_MODULE(import_name, definition)                                \
  static PyModuleDef import_name##_module_def = {PyModuleDef_HEAD_INIT};     \
  PyMODINIT_FUNC PyInit_##import_name(void) {                                \
    return frame::module_init(definition, &import_name##_module_def);        \
  }
