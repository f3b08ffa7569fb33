// The varlix._engine extension: module initialization, the SetupError
// class, and the argument kinds every family shares.
#include "engine.hpp"

#include <cstring>

namespace varlix::engine {
namespace {

PyObject* g_setup_error = nullptr;  // the class, made once per process

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "varlix._engine",
    "The compiled engine of the varlix package (private: use varlix.sampling).",
    // Not -1: a repeated import must reach PyInit__engine and be refused
    // there, as the type objects belong to the first initialization.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// One entry per family; a new family adds its register function here.
using Register = bool (*)(PyObject*);
constexpr Register kFamilies[] = {
    register_setup_error,
    register_sampling,
    register_distributions,
    register_mcmc,
};

PyObject* initialize() {
  static bool attempted = false;
  static PyObject* module = nullptr;
  if (attempted) return py::set_error(PyExc_ImportError, "varlix._engine can be initialized only once per process");
  attempted = true;
  py::set_extension_name("varlix._engine");
  py::Ref created = py::Ref::steal(PyModule_Create(&g_module_def));
  if (!created) return nullptr;
  for (const Register add : kFamilies) {
    if (!add(created.get())) return nullptr;
  }
  module = created.release();  // kept for the life of the process
  return Py_NewRef(module);
}

}  // namespace

bool register_setup_error(PyObject* module) {
  if (g_setup_error == nullptr) {
    g_setup_error = PyErr_NewExceptionWithDoc("varlix._engine.SetupError",
                                              "A generator could not be set up from the given distribution.",
                                              PyExc_RuntimeError, nullptr);
    if (g_setup_error == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "SetupError", g_setup_error) == 0;
}

PyObject* setup_error_class() { return g_setup_error; }

PyObject* raise_setup_error(const SetupError& error) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (error.kind() == SetupError::Kind::OutOfMemory) {
    return py::set_error(PyExc_MemoryError, "out of memory building the generator's table");
  }
  return py::set_error(g_setup_error, error.message());
}

bool BitGen::convert(PyObject* object, BitGenerator*& out) {
  if (!PyCapsule_CheckExact(object)) return py::refuse_conversion(object, "BitGenerator capsule");
  out = static_cast<BitGenerator*>(PyCapsule_GetPointer(object, "BitGenerator"));
  return out != nullptr;
}

PyObject* bytes_of(std::span<const double> words) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words.data()),
                                   static_cast<Py_ssize_t>(words.size() * sizeof(double)));
}

bool Words::convert(PyObject* object, std::vector<double>& out) {
  if (!PyBytes_Check(object)) return py::refuse_conversion(object, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) return false;
  if (size % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
    py::set_error(PyExc_ValueError, "a stored table is a whole number of 8-byte words");
    return false;
  }
  out.resize(static_cast<std::size_t>(size) / sizeof(double));
  // Copied, not viewed: bytes objects promise no alignment for doubles.
  std::memcpy(out.data(), data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace varlix::engine

PyMODINIT_FUNC PyInit__engine() { return varlix::py::guarded(varlix::engine::initialize); }
