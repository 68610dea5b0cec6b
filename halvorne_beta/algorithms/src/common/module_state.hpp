// What a module declares about itself, and the process-wide state of the one
// module object a shared library holds.
#pragma once

#include <cstring>
#include <vector>

#include "ref.hpp"

namespace frame {

struct FunctionDef;

// One import-time statement: `import module as bind_as` when `attribute` is
// null, else `from module import attribute` (bound as `bind_as`).
struct Import {
  const char* module;
  const char* attribute;
  const char* bind_as;
};

// A native class of the module, with the methods placed in it at import.
struct TypeDef {
  PyTypeObject* type;
  const char* name;
  std::vector<FunctionDef*> methods;
};

struct ModuleDef {
  const char* import_name;     // "ombrel"
  const char* qualified_name;  // "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel"
  const char* source_file;     // shown in traceback entries
  std::vector<const char*> builtins;
  std::vector<Import> imports;
  std::vector<TypeDef> types;
  std::vector<FunctionDef*> functions;
};

// Names whose module binding the native code may stand in for while they
// still hold what the import bound.
inline constexpr int max_originals = 16;

struct ModuleState {
  const ModuleDef* def = nullptr;
  PyObject* module = nullptr;  // the one module object of this process
  PyObject* dict = nullptr;
  bool executed = false;
  int64_t interpreter = -1;
  PyTypeObject* ndarray = nullptr;
  PyObject* numpy = nullptr;  // the numpy module as imported
  const char* original_names[max_originals] = {};
  PyObject* original_values[max_originals] = {};
  PyObject* original_keys[max_originals] = {};  // interned names, for a lookup without a new string
  int original_count = 0;
};

inline ModuleState state;

// The current binding of a module-level name (then a builtin), as Python
// would resolve it; NameError when neither exists.
inline Ref global(const char* name) {
  PyObject* value = nullptr;
  if (state.dict != nullptr && PyDict_GetItemStringRef(state.dict, name, &value) != 0) return Ref::steal(value);
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins != nullptr && PyDict_GetItemStringRef(builtins, name, &value) != 0) return Ref::steal(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return Ref();
}

// True while `name` is still bound to the object the import gave it.
inline bool is_original(const char* name) {
  for (int i = 0; i < state.original_count; ++i) {
    if (state.original_names[i] == name || std::strcmp(state.original_names[i], name) == 0) {
      PyObject* current = PyDict_GetItemWithError(state.dict, state.original_keys[i]);  // str key: cannot raise
      return current != nullptr && current == state.original_values[i];
    }
  }
  return false;
}

}  // namespace frame
