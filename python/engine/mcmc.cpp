// Markov chains of varlix.mcmc: log-density adaptors over points of d
// coordinates, and the engine functions that start and advance a group of
// chains whose states live in a NumPy array of the Python layer.
//
// The Python layer (varlix/mcmc.py) hands over each user function as a spec
// tuple:
//   ("native", capsule, owner)
//       a C function double(int d, double* x) or double(int d, double* x,
//       void* user_data), as _functions.compiled_function gives it; called
//       without the interpreter lock.
//   ("point", f, renew)
//       a Python function of one point: renew() gives a fresh float64 array
//       of d values; the engine writes each point into it and calls
//       f(array). A fresh array is taken at the start of every engine call
//       and whenever f kept a reference to the last one, so a point the user
//       kept never changes.
//   ("batch", trampoline, xs, ys)
//       a vectorized Python function: the engine writes up to len(ys)
//       points into xs and calls trampoline(n), which evaluates f on a copy
//       of the first n rows and writes n values into ys.
// and the gradient, when given, as ("gradient", trampoline, x, g):
// trampoline() evaluates it at the point in x and writes d values into g.
// Every buffer is a float64 array checked by binding/array.hpp.
//
// A Python function that raises leaves its exception pending; the adaptor
// returns NaN (every later call too, without calling Python), the core
// stops, and the engine raises the pending exception. Any other stop comes
// back to Python as a fault tuple (kind, chain, point), which the Python
// layer words.
#include <binding/binder.hpp>
#include <binding/error.hpp>
#include <binding/interrupt.hpp>
#include <binding/ref.hpp>
#include <binding/result.hpp>

#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <multivar/chain_runner.hpp>
#include <stop_poll.hpp>
#include <uniform_source.hpp>

#include "chain_arguments.hpp"
#include "engine.hpp"
#include "function.hpp"

namespace varlix::engine {
namespace {

using py::Ref;

constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();

// ---- log-density adaptors -----------------------------------------------------

class NativeLogDensity {
 public:
  using Plain = double (*)(int, double*);
  using WithData = double (*)(int, double*, void*);

  NativeLogDensity(void* code, void* data, bool with_data, std::size_t dim)
      : code_(code), data_(data), with_data_(with_data), dim_(dim), scratch_(dim) {}

  // The C signature takes double*: the function gets a copy, so that a
  // function writing to its argument cannot move a chain.
  [[nodiscard]] double operator()(std::span<const double> x) const {
    std::memcpy(scratch_.data(), x.data(), dim_ * sizeof(double));
    const int d = static_cast<int>(dim_);
    if (with_data_) return reinterpret_cast<WithData>(code_)(d, scratch_.data(), data_);
    return reinterpret_cast<Plain>(code_)(d, scratch_.data());
  }

 private:
  void* code_;
  void* data_;
  bool with_data_;
  std::size_t dim_;
  mutable std::vector<double> scratch_;
};

class PointLogDensity {
 public:
  PointLogDensity(Ref f, Ref renew, std::size_t dim) : f_(std::move(f)), renew_(std::move(renew)), dim_(dim) {}

  // Takes a fresh array; false with the Python error pending.
  [[nodiscard]] bool renew() const {
    const Ref fresh = Ref::steal(PyObject_CallNoArgs(renew_.get()));
    if (!fresh) return false;
    F64Array::type array;
    if (!F64Array::convert(fresh.get(), array)) return false;
    if (array.size() != dim_) {
      py::set_error(PyExc_ValueError, "the point buffer must hold d doubles");
      return false;
    }
    adopt(Ref::borrow(fresh.get()), array.data());
    return static_cast<bool>(args_);
  }

  [[nodiscard]] double operator()(std::span<const double> x) const {
    if (PyErr_Occurred() != nullptr) return kFailed;
    std::memcpy(data_, x.data(), dim_ * sizeof(double));
    const Py_ssize_t before = Py_REFCNT(array_.get());
    const double value = float_result(Ref::steal(PyObject_Call(f_.get(), args_.get(), nullptr)), nullptr);
    // A failed call's traceback holds the array too; the run stops anyway.
    if (PyErr_Occurred() != nullptr) return kFailed;
    if (Py_REFCNT(array_.get()) > before && !renew()) return kFailed;
    return value;
  }

