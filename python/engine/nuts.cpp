// The No-U-Turn chains of varlix.mcmc.nuts: an engine class that owns a
// group of chains (their positions, gradients, step sizes, metrics and
// warm-up) for a whole run, started once and advanced in pieces, writing
// each iteration into the arrays attached by record_into.
//
// The target is one of four kinds, fixed at construction:
//   "python"        fn() evaluates the log-density at the point the engine
//                   wrote into x_buffer, writes the gradient into g_buffer
//                   and returns the value (the Python layer wraps the
//                   user's function(s) so);
//   "python_value"  the same without a gradient: central differences;
//   "native"        a capsule from _functions.compiled_function: a C
//                   function double(int d, double* x, double* g) (or with a
//                   trailing void* user_data) that returns the value and
//                   writes the gradient, or double(int d, double* x) (or
//                   with data), differentiated by central differences; run
//                   without the interpreter lock and polled for interrupts.
// A Python function that raises leaves its exception pending and the run
// stops with it; the Python layer turns an arithmetic overflow into NaN
// beforehand, which the sampler takes as a divergence.
#include <binding/binder.hpp>
#include <binding/error.hpp>
#include <binding/interrupt.hpp>
#include <binding/pyclass.hpp>
#include <binding/ref.hpp>
#include <binding/result.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <multivar/central_difference_gradient.hpp>
#include <multivar/nuts_chains.hpp>
#include <stop_poll.hpp>
#include <uniform_source.hpp>

#include "chain_arguments.hpp"
#include "engine.hpp"

namespace varlix::engine {
namespace {

using py::Ref;

constexpr double kFailed = std::numeric_limits<double>::quiet_NaN();

// ---- targets -----------------------------------------------------------------

// A Python function of the point in x_buffer; with `joint`, it also writes
// the gradient into g_buffer.
class PyTarget {
 public:
  PyTarget(Ref fn, F64Array::type x, F64Array::type g) : fn_(std::move(fn)), x_(std::move(x)), g_(std::move(g)) {}

  [[nodiscard]] double operator()(std::span<const double> x) const {
    if (failed()) return kFailed;
    std::memcpy(x_.data(), x.data(), x.size() * sizeof(double));
    const Ref result = Ref::steal(PyObject_CallNoArgs(fn_.get()));
    if (!result) return kFailed;
    const double value = PyFloat_AsDouble(result.get());
    return failed() ? kFailed : value;
  }
  [[nodiscard]] bool failed() const { return PyErr_Occurred() != nullptr; }

 protected:
  [[nodiscard]] std::span<const double> gradient_buffer() const { return g_.span(); }

 private:
  Ref fn_;
  F64Array::type x_;
  F64Array::type g_;
};

class PyJointTarget : public PyTarget {
 public:
  using PyTarget::PyTarget;
  [[nodiscard]] bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
    value = (*this)(x);
    if (failed()) return false;
    std::copy(gradient_buffer().begin(), gradient_buffer().end(), g.begin());
    return true;
  }
};

// A C function, copied its point (it takes double*, and one that wrote to
// its argument must not move a chain), polled for interrupts.
class NativeTarget {
 public:
  NativeTarget(void* code, void* data, bool with_data, std::size_t dim)
      : code_(code), data_(data), with_data_(with_data), dim_(dim), scratch_(dim), gradient_(dim) {}

  void arm(void* abandon) { poll_ = StopPoll(py::interrupt_requested, abandon); }
  [[nodiscard]] bool failed() const { return poll_.stopped(); }

 protected:
  // The value, and the gradient into g when the function writes one.
  [[nodiscard]] double call(std::span<const double> x, double* g, bool joint) const {
    if (poll_()) return kFailed;
    std::memcpy(scratch_.data(), x.data(), dim_ * sizeof(double));
    const int d = static_cast<int>(dim_);
    if (joint) {
      if (with_data_) return reinterpret_cast<double (*)(int, double*, double*, void*)>(code_)(d, scratch_.data(), g, data_);
      return reinterpret_cast<double (*)(int, double*, double*)>(code_)(d, scratch_.data(), g);
    }
    if (with_data_) return reinterpret_cast<double (*)(int, double*, void*)>(code_)(d, scratch_.data(), data_);
    return reinterpret_cast<double (*)(int, double*)>(code_)(d, scratch_.data());
  }
  [[nodiscard]] double* spare_gradient() const { return gradient_.data(); }

