// Markov chains of varlix.mcmc: log-density adaptors over points of d
// coordinates, and the engine class Chains, built once per run, which owns
// a group of Metropolis or HMC chains and advances it in pieces.
//
// The Python layer (varlix/mcmc/_targets.py) hands over each user function as a spec
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
#include <binding/pyclass.hpp>
#include <binding/ref.hpp>
#include <binding/result.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <multivar/chain_runner.hpp>
#include <multivar/laplace_approximation.hpp>
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
  // Hold the bounds that chain.lo and chain.hi view, and the Laplace
  // approximation that chain.warmup_jumps views.
  F64In::type lo;
  F64In::type hi;
  F64In::type mode;
  F64In::type factor;
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


// ---- the chain group ---------------------------------------------------------------

// What one run of Metropolis or HMC chains keeps between its pieces: the
// log-density adaptors and settings, built once, and every chain's state
// (position, log-density, step size, adaptation) row by row.
struct ChainsCore {
  AnyLogDensity density;
  std::optional<PyGradient> gradient;
  Settings settings;
  std::vector<double> states;
  ChainScratch scratch = {};  // taken at the start, reused by every piece
  // Where tune and draw record, rows of (chains x iterations [x d]).
  F64Array::type tune_samples = {};
  F64Array::type tune_values = {};
  F64Array::type samples = {};
  F64Array::type values = {};
  // Per-transition statistics of each phase (empty arrays: not recorded).
  struct Stats {
    F64Array::type acceptance = {};
    F64Array::type step = {};
    F64Array::type energy = {};
    I64Array::type n_steps = {};
    ByteArray::type diverging = {};
  };
  Stats tune_stats = {};
  Stats stats = {};

  [[nodiscard]] std::size_t dim() const { return settings.chain.dim; }
  [[nodiscard]] std::size_t count() const { return settings.chains; }
  // The settings with their bounds viewing the arrays this core holds
  // (moving the core may have moved them).
  [[nodiscard]] ChainSettings chain_settings() const {
    ChainSettings s = settings.chain;
    if (!s.lo.empty()) {
      s.lo = settings.lo.span();
      s.hi = settings.hi.span();
    }
    if (!s.warmup_jumps.empty()) s.warmup_jumps = {settings.mode.span(), settings.factor.span()};
    return s;
  }
};

struct ChainsClass {
  using Core = ChainsCore;
  static constexpr const char* name = "Chains";
};

// Calls body(f) with the concrete log-density (wrapped with its gradient
// when one is given), holding the interpreter lock only when a Python
// function takes part. A native log-density is polled for interrupts, and
// for `abandon` (see interrupt_requested) when not null.
template <class Body>
PyObject* with_log_density(const ChainsCore& core, void* abandon, Body&& body) {
  return std::visit(
      [&](const auto& density) -> PyObject* {
        using L = std::remove_cvref_t<decltype(density)>;
        if constexpr (std::is_same_v<L, NativeLogDensity>) {
          using Polled = StoppableFunction<NativeLogDensity>;
          const Polled polled(density, py::interrupt_requested, abandon);
          if (core.gradient) return chain_result(body(WithGradient<Polled>(polled, *core.gradient)));
          std::expected<void, ChainFault> result;
          {
            const UnlockedIf unlocked(true);
            result = body(polled);
          }
          return chain_result(result);
        } else {
          if (core.gradient) return chain_result(body(WithGradient<L>(density, *core.gradient)));
          return chain_result(body(density));
        }
      },
      core.density);
}

