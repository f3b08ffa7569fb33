#include "chain_arguments.hpp"

#include <cstring>
#include <span>

#include <binding/result.hpp>

namespace varlix::engine {

bool sources_of(PyObject* list, std::size_t chains, std::vector<BitGeneratorSource>& out) {
  if (!PyList_Check(list) || static_cast<std::size_t>(PyList_Size(list)) != chains) {
    py::set_error(PyExc_ValueError, "one bit generator per chain is needed");
    return false;
  }
  for (std::size_t c = 0; c < chains; ++c) {
    BitGenerator* bits = nullptr;
    if (!BitGen::convert(PyList_GetItem(list, static_cast<Py_ssize_t>(c)), bits)) return false;
    out.emplace_back(*bits);
  }
  return true;
}

namespace {

const char* fault_name(ChainFault::Kind kind) {
  switch (kind) {
    case ChainFault::Kind::NotANumber: return "nan";
    case ChainFault::Kind::PositiveInfinity: return "inf";
    case ChainFault::Kind::OutsideSupport: return "outside";
    case ChainFault::Kind::GradientFailed: return "gradient";
    case ChainFault::Kind::GradientNotFinite: return "gradient_not_finite";
    case ChainFault::Kind::BadState: return "bad_state";
    case ChainFault::Kind::OutOfMemory: return "memory";
  }
  return "unknown";
}

struct Known {
  const char* signature;
  bool with_data;
  bool joint;
};

// `const double *` reads the same point: the chains pass a copy either way.
constexpr Known kKnown[] = {
    {"double (int, double *)", false, false},
    {"double (int, const double *)", false, false},
    {"double (int, double *, void *)", true, false},
    {"double (int, const double *, void *)", true, false},
    {"double (int, double *, double *)", false, true},
    {"double (int, double *, double *, void *)", true, true},
};

}  // namespace

bool compiled_log_density(PyObject* capsule, CompiledLogDensity& out) {
  if (!PyCapsule_CheckExact(capsule)) {
    py::set_error(PyExc_TypeError, "a compiled log-density is given as a capsule");
    return false;
  }
  const char* name = PyCapsule_GetName(capsule);
  void* code = PyCapsule_GetPointer(capsule, name);
  if (code == nullptr) return false;
  for (const Known& known : kKnown) {
    if (name == nullptr || std::strcmp(name, known.signature) != 0) continue;
    void* data = nullptr;
    if (known.with_data) {
      data = PyCapsule_GetContext(capsule);
      if (data == nullptr && PyErr_Occurred() != nullptr) return false;
    }
    out = CompiledLogDensity{code, data, known.with_data, known.joint};
    return true;
  }
  PyErr_Format(PyExc_ValueError, "a compiled log-density cannot have the signature '%s'", name == nullptr ? "" : name);
  return false;
}

PyObject* chain_result(const std::expected<void, ChainFault>& result) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (result) return Py_NewRef(Py_None);
  const ChainFault& fault = result.error();
  if (fault.kind == ChainFault::Kind::OutOfMemory) {
    return py::set_error(PyExc_MemoryError, "out of memory for the chains' working state");
  }
  const py::Ref point = py::Ref::steal(py::to_py(std::span<const double>(fault.point)));
  if (!point) return nullptr;
  return Py_BuildValue("(snO)", fault_name(fault.kind), static_cast<Py_ssize_t>(fault.chain), point.get());
}

}  // namespace varlix::engine