 private:
  void adopt(Ref array, double* data) const {
    array_ = std::move(array);
    data_ = data;
    args_ = Ref::steal(PyTuple_Pack(1, array_.get()));
  }

  Ref f_;
  Ref renew_;
  std::size_t dim_;
  mutable Ref array_;
  mutable Ref args_;
  mutable double* data_ = nullptr;
};

class BatchLogDensity {
 public:
  BatchLogDensity(Ref trampoline, F64Array::type xs, F64Array::type ys, std::size_t dim)
      : trampoline_(std::move(trampoline)), xs_(std::move(xs)), ys_(std::move(ys)), capacity_(ys_.size()), dim_(dim) {}

  [[nodiscard]] double operator()(std::span<const double> x) const {
    double y = kFailed;
    eval_batch(x, std::span<double>(&y, 1));
    return y;
  }

  // Batches beyond the buffer go in pieces (the Python layer sizes the
  // buffer for the largest batch, so this does not happen in practice).
  void eval_batch(std::span<const double> points, std::span<double> values) const {
    for (std::size_t start = 0; start < values.size(); start += capacity_) {
      const std::size_t n = std::min(capacity_, values.size() - start);
      if (!eval_piece(points.subspan(start * dim_, n * dim_), values.subspan(start, n))) {
        std::fill(values.begin() + static_cast<std::ptrdiff_t>(start), values.end(), kFailed);
        return;
      }
    }
  }

 private:
  [[nodiscard]] bool eval_piece(std::span<const double> points, std::span<double> values) const {
    if (PyErr_Occurred() != nullptr) return false;
    std::memcpy(xs_.data(), points.data(), points.size() * sizeof(double));
    const Ref n = Ref::steal(PyLong_FromSize_t(values.size()));
    if (!n) return false;
    const Ref done = Ref::steal(PyObject_CallFunctionObjArgs(trampoline_.get(), n.get(), nullptr));
    if (!done) return false;
    std::memcpy(values.data(), ys_.data(), values.size() * sizeof(double));
    return true;
  }

  Ref trampoline_;
  F64Array::type xs_;
  F64Array::type ys_;
  std::size_t capacity_;
  std::size_t dim_;
};

class PyGradient {
 public:
  PyGradient(Ref trampoline, F64Array::type x, F64Array::type g, std::size_t dim)
      : trampoline_(std::move(trampoline)), x_(std::move(x)), g_(std::move(g)), dim_(dim) {}

  [[nodiscard]] bool operator()(std::span<const double> x, std::span<double> g) const {
    if (PyErr_Occurred() != nullptr) return false;
    std::memcpy(x_.data(), x.data(), dim_ * sizeof(double));
    const Ref done = Ref::steal(PyObject_CallNoArgs(trampoline_.get()));
    if (!done) return false;
    std::memcpy(g.data(), g_.data(), dim_ * sizeof(double));
    return true;
  }

 private:
  Ref trampoline_;
  F64Array::type x_;
  F64Array::type g_;
  std::size_t dim_;
};

// A log-density together with its gradient function.
template <class L>
class WithGradient {
 public:
  WithGradient(const L& f, const PyGradient& g) : f_(&f), g_(&g) {}
  [[nodiscard]] double operator()(std::span<const double> x) const { return (*f_)(x); }
  void eval_batch(std::span<const double> points, std::span<double> values) const
    requires varlix::BatchLogDensity<L>
  {
    f_->eval_batch(points, values);
  }
  [[nodiscard]] bool gradient(std::span<const double> x, std::span<double> g) const { return (*g_)(x, g); }