PyObject* new_chains(py::Ref spec, py::Ref gradient_spec, Settings settings) {
  const std::size_t d = settings.chain.dim;
  const std::size_t n = settings.chains;
  if (d == 0 || n == 0) return py::set_error(PyExc_ValueError, "the chains need d >= 1 and at least one chain");
  std::optional<AnyLogDensity> density = make_log_density(spec.get(), d);
  if (!density) return PyErr_Occurred() != nullptr ? nullptr : py::set_error(PyExc_ValueError, "bad log-density spec");
  std::optional<PyGradient> gradient;
  if (gradient_spec.get() != Py_None) {
    gradient = make_gradient(gradient_spec.get(), d);
    if (!gradient) return PyErr_Occurred() != nullptr ? nullptr : py::set_error(PyExc_ValueError, "bad gradient spec");
  }
  std::vector<double> states;
  if (!try_resize(states, n * chain_words(d, settings.chain.dense))) return PyErr_NoMemory();
  return py::PyClass<ChainsClass>::wrap(
      ChainsCore{std::move(*density), std::move(gradient), std::move(settings), std::move(states)});
}

// Starts the chains at the rows of x0 with the step sizes in `steps`; with
// a Laplace approximation (its covariance's lower-triangular d x d factor,
// and its mode) for a dense random walk, the metric starts from that
// covariance, the warm-up refines it, and a share of the tuning steps
// propose around the mode.
PyObject* chains_start(ChainsCore& core, F64In::type x0, F64In::type steps, std::optional<F64In::type> factor,
                       std::optional<F64In::type> mode) {
  const std::size_t n = core.count();
  const std::size_t d = core.dim();
  if (x0.size() != n * d || steps.size() != n) {
    return py::set_error(PyExc_ValueError, "x0 and the step sizes must hold one row and one value per chain");
  }
  std::span<const double> factor0;
  if (factor.has_value() != mode.has_value()) {
    return py::set_error(PyExc_ValueError, "a Laplace approximation is a factor and a mode");
  }
  if (factor) {
    if (core.settings.chain.kind != ChainKind::RandomWalk || !core.settings.chain.dense || factor->size() != d * d ||
        mode->size() != d) {
      return py::set_error(PyExc_ValueError, "a Laplace approximation is a d x d factor and a mode of d, for a dense "
                                             "random walk");
    }
    core.settings.factor = std::move(*factor);
    core.settings.mode = std::move(*mode);
    factor0 = core.settings.factor.span();
    core.settings.chain.anchored = true;
    core.settings.chain.warmup_jumps = {core.settings.mode.span(), factor0};
  }
  // No draws are taken at the start; the sources are never used.
  const ChainSettings settings = core.chain_settings();
  return with_log_density(core, nullptr, [&](const auto& f) -> std::expected<void, ChainFault> {
    using L = std::remove_cvref_t<decltype(f)>;
    auto group = ChainGroup<L, BitGeneratorSource>::make(f, std::span<BitGeneratorSource>(), std::span(core.states),
                                                          settings, core.scratch);
    if (!group) return std::unexpected(group.error());
    return group->init(x0.span(), steps.span(), factor0);
  });
}

const char* laplace_failure_name(LaplaceFailure::Kind kind) {
  switch (kind) {
    case LaplaceFailure::Kind::TooManyCoordinates: return "dimension";
    case LaplaceFailure::Kind::NotFinite: return "not_finite";
    case LaplaceFailure::Kind::Indefinite: return "indefinite";
    case LaplaceFailure::Kind::NoProgress: return "no_progress";
    case LaplaceFailure::Kind::Narrow: return "narrow";
    case LaplaceFailure::Kind::OutOfMemory: return "memory";
  }
  return "unknown";
}

