#include "function.hpp"

#include <binding/error.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace varlix::engine {
namespace {

// The value of a failed call: the one in-band signal the core knows.
constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();

// The C signatures a LowLevelCallable may carry, as scipy spells them.
constexpr const char* kPlainSignature = "double (double)";
constexpr const char* kWithDataSignature = "double (double, void *)";

// The access flags of PyMemoryView_FromMemory (stable ABI since 3.3); the
// 3.10 limited headers do not define their names.
constexpr int kViewRead = 0x100;
constexpr int kViewWrite = 0x200;

// A memoryview over C memory the engine owns for the length of one call.
Ref view_of(const double* data, std::size_t count, int access) noexcept {
  // The view is read-only or writable as `access` says; the cast only
  // satisfies the C signature.
  return Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                            static_cast<Py_ssize_t>(count * sizeof(double)), access));
}

// Ends a view's access to engine memory before that memory goes away,
// keeping whatever exception is pending.
void release_view(const Ref& view) noexcept {
  if (!view) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  const Ref done = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!done) PyErr_WriteUnraisable(view.get());
  PyErr_Restore(type, value, traceback);
}

bool native_from(PyObject* spec, AnyFunction& out) {
  PyObject* capsule = PyTuple_GetItem(spec, 1);
  if (capsule == nullptr) return false;
  if (!PyCapsule_CheckExact(capsule)) {
    py::set_error(PyExc_TypeError, "a native function is given as a capsule");
    return false;
  }
  const char* name = PyCapsule_GetName(capsule);
  void* pointer = PyCapsule_GetPointer(capsule, name);
  if (pointer == nullptr) return false;
  // The whole spec holds the capsule, the user data and the callable they
  // came from, so it keeps the code alive.
  SharedCallable owner(Ref::borrow(spec));
  if (name != nullptr && std::strcmp(name, kPlainSignature) == 0) {
    out.emplace<NativeFn>(std::move(owner), reinterpret_cast<NativeFn::Plain>(pointer));
    return true;
  }
  if (name != nullptr && std::strcmp(name, kWithDataSignature) == 0) {
    // A LowLevelCallable keeps its user data as the capsule's context.
    void* data = PyCapsule_GetContext(capsule);
    if (data == nullptr && PyErr_Occurred() != nullptr) return false;
    out.emplace<NativeFn>(std::move(owner), reinterpret_cast<NativeFn::WithData>(pointer), data);
    return true;
  }
  PyErr_Format(PyExc_ValueError, "a native function must have the signature '%s' or '%s', not '%s'",
               kPlainSignature, kWithDataSignature, name == nullptr ? "" : name);
  return false;
}

bool is_kind(PyObject* tag, const char* name) {
  return PyUnicode_Check(tag) && PyUnicode_CompareWithASCIIString(tag, name) == 0;
}

// Sets the TypeError for a result that is not one number: what came back
// (None, an array's shape, a type's name) and where.
void refuse_result(PyObject* result, PyObject* x) {
  const Ref where = Ref::steal(x != nullptr ? PyUnicode_FromFormat("at x = %R", x)
                                            : PyUnicode_FromString("for one point"));
  const Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(result)), "__name__"));
  if (!name) return;  // out of memory: that error stays pending
  Ref what;
  if (result == Py_None) {
    what = Ref::steal(PyUnicode_FromString("None"));
  } else if (const Ref shape = Ref::steal(PyObject_GetAttrString(result, "shape")); shape) {
    what = Ref::steal(PyUnicode_FromFormat("an array of shape %R", shape.get()));
  } else {
    PyErr_Clear();
    what = Ref::steal(PyUnicode_FromFormat("a value of type %S", name.get()));
  }
  if (!where || !what) return;
  // Python's own phrase for the same fault ("must be real number, not list") ends the message.
  PyErr_Format(PyExc_TypeError, "the function returned %S %S; expected a single real number: must be real number, not %S",
               what.get(), where.get(), name.get());
}