 private:
  const L* f_;
  const PyGradient* g_;
};

using AnyLogDensity = std::variant<NativeLogDensity, PointLogDensity, BatchLogDensity>;

// ---- argument kinds ---------------------------------------------------------------

bool is_tag(PyObject* spec, const char* tag) {
  PyObject* first = PyTuple_GetItem(spec, 0);
  return first != nullptr && PyUnicode_Check(first) && PyUnicode_CompareWithASCIIString(first, tag) == 0;
}

struct Settings {
  ChainSettings chain;
  std::size_t chains = 0;
  // Hold the bounds that chain.lo and chain.hi view.
  F64In::type lo;
  F64In::type hi;
};

// (kind, dim, chains, target_accept, tune, leapfrog_steps, dense, lo, hi):
// lo and hi are arrays of d doubles, or None for no bounds.
struct SettingsArg {
  using type = Settings;
  static bool convert(PyObject* object, Settings& out) {
    const char* kind = nullptr;
    unsigned long long dim = 0, chains = 0, tune = 0, leapfrog = 0;
    double target = 0.0;
    int dense = 0;
    PyObject* lo = nullptr;
    PyObject* hi = nullptr;
    if (!PyTuple_Check(object)) return py::refuse_conversion(object, "chain settings");
    if (!PyArg_ParseTuple(object, "sKKdKKpOO", &kind, &dim, &chains, &target, &tune, &leapfrog, &dense, &lo, &hi)) {
      return false;
    }
    ChainSettings& s = out.chain;
    s.kind = std::strcmp(kind, "hmc") == 0 ? ChainKind::Hamiltonian : ChainKind::RandomWalk;
    s.dim = static_cast<std::size_t>(dim);
    s.target_accept = target;
    s.tune = tune;
    s.leapfrog_steps = leapfrog;
    s.dense = dense != 0;
    if (lo != Py_None && hi != Py_None) {
      if (!F64In::convert(lo, out.lo) || !F64In::convert(hi, out.hi)) return false;
      if (out.lo.size() != s.dim || out.hi.size() != s.dim) {
        py::set_error(PyExc_ValueError, "the bounds must hold d doubles each");
        return false;
      }
      s.lo = out.lo.span();
      s.hi = out.hi.span();
    }
    out.chains = static_cast<std::size_t>(chains);
    return true;
  }
};

// A log-density spec; the dimension comes later, from the settings.
struct LogDensitySpec {
  using type = Ref;
  static bool convert(PyObject* object, Ref& out) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) < 3 ||
        !(is_tag(object, "native") || is_tag(object, "point") || is_tag(object, "batch"))) {
      return py::refuse_conversion(object, "log-density spec");
    }
    out = Ref::borrow(object);
    return true;
  }
};

std::optional<AnyLogDensity> make_log_density(PyObject* spec, std::size_t dim) {
  PyObject* a = PyTuple_GetItem(spec, 1);
  PyObject* b = PyTuple_GetItem(spec, 2);
  if (is_tag(spec, "native")) {
    CompiledLogDensity native;
    if (!compiled_log_density(a, native)) return std::nullopt;
    if (native.joint) {
      py::set_error(PyExc_ValueError, "metropolis and hmc take a compiled log-density without a gradient argument");
      return std::nullopt;
    }
    return AnyLogDensity(std::in_place_type<NativeLogDensity>, native.code, native.data, native.with_data, dim);
  }
  if (is_tag(spec, "point")) {
    AnyLogDensity f(std::in_place_type<PointLogDensity>, Ref::borrow(a), Ref::borrow(b), dim);
    if (!std::get<PointLogDensity>(f).renew()) return std::nullopt;
    return f;
  }
  F64Array::type xs;
  F64Array::type ys;
  if (PyTuple_Size(spec) != 4 || !F64Array::convert(b, xs) || !F64Array::convert(PyTuple_GetItem(spec, 3), ys)) {
    return std::nullopt;
  }
  if (ys.size() == 0 || xs.size() != ys.size() * dim) {
    py::set_error(PyExc_ValueError, "the batch buffers must hold n points and n values");
    return std::nullopt;
  }
  return AnyLogDensity(std::in_place_type<BatchLogDensity>, Ref::borrow(a), std::move(xs), std::move(ys), dim);
}

std::optional<PyGradient> make_gradient(PyObject* spec, std::size_t dim) {
  if (!PyTuple_Check(spec) || PyTuple_Size(spec) != 4 || !is_tag(spec, "gradient")) {
    py::refuse_conversion(spec, "gradient spec");
    return std::nullopt;
  }
  F64Array::type x;
  F64Array::type g;
  if (!F64Array::convert(PyTuple_GetItem(spec, 2), x) || !F64Array::convert(PyTuple_GetItem(spec, 3), g)) {
    return std::nullopt;
  }
  if (x.size() != dim || g.size() != dim) {
    py::set_error(PyExc_ValueError, "the gradient buffers must hold d doubles");
    return std::nullopt;
  }
  return PyGradient(Ref::borrow(PyTuple_GetItem(spec, 1)), std::move(x), std::move(g), dim);
}