 private:
  void* code_;
  void* data_;
  bool with_data_;
  std::size_t dim_;
  mutable std::vector<double> scratch_;
  mutable std::vector<double> gradient_;
  mutable StopPoll poll_;
};

class NativeValueTarget : public NativeTarget {
 public:
  using NativeTarget::NativeTarget;
  [[nodiscard]] double operator()(std::span<const double> x) const { return call(x, nullptr, false); }
};

class NativeJointTarget : public NativeTarget {
 public:
  using NativeTarget::NativeTarget;
  [[nodiscard]] double operator()(std::span<const double> x) const { return call(x, spare_gradient(), true); }
  [[nodiscard]] bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
    value = call(x, g.data(), true);
    return !failed();
  }
};

using AnyTarget = std::variant<PyJointTarget, PyTarget, NativeJointTarget, NativeValueTarget>;

// visitor(f) with a differentiable form of the target.
template <class Visitor>
auto with_gradient(const AnyTarget& target, std::size_t dim, Visitor&& visitor) {
  return std::visit(
      [&](const auto& f) {
        using T = std::remove_cvref_t<decltype(f)>;
        if constexpr (JointGradientLogDensity<T>) {
          return visitor(f);
        } else {
          const CentralDifferenceGradient<T> differentiated(f, dim);
          return visitor(differentiated);
        }
      },
      target);
}

// ---- the class ---------------------------------------------------------------------

using AnyChains =
    std::variant<NutsChains<DiagonalEstimator>, NutsChains<DenseEstimator>, NutsChains<LowRankEstimator>>;

struct NutsCore {
  AnyTarget target;
  AnyChains chains;
  std::size_t dim = 0;
  std::size_t count = 0;
  // Keep the arrays the record views alive.
  std::vector<std::variant<F64Array::type, I64Array::type, ByteArray::type>> record_owners = {};
  NutsRecord record = {};
  std::size_t cursor = 0;

  [[nodiscard]] bool is_native() const { return target.index() >= 2; }
};

struct NutsClass {
  using Core = NutsCore;
  static constexpr const char* name = "NutsChains";
};


std::optional<AnyTarget> make_target(const std::string& kind, PyObject* fn, F64Array::type x, F64Array::type g,
                                     PyObject* native, std::size_t dim) {
  if (kind == "python") return AnyTarget(std::in_place_type<PyJointTarget>, Ref::borrow(fn), std::move(x), std::move(g));
  if (kind == "python_value") return AnyTarget(std::in_place_type<PyTarget>, Ref::borrow(fn), std::move(x), std::move(g));
  if (kind != "native") {
    py::set_error(PyExc_ValueError, "unknown target kind");
    return std::nullopt;
  }
  CompiledLogDensity f;
  if (!compiled_log_density(native, f)) return std::nullopt;
  if (f.joint) return AnyTarget(std::in_place_type<NativeJointTarget>, f.code, f.data, f.with_data, dim);
  return AnyTarget(std::in_place_type<NativeValueTarget>, f.code, f.data, f.with_data, dim);
}

// The rank word of each chain's low-rank metric, which sets how many
// directions the integrator reads.
bool ranks_in_range(std::span<const double> words, std::size_t chains, std::size_t d) {
  const std::size_t m = LowRankMetric::metric_size(d);
  for (std::size_t c = 0; c < chains; ++c) {
    const double k = words[c * m + d];
    if (!(k >= 0.0 && k <= static_cast<double>(LowRankMetric::kMaxRank)) || k != std::floor(k)) return false;
  }
  return true;
}