// The Laplace approximation of the log-density from the best of the rows
// of `starts`: ("ok", factor (d*d), mode, evaluations), or (why, None,
// None, evaluations) when it failed; a user function's exception is raised.
PyObject* chains_laplace(ChainsCore& core, F64In::type starts) {
  const std::size_t d = core.dim();
  if (starts.size() == 0 || starts.size() % d != 0) {
    return py::set_error(PyExc_ValueError, "the starting points must be rows of d coordinates");
  }
  std::optional<std::expected<LaplaceApproximation, LaplaceFailure>> outcome;
  const Ref done = Ref::steal(with_log_density(core, nullptr, [&](const auto& f) -> std::expected<void, ChainFault> {
    outcome = laplace_approximation(f, starts.span(), d);
    return {};
  }));
  if (!done) return nullptr;
  if (!*outcome) {
    return Py_BuildValue("(sOOK)", laplace_failure_name(outcome->error().kind), Py_None, Py_None,
                         static_cast<unsigned long long>(outcome->error().evaluations));
  }
  const LaplaceApproximation& found = **outcome;
  const Ref factor = Ref::steal(py::to_py(std::span<const double>(found.factor)));
  const Ref mode = Ref::steal(py::to_py(std::span<const double>(found.mode)));
  if (!factor || !mode) return nullptr;
  return Py_BuildValue("(sOOK)", "ok", factor.get(), mode.get(), static_cast<unsigned long long>(found.evaluations));
}

// Attaches the arrays that tune and draw record into, each
// (chains x iterations x d) samples and (chains x iterations) values.
PyObject* chains_record_into(ChainsCore& core, F64Array::type tune_samples, F64Array::type tune_values,
                             F64Array::type samples, F64Array::type values) {
  const std::size_t n = core.count();
  const auto fits = [&](const F64Array::type& xs, const F64Array::type& ys) {
    return ys.size() % n == 0 && xs.size() == ys.size() * core.dim();
  };
  if (!fits(tune_samples, tune_values) || !fits(samples, values)) {
    return py::set_error(PyExc_ValueError, "the record arrays must have one row per chain and iteration");
  }
  core.tune_samples = std::move(tune_samples);
  core.tune_values = std::move(tune_values);
  core.samples = std::move(samples);
  core.values = std::move(values);
  return Py_NewRef(Py_None);
}

// Attaches the arrays a phase ("tune" or "draw") records its per-transition
// statistics into, each (chains x iterations) like that phase's values.
PyObject* chains_stats_into(ChainsCore& core, std::string phase, F64Array::type acceptance, F64Array::type step,
                            F64Array::type energy, I64Array::type n_steps, ByteArray::type diverging) {
  const bool tuning = phase == "tune";
  if (!tuning && phase != "draw") return py::set_error(PyExc_ValueError, "the phase must be 'tune' or 'draw'");
  const std::size_t rows = (tuning ? core.tune_values : core.values).size();
  if (acceptance.size() != rows || step.size() != rows || energy.size() != rows || n_steps.size() != rows ||
      diverging.size() != rows) {
    return py::set_error(PyExc_ValueError, "the statistics arrays must have the shape of the phase's values");
  }
  (tuning ? core.tune_stats : core.stats) =
      ChainsCore::Stats{std::move(acceptance), std::move(step), std::move(energy), std::move(n_steps),
                        std::move(diverging)};
  return Py_NewRef(Py_None);
}

// Where a piece from iteration `start` of a phase records.
ChainRecord record_of(ChainsCore& core, bool tuning, std::size_t start) {
  const std::size_t d = core.dim();
  F64Array::type& samples = tuning ? core.tune_samples : core.samples;
  F64Array::type& values = tuning ? core.tune_values : core.values;
  ChainsCore::Stats& stats = tuning ? core.tune_stats : core.stats;
  const std::size_t total = values.size() / core.count();
  ChainRecord record{samples.data() + start * d, total * d, values.data() + start, total};
  if (stats.acceptance.size() == values.size()) {
    record.acceptance = stats.acceptance.data() + start;
    record.step_size = stats.step.data() + start;
    record.energy = stats.energy.data() + start;
    record.n_steps = stats.n_steps.data() + start;
    record.diverging = stats.diverging.data() + start;
  }
  return record;
}