// ---- results ----------------------------------------------------------------------

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

// None on success; the pending exception of a user function; MemoryError;
// otherwise the fault tuple.
PyObject* result_of(const std::expected<void, ChainFault>& result) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (result) return Py_NewRef(Py_None);
  const ChainFault& fault = result.error();
  if (fault.kind == ChainFault::Kind::OutOfMemory) {
    return py::set_error(PyExc_MemoryError, "out of memory for the chains' working state");
  }
  const Ref point = Ref::steal(py::to_py(std::span<const double>(fault.point)));
  if (!point) return nullptr;
  return Py_BuildValue("(snO)", fault_name(fault.kind), static_cast<Py_ssize_t>(fault.chain), point.get());
}

// ---- engine functions ---------------------------------------------------------------

// Calls body(f) with the concrete log-density (wrapped with its gradient
// when one is given), holding the interpreter lock only when a Python
// function takes part. A native log-density is polled for interrupts, and
// for `abandon` (see interrupt_requested) when not null.
template <class Body>
PyObject* with_log_density(PyObject* spec, PyObject* gradient_spec, std::size_t dim, void* abandon, Body&& body) {
  std::optional<AnyLogDensity> f = make_log_density(spec, dim);
  if (!f) return PyErr_Occurred() != nullptr ? nullptr : py::set_error(PyExc_ValueError, "bad log-density spec");
  std::optional<PyGradient> gradient;
  if (gradient_spec != Py_None) {
    gradient = make_gradient(gradient_spec, dim);
    if (!gradient) return PyErr_Occurred() != nullptr ? nullptr : py::set_error(PyExc_ValueError, "bad gradient spec");
  }
  return std::visit(
      [&](const auto& density) -> PyObject* {
        using L = std::remove_cvref_t<decltype(density)>;
        if constexpr (std::is_same_v<L, NativeLogDensity>) {
          using Polled = StoppableFunction<NativeLogDensity>;
          const Polled polled(density, py::interrupt_requested, abandon);
          if (gradient) return result_of(body(WithGradient<Polled>(polled, *gradient)));
          std::expected<void, ChainFault> result;
          {
            const UnlockedIf unlocked(true);
            result = body(polled);
          }
          return result_of(result);
        } else {
          if (gradient) return result_of(body(WithGradient<L>(density, *gradient)));
          return result_of(body(density));
        }
      },
      *f);
}

PyObject* chain_state_words(std::uint64_t dim) { return py::to_py(static_cast<std::uint64_t>(chain_words(dim))); }

// The chains' state rows, checked against the settings; empty with
// ValueError pending.
std::span<double> state_rows(const F64Array::type& states, std::size_t dim, std::size_t chains) {
  if (chains == 0 || states.size() != chains * chain_words(dim)) {
    py::set_error(PyExc_ValueError, "the state array must hold one chain state per chain");
    return {};
  }
  return states.span();
}

// Starts the chains at the rows of x0 with the step sizes in `steps`.
PyObject* chains_init(py::Ref spec, py::Ref gradient, Settings settings, F64Array::type states, F64In::type x0,
                      F64In::type steps) {
  const std::size_t d = settings.chain.dim;
  const std::size_t n = settings.chains;
  const std::span<double> rows = state_rows(states, d, n);
  if (rows.empty()) return nullptr;
  if (x0.size() != n * d || steps.size() != n) {
    return py::set_error(PyExc_ValueError, "x0 and the step sizes must hold one row and one value per chain");
  }
  // No draws are taken at the start; the sources are never used.
  return with_log_density(spec.get(), gradient.get(), d, nullptr, [&](const auto& f) -> std::expected<void, ChainFault> {
    using L = std::remove_cvref_t<decltype(f)>;
    auto group = ChainGroup<L, BitGeneratorSource>::make(f, std::span<BitGeneratorSource>(), rows, settings.chain);
    if (!group) return std::unexpected(group.error());
    return group->init(x0.span(), steps.span());
  });
}