// True for an object with a shape other than () (an array of values).
bool has_elements_shape(PyObject* result) {
  const Ref shape = Ref::steal(PyObject_GetAttrString(result, "shape"));
  if (!shape) {
    PyErr_Clear();
    return false;
  }
  return !PyTuple_Check(shape.get()) || PyTuple_Size(shape.get()) != 0;
}

}  // namespace

double float_result(const Ref& result, PyObject* x) noexcept {
  if (!result) return kFailed;
  PyObject* object = result.get();
  // Floats (NumPy's float64 among them) and ints are the common answers.
  if (PyFloat_Check(object) || PyLong_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    return value == -1.0 && PyErr_Occurred() != nullptr ? kFailed : value;
  }
  if (object == Py_None || PyUnicode_Check(object) || PyBytes_Check(object) || has_elements_shape(object)) {
    refuse_result(object, x);
    return kFailed;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return kFailed;
    PyErr_Clear();
    refuse_result(object, x);
    return kFailed;
  }
  return value;
}

double PyScalarFn::operator()(double x) const noexcept {
  if (PyErr_Occurred() != nullptr) return kFailed;
  const Ref argument = Ref::steal(PyFloat_FromDouble(x));
  if (!argument) return kFailed;
  return float_result(Ref::steal(PyObject_CallFunctionObjArgs(f_.get(), argument.get(), nullptr)), argument.get());
}

double PyVectorFn::operator()(double x) const noexcept {
  if (PyErr_Occurred() != nullptr) return kFailed;
  const Ref argument = Ref::steal(PyFloat_FromDouble(x));
  if (!argument) return kFailed;
  return float_result(Ref::steal(PyObject_CallFunctionObjArgs(f_.get(), argument.get(), nullptr)), argument.get());
}

void PyVectorFn::eval_batch(std::span<const double> x, std::span<double> y) const noexcept {
  if (x.empty()) return;
  bool ok = PyErr_Occurred() == nullptr;
  if (ok) {
    const Ref in = view_of(x.data(), x.size(), kViewRead);
    const Ref out = view_of(y.data(), y.size(), kViewWrite);
    Ref result;
    if (in && out) result = Ref::steal(PyObject_CallFunctionObjArgs(trampoline_.get(), in.get(), out.get(), nullptr));
    ok = static_cast<bool>(result);
    release_view(in);
    release_view(out);
  }
  if (!ok) std::fill(y.begin(), y.end(), kFailed);
}

bool Function::convert(PyObject* object, AnyFunction& out) {
  if (!PyTuple_Check(object) || PyTuple_Size(object) < 2) {
    return py::refuse_conversion(object, "function spec");
  }
  PyObject* tag = PyTuple_GetItem(object, 0);
  PyObject* first = PyTuple_GetItem(object, 1);
  if (is_kind(tag, "native") && PyTuple_Size(object) >= 3) return native_from(object, out);
  if (!PyCallable_Check(first)) return py::refuse_conversion(first, "callable");
  if (is_kind(tag, "scalar")) {
    out.emplace<PyScalarFn>(SharedCallable(Ref::borrow(first)));
    return true;
  }
  if (is_kind(tag, "vector") && PyTuple_Size(object) >= 3) {
    PyObject* trampoline = PyTuple_GetItem(object, 2);
    if (!PyCallable_Check(trampoline)) return py::refuse_conversion(trampoline, "callable");
    out.emplace<PyVectorFn>(SharedCallable(Ref::borrow(first)), SharedCallable(Ref::borrow(trampoline)));
    return true;
  }
  return py::refuse_conversion(object, "function spec");
}

bool OptionalFunction::convert(PyObject* object, AnyFunction& out) {
  if (object == Py_None) {
    out.emplace<NoFunction>();
    return true;
  }
  return Function::convert(object, out);
}

}  // namespace varlix::engine