PyObject* new_nuts(std::string kind, Ref fn, F64Array::type x_buffer, F64Array::type g_buffer, Ref native,
                   F64In::type x0, F64In::type metric0, std::uint64_t chains, std::uint64_t tune,
                   double target_accept, std::uint64_t max_tree_depth, std::string metric) {
  const std::size_t n = chains;
  if (n == 0 || x0.size() % n != 0 || x0.size() == 0) return py::set_error(PyExc_ValueError, "x0 must hold one point per chain");
  const std::size_t d = x0.size() / n;
  if (x_buffer.size() != d || g_buffer.size() != d) {
    return py::set_error(PyExc_ValueError, "the point and gradient buffers must hold d doubles");
  }
  if (metric != "diag" && metric != "dense" && metric != "low_rank") {
    return py::set_error(PyExc_ValueError, "unknown metric kind");
  }
  if (metric == "low_rank" && d < 2) return py::set_error(PyExc_ValueError, "a low-rank metric needs d >= 2");
  const std::size_t m = metric == "dense"      ? DenseEstimator::metric_size(d)
                        : metric == "low_rank" ? LowRankEstimator::metric_size(d)
                                               : DiagonalEstimator::metric_size(d);
  if (metric0.size() != n * m) return py::set_error(PyExc_ValueError, "the starting metric has the wrong size");
  if (metric == "low_rank" && !ranks_in_range(metric0.span(), n, d)) {
    return py::set_error(PyExc_ValueError, "a low-rank metric's rank must be an integer in [0, 10]");
  }
  if (max_tree_depth < 1 || max_tree_depth > 30) return py::set_error(PyExc_ValueError, "max_tree_depth must lie in [1, 30]");
  std::optional<AnyTarget> target = make_target(kind, fn.get(), std::move(x_buffer), std::move(g_buffer), native.get(), d);
  if (!target) return nullptr;
  const NutsSettings settings{d, tune, target_accept, static_cast<std::uint32_t>(max_tree_depth)};
  auto build = [&](auto tag) -> std::optional<AnyChains> {
    using E = typename decltype(tag)::type;
    auto group = NutsChains<E>::make(settings, n, x0.span(), metric0.span());
    if (!group) {
      py::set_error(PyExc_MemoryError, "out of memory for the chains' working state");
      return std::nullopt;
    }
    return AnyChains(std::move(*group));
  };
  std::optional<AnyChains> group = metric == "dense"      ? build(std::type_identity<DenseEstimator>{})
                                   : metric == "low_rank" ? build(std::type_identity<LowRankEstimator>{})
                                                          : build(std::type_identity<DiagonalEstimator>{});
  if (!group) return nullptr;
  return py::PyClass<NutsClass>::wrap(NutsCore{std::move(*target), std::move(*group), d, n});
}

// Runs body(f, chains, sources) with the target in its differentiable form,
// without the interpreter lock for a native one.
template <class Body>
PyObject* run(NutsCore& core, PyObject* bit_generators, void* abandon, Body&& body) {
  std::vector<BitGeneratorSource> sources;
  if (!sources_of(bit_generators, core.count, sources)) return nullptr;
  if (auto* native = std::get_if<NativeJointTarget>(&core.target)) native->arm(abandon);
  if (auto* native = std::get_if<NativeValueTarget>(&core.target)) native->arm(abandon);
  std::expected<void, ChainFault> result;
  {
    const UnlockedIf unlocked(core.is_native());
    result = with_gradient(core.target, core.dim, [&](const auto& f) {
      return std::visit([&](auto& chains) { return body(f, chains, std::span(sources)); }, core.chains);
    });
  }
  return chain_result(result);
}

PyObject* nuts_start(NutsCore& core, Ref bit_generators) {
  return run(core, bit_generators.get(), nullptr,
             [](const auto& f, auto& chains, auto sources) { return chains.start(f, sources); });
}

PyObject* nuts_record_into(NutsCore& core, F64Array::type samples, F64Array::type lp, F64Array::type accept,
                           F64Array::type step, F64Array::type energy, I64Array::type depth, I64Array::type steps,
                           ByteArray::type diverging) {
  const std::size_t rows = lp.size() / core.count;
  const std::size_t per_chain = core.count * rows;
  if (lp.size() != per_chain || samples.size() != per_chain * core.dim || accept.size() != per_chain ||
      step.size() != per_chain || energy.size() != per_chain || depth.size() != per_chain ||
      steps.size() != per_chain || diverging.size() != per_chain) {
    return py::set_error(PyExc_ValueError, "the record arrays must have one row per chain and iteration");
  }
  core.record = NutsRecord{rows, samples.span(), lp.span(), accept.span(), step.span(), energy.span(),
                           depth.span(), steps.span(), diverging.span()};
  core.record_owners = {std::move(samples), std::move(lp),    std::move(accept), std::move(step),
                        std::move(energy),  std::move(depth), std::move(steps),  std::move(diverging)};
  core.cursor = 0;
  return Py_NewRef(Py_None);
}

// The next `count` iterations into the next rows of the record; `abandon`
// is a byte another thread sets to stop a native run on a worker thread.
PyObject* nuts_advance(NutsCore& core, Ref bit_generators, std::uint64_t count, ByteArray::type abandon) {
  if (core.cursor + count > core.record.rows) return py::set_error(PyExc_ValueError, "the record arrays are full");
  void* flag = abandon.size() == 0 ? nullptr : abandon.data();
  const std::size_t cursor = core.cursor;
  PyObject* result = run(core, bit_generators.get(), flag, [&](const auto& f, auto& chains, auto sources) {
    return chains.advance(f, sources, count, core.record, cursor);
  });
  if (result != nullptr) core.cursor += count;
  return result;
}