// `count` tuning steps (phase "tune") or draws (phase "draw", each after
// `thin` steps), recorded from row `start` of samples (chains x rows x d)
// and log_densities (chains x rows). `abandon` is a byte that another
// thread sets to stop this run (empty: none).
PyObject* chains_run(py::Ref spec, py::Ref gradient, Settings settings, py::Ref bit_generators, F64Array::type states,
                     std::string phase, std::uint64_t count, std::uint64_t thin, F64Array::type samples,
                     F64Array::type log_densities, std::uint64_t start, ByteArray::type abandon) {
  const std::size_t d = settings.chain.dim;
  const std::size_t n = settings.chains;
  const std::span<double> rows = state_rows(states, d, n);
  if (rows.empty()) return nullptr;
  const std::size_t total = log_densities.size() / n;
  if (log_densities.size() != n * total || samples.size() != n * total * d || start + count > total) {
    return py::set_error(PyExc_ValueError, "the record arrays must have one row per chain and iteration, with room");
  }
  std::vector<BitGeneratorSource> sources;
  if (!sources_of(bit_generators.get(), n, sources)) return nullptr;
  const ChainRecord record{samples.data() + start * d, total * d, log_densities.data() + start, total};
  const bool tuning = phase == "tune";
  void* abandon_flag = abandon.size() == 0 ? nullptr : abandon.data();
  return with_log_density(spec.get(), gradient.get(), d, abandon_flag, [&](const auto& f) -> std::expected<void, ChainFault> {
    using L = std::remove_cvref_t<decltype(f)>;
    auto group = ChainGroup<L, BitGeneratorSource>::make(f, std::span(sources), rows, settings.chain);
    if (!group) return std::unexpected(group.error());
    return tuning ? group->tune(count, record) : group->draw(count, thin, record);
  });
}

// Per chain: (step size, accepted, steps, divergent) of the current phase.
PyObject* chains_report(std::uint64_t dim, std::uint64_t chains, F64Array::type states) {
  const std::size_t w = chain_words(dim);
  const std::span<double> rows = state_rows(states, dim, chains);
  if (rows.empty()) return nullptr;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(chains)));
  if (!list) return nullptr;
  for (std::size_t c = 0; c < chains; ++c) {
    const ChainView chain(rows.subspan(c * w, w), dim);
    if (!chain.is_valid()) return py::set_error(PyExc_ValueError, "not a chain state");
    PyObject* item = Py_BuildValue("(dddd)", chain.step(), chain.accepted(), chain.steps(), chain.divergent());
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), item);
  }
  return list.release();
}

constexpr auto kChainsReport = py::signature("chains_report", py::arg<py::U64>("dim"), py::arg<py::U64>("chains"),
                                             py::arg<F64Array>("states"));
constexpr auto kChainWords = py::signature("chain_words", py::arg<py::U64>("dim"));
constexpr auto kChainsInit =
    py::signature("chains_init", py::arg<LogDensitySpec>("logpdf"), py::arg<py::Any>("grad"),
                  py::arg<SettingsArg>("settings"), py::arg<F64Array>("states"), py::arg<F64In>("x0"),
                  py::arg<F64In>("steps"));
constexpr auto kChainsRun =
    py::signature("chains_run", py::arg<LogDensitySpec>("logpdf"), py::arg<py::Any>("grad"),
                  py::arg<SettingsArg>("settings"), py::arg<py::Any>("bit_generators"), py::arg<F64Array>("states"),
                  py::arg<py::Str>("phase"), py::arg<py::U64>("count"), py::arg<py::U64>("thin"),
                  py::arg<F64Array>("samples"), py::arg<F64Array>("log_densities"), py::arg<py::U64>("start"),
                  py::arg<ByteArray>("abandon"));

PyMethodDef g_mcmc_functions[] = {
    py::function<kChainWords, chain_state_words>(),
    py::function<kChainsInit, chains_init>(),
    py::function<kChainsRun, chains_run>(),
    py::function<kChainsReport, chains_report>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The No-U-Turn chains (nuts.cpp).
bool register_nuts(PyObject* module);

bool register_mcmc(PyObject* module) {
  return PyModule_AddFunctions(module, g_mcmc_functions) == 0 && register_nuts(module);
}

}  // namespace varlix::engine
