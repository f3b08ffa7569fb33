// _varlix_testing: a probe module for the binding's own tests, built beside
// _varlix in development builds and never installed. It reaches the argument
// binder, the class helper and the callable adaptors directly, before (and
// beside) the public classes that use them.
#include <concepts>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <binding/array.hpp>
#include <binding/binder.hpp>
#include <binding/error.hpp>
#include <binding/pyclass.hpp>
#include <binding/result.hpp>

#include <multivar/copula.hpp>
#include <multivar/factor.hpp>
#include <multivar/gibbs.hpp>

// Relative paths: python/reproducible is not an include directory.
#include "../../reproducible/adaptors.hpp"
#include "../../reproducible/core_errors.hpp"
#include "../../reproducible/point_batch.hpp"
#include "../../reproducible/seed.hpp"
#include "../../reproducible/tdr_transform.hpp"

namespace varlix::py {

// The adaptors fit the interfaces the core templates are written against.
static_assert(std::regular_invocable<const PyFloatFn&, double>);
static_assert(QuantileFunction<PyPpfFn>);
static_assert(ConditionalSampler<PyConditionalCoord>);
static_assert(ConditionalFactorization<PyFactorFn>);

namespace {

// ---- classes ------------------------------------------------------------------

struct Tally {
  double total = 0.0;
};

struct PlainClass {
  using Core = Tally;
  static constexpr const char* name = "Plain";
};

struct CounterClass {
  using Core = Tally;
  static constexpr const char* name = "Counter";
  static constexpr const char* thread_bound_as = "_varlix_testing::PyCounter";
};

PyObject* new_plain(double start, std::uint64_t step) {
  return PyClass<PlainClass>::wrap(Tally{start + static_cast<double>(step)});
}
PyObject* plain_total(const Tally& t) { return to_py(t.total); }
PyObject* plain_repr(const Tally& t) { return PyUnicode_FromFormat("Plain(%d)", static_cast<int>(t.total)); }

PyObject* make_counter() { return PyClass<CounterClass>::wrap(Tally{}); }
PyObject* add(Tally& t, double x) {
  t.total += x;
  return to_py(t.total);
}
PyObject* peek(const Tally& t) { return to_py(t.total); }
// Call back into Python while the instance is borrowed.
PyObject* add_calling(Tally& t, const Ref& f) {
  t.total += 1;
  return PyObject_CallNoArgs(f.get());
}
PyObject* peek_calling(const Tally&, const Ref& f) { return PyObject_CallNoArgs(f.get()); }

PyObject* plain_from_int(std::uint64_t start) { return PyClass<PlainClass>::wrap(Tally{static_cast<double>(start)}); }

// ---- conversion kinds ----------------------------------------------------------

template <class T>
PyObject* echo(T value) {
  return to_py(value);
}
PyObject* echo_u64(std::uint64_t v) { return to_py(v); }
PyObject* echo_u32(std::uint32_t v) { return to_py(std::uint64_t{v}); }
PyObject* echo_str(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* echo_ref(const Ref& r) { return Py_NewRef(r.get()); }
PyObject* echo_rows(const std::vector<std::vector<double>>& rows) { return to_py(rows); }
PyObject* echo_objects(const std::vector<Ref>& items) {
  Ref list = Ref::steal(PyList_New(0));
  for (const Ref& item : items) {
    if (!list || PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  return list.release();
}
PyObject* echo_optional(std::optional<std::uint64_t> v) { return to_py(v); }
PyObject* echo_instance(const Tally* t) { return to_py(t->total); }
PyObject* echo_defaults(const Ref& a, bool flag, std::uint64_t n, double x, std::uint32_t m) {
  return Py_BuildValue("(OOKdk)", a.get(), flag ? Py_True : Py_False, static_cast<unsigned long long>(n), x,
                       static_cast<unsigned long>(m));
}
PyObject* echo_three(const Ref&, const Ref&, const Ref&) { return Py_NewRef(Py_None); }
PyObject* echo_pair(double a, double b) { return to_py(std::pair{a, b}); }

PyObject* tdr_transform(const std::string& text) {
  const auto transform = parse_tdr_transform(text);
  if (!transform) return nullptr;
  return PyUnicode_FromString(*transform == TdrTransform::Log ? "Log" : "InvSqrt");
}

// out[i] = 2 * x[i] for arrays of one length; the count of int64 values.
PyObject* double_into(ArrayRef<const double> x, ArrayRef<double> out) {
  if (!same_length("x", x.size(), "out", out.size())) return nullptr;
  for (std::size_t i = 0; i < x.size(); ++i) out.data()[i] = 2.0 * x.data()[i];
  return to_py(static_cast<std::uint64_t>(x.size()));
}
PyObject* count_int64(ArrayRef<std::int64_t> values) {
  for (std::int64_t& v : values.span()) v += 1;
  return to_py(static_cast<std::uint64_t>(values.size()));
}

// A C++ exception escaping an implementation function.
PyObject* throw_cpp(bool allocation) {
  if (allocation) throw std::bad_alloc();
  throw std::runtime_error("broken invariant");
}

// ---- adaptors ------------------------------------------------------------------

// (value, whether an error was pending when the adaptor returned)
PyObject* with_error_state(PyObject* value) {
  const bool pending = PyErr_Occurred() != nullptr;
  PyErr_Clear();
  const Ref held = Ref::steal(value);
  return Py_BuildValue("(OO)", held.get(), pending ? Py_True : Py_False);
}

PyObject* float_fn(const Ref& f, double x) { return with_error_state(PyFloat_FromDouble(PyFloatFn(f)(x))); }

PyObject* float_fn_loop(const Ref& f, double x, std::uint64_t n) {
  const PyFloatFn fn(f);
  double last = 0.0;
  for (std::uint64_t i = 0; i < n; ++i) last = fn(x);
  return to_py(last);
}

PyObject* nd_fn(const Ref& f, const std::vector<double>& x) {
  return with_error_state(PyFloat_FromDouble(PyNdFn(f, x.size())(x)));
}

PyObject* ppf_fn(const Ref& f, double u) {
  const auto result = PyPpfFn(f)(u);
  if (result) return with_error_state(PyFloat_FromDouble(*result));
  const std::string text = result.error().message();
  return with_error_state(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* coord_fn(const Ref& f, std::uint64_t i, const std::vector<double>& x) {
  Rng unused = seed_from_u64(0);
  return with_error_state(PyFloat_FromDouble(PyConditionalCoord(f, x.size()).sample_coord(unused, i, x)));
}

PyObject* factor_fn(const Ref& f, std::uint64_t i, const std::vector<double>& x) {
  Rng unused = seed_from_u64(0);
  return with_error_state(PyFloat_FromDouble(PyFactorFn(f).sample_i(unused, i, x)));
}

// Copies of one adaptor share one reference, released with the last copy.
PyObject* adaptor_copies(const Ref& f, std::uint64_t copies) {
  const PyFloatFn first(f);
  std::vector<PyFloatFn> more(copies, first);
  return to_py(static_cast<std::uint64_t>(Py_REFCNT(f.get())));
}

// Calls and finally releases an adaptor on a thread that does not hold the
// interpreter lock, as a core object dropped elsewhere would.
PyObject* call_on_thread(const Ref& f, double x) {
  std::optional<PyFloatFn> fn(std::in_place, f);
  double value = 0.0;
  Py_BEGIN_ALLOW_THREADS
  std::thread([&] {
    value = (*fn)(x);
    fn.reset();
  }).join();
  Py_END_ALLOW_THREADS
  return to_py(value);
}

// What the collector does to an instance in an unreachable cycle.
PyObject* gc_clear(const Ref& instance) {
  const auto clear = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(instance.get()), Py_tp_clear));
  if (clear == nullptr) return set_error(PyExc_TypeError, "not a collectable class");
  clear(instance.get());
  return Py_NewRef(Py_None);
}

constexpr auto kPlainNew = signature("__new__", arg<Float>("start"), arg<U64>("step", "1"));
constexpr auto kTotal = signature("total");
constexpr auto kFromInt = signature("from_int", arg<U64>("start"));
constexpr auto kMakeCounter = signature("make_counter");
constexpr auto kAdd = signature("add", arg<Float>("x"));
constexpr auto kPeek = signature("peek");
constexpr auto kAddCalling = signature("add_calling", arg<Any>("f"));
constexpr auto kPeekCalling = signature("peek_calling", arg<Any>("f"));

constexpr auto kFloat = signature("float_arg", arg<Float>("x"));
constexpr auto kU64 = signature("u64_arg", arg<U64>("n"));
constexpr auto kU32 = signature("u32_arg", arg<U32>("n"));
constexpr auto kBool = signature("bool_arg", arg<Bool>("flag"));
constexpr auto kStr = signature("str_arg", arg<Str>("text"));
constexpr auto kSeq = signature("seq_arg", arg<Sequence>("seq"));
constexpr auto kRows = signature("rows_arg", arg<ListOf<ListOf<Float>>>("rows"));
constexpr auto kObjects = signature("objects_arg", arg<ListOf<Any>>("items"));
constexpr auto kOptional = signature("optional_arg", arg<Optional<U64>>("seed"));
constexpr auto kInstance = signature("instance_arg", arg<InstanceOf<PlainClass>>("plain"));
constexpr auto kDefaults = signature("defaults", arg<Any>("a"), arg<Bool>("flag", "True"),
                                     arg<U64>("n", "100000"), arg<Float>("x", "1e-6"), arg<U32>("m", "128"));
constexpr auto kThree = signature("three", arg<Any>("a"), arg<Any>("b"), arg<Any>("c"));
constexpr auto kPair = signature("pair", arg<Float>("a"), arg<Float>("b"));
constexpr auto kTdr = signature("tdr_transform", arg<Str>("text"));
constexpr auto kDoubleInto = signature("double_into", arg<Array<const double>>("x"), arg<Array<double>>("out"));
constexpr auto kCountInt64 = signature("count_int64", arg<Array<std::int64_t>>("values"));
constexpr auto kThrow = signature("throw_cpp", arg<Bool>("allocation"));

constexpr auto kFloatFn = signature("float_fn", arg<Any>("f"), arg<Float>("x"));
constexpr auto kFloatFnLoop = signature("float_fn_loop", arg<Any>("f"), arg<Float>("x"), arg<U64>("n"));
constexpr auto kNdFn = signature("nd_fn", arg<Any>("f"), arg<ListOf<Float>>("x"));
constexpr auto kPpfFn = signature("ppf_fn", arg<Any>("f"), arg<Float>("u"));
constexpr auto kCoordFn = signature("coord_fn", arg<Any>("f"), arg<U64>("i"), arg<ListOf<Float>>("x"));
constexpr auto kFactorFn = signature("factor_fn", arg<Any>("f"), arg<U64>("i"), arg<ListOf<Float>>("x"));
constexpr auto kCopies = signature("adaptor_copies", arg<Any>("f"), arg<U64>("copies"));
constexpr auto kOnThread = signature("call_on_thread", arg<Any>("f"), arg<Float>("x"));
constexpr auto kGcClear = signature("gc_clear", arg<Any>("instance"));

bool register_probe(PyObject* module) {
  static PyMethodDef plain_methods[] = {
      method<PlainClass, kTotal, plain_total>(),
      static_method<PlainClass, kFromInt, plain_from_int>(),
      {},
  };
  static PyGetSetDef plain_getset[] = {property<PlainClass, plain_total>("value"), {}};
  static PyMethodDef counter_methods[] = {
      method<CounterClass, kAdd, add>(),
      method<CounterClass, kPeek, peek>(),
      method<CounterClass, kAddCalling, add_calling>(),
      method<CounterClass, kPeekCalling, peek_calling>(),
      {},
  };
  static PyMethodDef functions[] = {
      function<kMakeCounter, make_counter>(),
      function<kFloat, echo<double>>(),
      function<kU64, echo_u64>(),
      function<kU32, echo_u32>(),
      function<kBool, echo<bool>>(),
      function<kStr, echo_str>(),
      function<kSeq, echo_ref>(),
      function<kRows, echo_rows>(),
      function<kObjects, echo_objects>(),
      function<kOptional, echo_optional>(),
      function<kInstance, echo_instance>(),
      function<kDefaults, echo_defaults>(),
      function<kThree, echo_three>(),
      function<kPair, echo_pair>(),
      function<kTdr, tdr_transform>(),
      function<kThrow, throw_cpp>(),
      function<kDoubleInto, double_into>(),
      function<kCountInt64, count_int64>(),
      function<kFloatFn, float_fn>(),
      function<kFloatFnLoop, float_fn_loop>(),
      function<kNdFn, nd_fn>(),
      function<kPpfFn, ppf_fn>(),
      function<kCoordFn, coord_fn>(),
      function<kFactorFn, factor_fn>(),
      function<kCopies, adaptor_copies>(),
      function<kOnThread, call_on_thread>(),
      function<kGcClear, gc_clear>(),
      {},
  };
  return add_class<PlainClass>(module, {.methods = plain_methods,
                                        .constructor = constructor<PlainClass, kPlainNew, new_plain>(),
                                        .getset = plain_getset,
                                        .repr = repr<PlainClass, plain_repr>()}) &&
         add_class<CounterClass>(module, {.methods = counter_methods}) &&
         PyModule_AddFunctions(module, functions) == 0;
}

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_varlix_testing", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace varlix::py

PyMODINIT_FUNC PyInit__varlix_testing() {
  return varlix::py::guarded([]() -> PyObject* {
    varlix::py::set_extension_name("_varlix_testing");
    varlix::py::Ref module = varlix::py::Ref::steal(PyModule_Create(&varlix::py::probe_def));
    if (!module || !varlix::py::register_probe(module.get())) return nullptr;
    return module.release();
  });
}
