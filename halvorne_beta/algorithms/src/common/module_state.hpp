// What a module declares about itself, and the process-wide state of the one
// module object a shared library holds.
//
// The declaration lists are fixed arrays (a list longer than its bound does
// not compile, and nothing is allocated while the library loads); unused
// entries stay null and end the list.
#pragma once

#include <cstring>

#include "ref.hpp"

namespace frame {

struct FunctionDef;

inline constexpr int max_builtins = 16;
inline constexpr int max_imports = 8;
inline constexpr int max_types = 2;
inline constexpr int max_functions = 8;
inline constexpr int max_methods = 8;

// One import-time statement: `import module as bind_as` when `attribute` is
// null, else `from module import attribute` (bound as `bind_as`).
struct Import {
  const char* module = nullptr;
  const char* attribute = nullptr;
  const char* bind_as = nullptr;
};

// A native class of the module, with the methods placed in it at import. Its
// Python name is the module's qualified name followed by `name`.
struct TypeDef {
  PyTypeObject* type = nullptr;
  const char* name = nullptr;
  FunctionDef* methods[max_methods] = {};
};

struct ModuleDef {
  const char* import_name;     // "ombrel"
  const char* qualified_name;  // "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel"
  const char* source_file;     // shown in traceback entries
  const char* builtins[max_builtins];
  Import imports[max_imports];
  TypeDef types[max_types];
  FunctionDef* functions[max_functions];
};

// Names whose module binding the native code may stand in for while they
// still hold what the import bound: the imported names and the module's own
// functions.
inline constexpr int max_originals = max_imports + max_functions;

struct ModuleState {
  const ModuleDef* def = nullptr;
  // The one module object of this process and its namespace, both owned: a
  // function object outlives the module's entry in sys.modules and still
  // reads its names from here.
  PyObject* module = nullptr;
  PyObject* dict = nullptr;
  bool executed = false;
  int64_t interpreter = -1;
  PyTypeObject* ndarray = nullptr;
  PyObject* numpy = nullptr;  // the numpy module as imported
  const char* original_names[max_originals] = {};
  PyObject* original_values[max_originals] = {};
  PyObject* original_keys[max_originals] = {};  // interned names, for a lookup without a new string
  int original_count = 0;
  PyObject* traceback_codes = nullptr;  // qualified name -> code object of its traceback entries
  char type_names[max_types][256] = {};  // the qualified names of the module's types
};

inline ModuleState state;

// The current binding of a module-level name (then a builtin), as Python
// would resolve it; NameError when neither exists.
inline Ref global(const char* name) {
  PyObject* value = nullptr;
  if (state.dict != nullptr) {
    int found = PyDict_GetItemStringRef(state.dict, name, &value);
    if (found < 0) return Ref();
    if (found > 0) return Ref::steal(value);
  }
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins != nullptr) {
    int found = PyDict_GetItemStringRef(builtins, name, &value);
    if (found < 0) return Ref();
    if (found > 0) return Ref::steal(value);
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return Ref();
}

// True while `name` (an imported name or one of the module's own functions)
// is still bound to the object the import gave it.
inline bool is_original(const char* name) {
  if (state.dict == nullptr) return false;
  for (int i = 0; i < state.original_count; ++i) {
    if (state.original_names[i] == name || std::strcmp(state.original_names[i], name) == 0) {
      // Only the identity matters; a key of the caller's that fails to compare
      // with ours makes the name count as rebound (the Python path then
      // reports the failure when it looks the name up).
      PyObject* current = PyDict_GetItemWithError(state.dict, state.original_keys[i]);
      if (current == nullptr) PyErr_Clear();
      return current != nullptr && current == state.original_values[i];
    }
  }
  return false;
}

}  // namespace frame
