// The module's front door: the exported init function, the module definition
// and the execution step that registers the classes and functions.
#include "py/binding.h"
#include "py/collector_pause.h"
#include "py/detached.h"
#include "py/node.h"
#include "py/node_map.h"
#include "py/search_type.h"
#include "storage/process.h"
#include "storage/raw_memory.h"
#include "write/memory_limits.h"
#include "simd/simd.h"

namespace orvex::py {

namespace {

// Which vector backend this build carries, readable from the shared object's
// bytes (the aarch64 tests check for NEON); deliberately not on the Python
// surface.
#if defined(ORVEX_SIMD_NEON)
#define ORVEX_BACKEND_TAG "neon"
#elif defined(ORVEX_SIMD_SSE2)
#define ORVEX_BACKEND_TAG "sse2"
#else
#define ORVEX_BACKEND_TAG "scalar"
#endif
[[gnu::used]] const char kBuildInfo[] = "orvex-simd-backend=" ORVEX_BACKEND_TAG ";";

constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kFunctions[] = {
    {"read_file", as_cfunction(read_file), kFunctionFlags, "read_file(file_path, root_tag)\n--\n\n"},
    {"read_string", as_cfunction(read_string), kFunctionFlags, "read_string(xml_string, root_tag)\n--\n\n"},
    {"write_file", as_cfunction(write_file), kFunctionFlags,
     "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", as_cfunction(write_string), kFunctionFlags,
     "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
};

// Appends `name` to the module's __all__ (creating the list when missing) and
// sets the attribute. Steals nothing.
int add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!clear_if(PyExc_AttributeError)) return -1;
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    set_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, object);
}

int add_type(PyObject* module, PyTypeObject* type, const char* name) {
  Ref key(PyUnicode_FromString(name));
  if (!key) return -1;
  return add_to_module(module, key.get(), reinterpret_cast<PyObject*>(type));
}

// What the module keeps for the life of the process, made by the first
// execution (a later one finds it made): the hooks the core calls, the two
// classes, and the strings used on every call.
bool make_process_state() {
  // Locks and caches of the whole process, safe across fork() from here on.
  prepare_process();
  prepare_deferred_releases();
  prepare_collector_pause();
  (void)physical_memory();  // asked once: made now, not in a thread that may fork meanwhile
  set_py_release_hook(release_py_object);
  // The reader's bulk memory from the raw allocator: no interpreter needed
  // (the reader allocates detached), and tracemalloc still sees it.
  set_raw_memory({PyMem_RawMalloc, PyMem_RawFree});
  return make_binding_strings() && make_dict_keys() && make_search_type() && make_node_type();
}

int exec_module(PyObject* module) {
  if (!make_process_state()) return -1;
  if (add_type(module, search_type(), "SearchType") < 0) return -1;
  if (add_type(module, node_type(), "Node") < 0) return -1;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : kFunctions) {
    Ref fn(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!fn) return -1;
    Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || add_to_module(module, name.get(), fn.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes and caches are the process's, made once: an interpreter
    // that shares the main one's lock and allocator (a legacy
    // subinterpreter) may use them; an isolated one, with a lock of its own,
    // is refused at import.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "orvex",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace orvex::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_orvex() {
  return PyModuleDef_Init(&orvex::py::kDefinition);
}