// Every chain's metric words (scales, factors, or LowRankMetric's words),
// one list per chain.
PyObject* nuts_metric(const NutsCore& core) {
  return std::visit(
      [&](const auto& chains) -> PyObject* {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(chains.chains())));
        if (!list) return nullptr;
        for (std::size_t c = 0; c < chains.chains(); ++c) {
          PyObject* item = py::to_py(chains.metric(c));
          if (item == nullptr) return nullptr;
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), item);
        }
        return list.release();
      },
      core.chains);
}

PyObject* nuts_steps(const NutsCore& core) {
  return std::visit(
      [&](const auto& chains) -> PyObject* {
        std::vector<double> steps(chains.chains());
        for (std::size_t c = 0; c < steps.size(); ++c) steps[c] = chains.step(c);
        return py::to_py(std::span<const double>(steps));
      },
      core.chains);
}

// Every chain's whole state, chains x chain_state_size doubles, row by row.
PyObject* nuts_save_state(const NutsCore& core) {
  return std::visit(
      [&](const auto& chains) -> PyObject* {
        const std::size_t w = chains.chain_state_size();
        std::vector<double> words;
        if (!try_resize(words, w * chains.chains())) return PyErr_NoMemory();
        for (std::size_t c = 0; c < chains.chains(); ++c) chains.save(c, std::span(words).subspan(c * w, w));
        return py::to_py(std::span<const double>(words));
      },
      core.chains);
}

// Restores what save_state gave, after `done` iterations; instead of start.
PyObject* nuts_restore_state(NutsCore& core, F64In::type words, std::uint64_t done) {
  return std::visit(
      [&](auto& chains) -> PyObject* {
        const std::size_t w = chains.chain_state_size();
        if (words.size() != w * chains.chains()) {
          return py::set_error(PyExc_ValueError, "the saved chain state does not fit these chains");
        }
        for (std::size_t c = 0; c < chains.chains(); ++c) chains.restore(c, words.span().subspan(c * w, w), done);
        return Py_NewRef(Py_None);
      },
      core.chains);
}

using py::arg;
using py::signature;

constexpr auto kNewNuts = signature(
    "__new__", arg<py::Str>("kind"), arg<py::Any>("fn"), arg<F64Array>("x_buffer"), arg<F64Array>("g_buffer"),
    arg<py::Any>("native"), arg<F64In>("x0"), arg<F64In>("metric0"), arg<py::U64>("chains"),
    arg<py::U64>("tune"), arg<py::Float>("target_accept"), arg<py::U64>("max_tree_depth"), arg<py::Str>("metric"));
constexpr auto kStart = signature("start", arg<py::Any>("bit_generators"));
constexpr auto kRecordInto =
    signature("record_into", arg<F64Array>("samples"), arg<F64Array>("lp"), arg<F64Array>("accept"),
              arg<F64Array>("step"), arg<F64Array>("energy"), arg<I64Array>("tree_depth"),
              arg<I64Array>("n_steps"), arg<ByteArray>("diverging"));
constexpr auto kAdvance = signature("advance", arg<py::Any>("bit_generators"), arg<py::U64>("count"),
                                    arg<ByteArray>("abandon"));
constexpr auto kMetric = signature("metric");
constexpr auto kSteps = signature("step_sizes");
constexpr auto kSaveState = signature("save_state");
constexpr auto kRestoreState = signature("restore_state", arg<F64In>("words"), arg<py::U64>("done"));

}  // namespace

bool register_nuts(PyObject* module) {
  using py::method;
  static PyMethodDef methods[] = {
      method<NutsClass, kStart, nuts_start>(),
      method<NutsClass, kRecordInto, nuts_record_into>(),
      method<NutsClass, kAdvance, nuts_advance>(),
      method<NutsClass, kMetric, nuts_metric>(),
      method<NutsClass, kSteps, nuts_steps>(),
      method<NutsClass, kSaveState, nuts_save_state>(),
      method<NutsClass, kRestoreState, nuts_restore_state>(),
      {},
  };
  return py::add_class<NutsClass>(module,
                                  {.methods = methods, .constructor = py::constructor<NutsClass, kNewNuts, new_nuts>()});
}

}  // namespace varlix::engine