// `count` tuning steps (phase "tune") or draws (phase "draw", each after
// `thin` steps), recorded from iteration `start` of the phase's arrays.
// `abandon` is a byte that another thread sets to stop this run (empty:
// none).
PyObject* chains_run(ChainsCore& core, py::Ref bit_generators, const std::string& phase, std::uint64_t count,
                     std::uint64_t thin, std::uint64_t start, ByteArray::type abandon) {
  const bool tuning = phase == "tune";
  if (!tuning && phase != "draw") return py::set_error(PyExc_ValueError, "the phase must be 'tune' or 'draw'");
  const std::size_t n = core.count();
  const std::size_t total = (tuning ? core.tune_values : core.values).size() / n;
  if (start + count > total) return py::set_error(PyExc_ValueError, "the record arrays have no room for this piece");
  std::vector<BitGeneratorSource> sources;
  if (!sources_of(bit_generators.get(), n, sources)) return nullptr;
  const ChainRecord record = record_of(core, tuning, start);
  void* abandon_flag = abandon.size() == 0 ? nullptr : abandon.data();
  const ChainSettings settings = core.chain_settings();
  return with_log_density(core, abandon_flag, [&](const auto& f) -> std::expected<void, ChainFault> {
    using L = std::remove_cvref_t<decltype(f)>;
    auto group =
        ChainGroup<L, BitGeneratorSource>::make(f, std::span(sources), std::span(core.states), settings, core.scratch);
    if (!group) return std::unexpected(group.error());
    return tuning ? group->tune(count, record) : group->draw(count, thin, record);
  });
}

// A list of item(chain) over the started chains (a new reference from each).
template <class Item>
PyObject* per_chain(ChainsCore& core, Item&& item) {
  const std::size_t d = core.dim();
  const bool dense = core.settings.chain.dense;
  const std::size_t w = chain_words(d, dense);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(core.count())));
  if (!list) return nullptr;
  for (std::size_t c = 0; c < core.count(); ++c) {
    const ChainView chain(std::span(core.states).subspan(c * w, w), d, dense);
    if (!chain.is_valid()) return py::set_error(PyExc_ValueError, "the chains have not been started");
    PyObject* value = item(chain);
    if (value == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), value);
  }
  return list.release();
}

// Per chain: (step size, accepted, steps, divergent) of the current phase.
PyObject* chains_report(ChainsCore& core) {
  return per_chain(core, [](const ChainView& chain) {
    return Py_BuildValue("(dddd)", chain.step(), chain.accepted(), chain.steps(), chain.divergent());
  });
}

// Every chain's metric words, one list per chain: d scales for a diagonal
// metric, the row-major lower-triangular factor of a dense one.
PyObject* chains_metric(ChainsCore& core) {
  return per_chain(core, [](const ChainView& chain) { return py::to_py(std::span<const double>(chain.metric())); });
}

// Replaces every started chain's metric by its row of `words` (chains x the
// metric's words, as chains_metric gives them): the starting metric the
// warm-up adapts from. The caller checks the values; only the size and
// finiteness are checked here.
PyObject* chains_set_metric(ChainsCore& core, F64In::type words) {
  const std::size_t d = core.dim();
  const bool dense = core.settings.chain.dense;
  const std::size_t m = chain_metric_words(d, dense);
  const std::size_t w = chain_words(d, dense);
  if (words.size() != core.count() * m) {
    return py::set_error(PyExc_ValueError, "the metric must hold one row of the metric's words per chain");
  }
  const std::span<const double> all = words.span();
  if (!std::all_of(all.begin(), all.end(), [](double v) { return std::isfinite(v); })) {
    return py::set_error(PyExc_ValueError, "the metric must be finite");
  }
  for (std::size_t c = 0; c < core.count(); ++c) {
    const ChainView chain(std::span(core.states).subspan(c * w, w), d, dense);
    if (!chain.is_valid()) return py::set_error(PyExc_ValueError, "the chains have not been started");
    std::copy_n(all.begin() + static_cast<std::ptrdiff_t>(c * m), m, chain.metric().begin());
  }
  return Py_NewRef(Py_None);
}

// Every chain's state row (position, step, metric, warm-up), for a later
// run to continue from: a run of n draws then restore_state and m more
// draws equals n + m draws at once.
PyObject* chains_save_state(ChainsCore& core) { return py::to_py(std::span<const double>(core.states)); }

// Replaces the state rows by those save_state gave (instead of start): each
// must be a row of this layout, metric kind and dimension.
PyObject* chains_restore_state(ChainsCore& core, F64In::type words) {
  const std::size_t d = core.dim();
  const bool dense = core.settings.chain.dense;
  const std::size_t w = chain_words(d, dense);
  if (words.size() != core.states.size()) {
    return py::set_error(PyExc_ValueError, "the saved chain state does not fit these chains");
  }
  std::copy(words.span().begin(), words.span().end(), core.states.begin());
  for (std::size_t c = 0; c < core.count(); ++c) {
    if (!ChainView(std::span(core.states).subspan(c * w, w), d, dense).is_valid()) {
      std::fill(core.states.begin(), core.states.end(), 0.0);
      return py::set_error(PyExc_ValueError, "the saved chain state does not fit these chains");
    }
  }
  return Py_NewRef(Py_None);
}

using py::arg;
using py::signature;

constexpr auto kNewChains = signature("__new__", arg<LogDensitySpec>("logpdf"), arg<py::Any>("grad"),
                                      arg<SettingsArg>("settings"));
constexpr auto kStart = signature("start", arg<F64In>("x0"), arg<F64In>("steps"), arg<py::Optional<F64In>>("factor"),
                                  arg<py::Optional<F64In>>("mode"));
constexpr auto kLaplace = signature("laplace", arg<F64In>("starts"));
constexpr auto kRecordInto = signature("record_into", arg<F64Array>("tune_samples"), arg<F64Array>("tune_values"),
                                       arg<F64Array>("samples"), arg<F64Array>("values"));
constexpr auto kStatsInto = signature("stats_into", arg<py::Str>("phase"), arg<F64Array>("acceptance"),
                                      arg<F64Array>("step"), arg<F64Array>("energy"), arg<I64Array>("n_steps"),
                                      arg<ByteArray>("diverging"));
constexpr auto kRun = signature("run", arg<py::Any>("bit_generators"), arg<py::Str>("phase"), arg<py::U64>("count"),
                                arg<py::U64>("thin"), arg<py::U64>("start"), arg<ByteArray>("abandon"));
constexpr auto kReport = signature("report");
constexpr auto kMetric = signature("metric");
constexpr auto kSetMetric = signature("set_metric", arg<F64In>("words"));
constexpr auto kSaveState = signature("save_state");
constexpr auto kRestoreState = signature("restore_state", arg<F64In>("words"));

}  // namespace

// The No-U-Turn chains (nuts.cpp).
bool register_nuts(PyObject* module);

bool register_mcmc(PyObject* module) {
  using py::method;
  static PyMethodDef methods[] = {
      method<ChainsClass, kStart, chains_start>(),
      method<ChainsClass, kRecordInto, chains_record_into>(),
      method<ChainsClass, kStatsInto, chains_stats_into>(),
      method<ChainsClass, kRun, chains_run>(),
      method<ChainsClass, kReport, chains_report>(),
      method<ChainsClass, kMetric, chains_metric>(),
      method<ChainsClass, kSetMetric, chains_set_metric>(),
      method<ChainsClass, kSaveState, chains_save_state>(),
      method<ChainsClass, kRestoreState, chains_restore_state>(),
      method<ChainsClass, kLaplace, chains_laplace>(),
      {},
  };
  // The Python layer builds no engine for a Laplace step beyond this.
  if (PyModule_AddIntConstant(module, "LAPLACE_MAX_DIM", static_cast<long>(kMaxLaplaceDim)) != 0) return false;
  return py::add_class<ChainsClass>(module, {.methods = methods,
                                             .constructor = py::constructor<ChainsClass, kNewChains, new_chains>()}) &&
         register_nuts(module);
}

}  // namespace varlix::engine
