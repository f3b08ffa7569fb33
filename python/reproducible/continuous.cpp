// ContinuousDistribution and the continuous factories; their argument classes
// Interval and BuildOptions have files of their own.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <continuous/cdf.hpp>
#include <continuous/model.hpp>
#include <continuous/sampler.hpp>
#include <continuous/stats.hpp>
#include <continuous/truncated.hpp>
#include <error.hpp>

#include <binding/binder.hpp>
#include <binding/interrupt.hpp>
#include "adaptors.hpp"
#include "core_errors.hpp"
#include "seed.hpp"
#include "lib.hpp"
#include "continuous_args.hpp"
#include <binding/pyclass.hpp>
#include <binding/result.hpp>

namespace varlix::py {
namespace {

// ---- ContinuousDistribution -----------------------------------------------------

using Model = ContinuousModel<PyFloatFn>;

struct ContinuousDistributionClass {
  using Core = Model;
  static constexpr const char* name = "ContinuousDistribution";
  static constexpr bool holds_callables = true;
};
using PyDistribution = PyClass<ContinuousDistributionClass>;

// op(sampler) on whichever of the five samplers the model holds, as a Python
// result (a SampleError raised).
template <class Op>
PyObject* on_sampler(const Model& model, Op&& op) {
  return to_py(std::visit(std::forward<Op>(op), model));
}

// The model's bounds already satisfy Interval's invariants.
PyObject* support(const Model& m) {
  return PyClass<IntervalClass>::wrap(std::visit([](const auto& s) { return Interval{s.lo(), s.hi()}; }, m));
}

PyObject* sample(const Model& m) {
  return on_sampler(m, [](const auto& s) { return s.sample(); });
}

PyObject* sample_n(const Model& m, std::uint64_t n, std::optional<std::uint64_t> seed) {
  CallRng rng(seed);
  return on_sampler(m, [n, &rng](const auto& s) { return s.sample_n_with_rng(n, rng.get(), interrupt_pending); });
}

PyObject* cdf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::cdf(s, x); });
}
PyObject* pdf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::pdf(s, x); });
}
PyObject* ppf(const Model& m, double u) {
  return on_sampler(m, [u](const auto& s) { return s.ppf(u); });
}
PyObject* sf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::sf(s, x); });
}
PyObject* isf(const Model& m, double q) {
  return on_sampler(m, [q](const auto& s) { return stats::isf(s, q); });
}
PyObject* logpdf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::logpdf(s, x); });
}
PyObject* logcdf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::logcdf(s, x); });
}
PyObject* logsf(const Model& m, double x) {
  return on_sampler(m, [x](const auto& s) { return stats::logsf(s, x); });
}
PyObject* mean(const Model& m) {
  return on_sampler(m, [](const auto& s) { return stats::mean(s); });
}
PyObject* var(const Model& m) {
  return on_sampler(m, [](const auto& s) { return stats::var(s); });
}
PyObject* std_dev(const Model& m) {
  return on_sampler(m, [](const auto& s) { return stats::std(s); });
}
PyObject* median(const Model& m) {
  return on_sampler(m, [](const auto& s) { return stats::median(s); });
}
PyObject* entropy(const Model& m) {
  return on_sampler(m, [](const auto& s) { return stats::entropy(s); });
}
PyObject* central_interval(const Model& m, double confidence) {
  return on_sampler(m, [confidence](const auto& s) { return stats::interval(s, confidence); });
}

// The adaptor lives for this call only; nothing checks that func is callable.
PyObject* expect(const Model& m, const Ref& func) {
  const PyFloatFn g(func);
  return on_sampler(m, [&g](const auto& s) { return stats::expect(s, g); });
}

PyObject* uses_hermite_table(const Model& m) {
  return on_sampler(m, [](const auto& s) { return s.uses_hermite_table(); });
}
PyObject* uses_tdr(const Model& m) {
  return on_sampler(m, [](const auto& s) { return s.uses_tdr(); });
}

// ---- factories ----------------------------------------------------------------

using Plain = PlainPdf<PyFloatFn>;

// Truncation normalizes its mass at the default tolerance whatever the
// options say; the options' tolerance governs the truncated distribution's
// own normalizer and CDF values.
constexpr double kTruncationTolerance = 1e-10;

const SamplerOptions& options_or_default(std::optional<const SamplerOptions*> options) {
  return options ? **options : kDefaultOptions;
}

// A builder's result as a new ContinuousDistribution owning `callables`,
// or its error raised.
template <class Sampler>
PyObject* distribution(std::expected<Sampler, BuildError>&& built, OwnedCallables&& callables) {
  if (!built) return map_build_err(built.error());
  return PyDistribution::wrap(Model(std::in_place_type<Sampler>, *std::move(built)), std::move(callables));
}

// A density adaptor that may have failed its own checks, then the sampler.
template <class P>
PyObject* from_density(std::expected<P, BuildError>&& density, const SamplerOptions& options,
                       OwnedCallables&& callables) {
  if (!density) return map_build_err(density.error());
  return distribution(varlix::from_pdf(*std::move(density), options), std::move(callables));
}

Plain plain_pdf(const PyFloatFn& f, const Interval* interval) { return Plain(f, interval->lo, interval->hi); }

PyObject* from_pdf_with_options(const Ref& f, const Interval* interval, const SamplerOptions* options) {
  const PyFloatFn pdf(f);
  return distribution(varlix::from_pdf(plain_pdf(pdf, interval), *options), owned_callables(pdf));
}

PyObject* from_pdf(const Ref& f, const Interval* interval) {
  return from_pdf_with_options(f, interval, &kDefaultOptions);
}

PyObject* from_pdf_dpdf(const Ref& f, const Ref& dpdf, const Interval* interval,
                        std::optional<const SamplerOptions*> options) {
  const PyFloatFn pdf(f);
  // The derivative serves the build only and goes with it: the distribution
  // owns no reference to it.
  return distribution(varlix::from_pdf_with_dpdf(plain_pdf(pdf, interval), plain_pdf(PyFloatFn(dpdf), interval),
                                                 options_or_default(options)),
                      owned_callables(pdf));
}

PyObject* from_cdf_with_options(const Ref& f, const Interval* interval, const SamplerOptions* options) {
  const PyFloatFn cdf(f);
  return distribution(varlix::from_cdf(cdf, interval->lo, interval->hi, *options), owned_callables(cdf));
}

PyObject* from_cdf(const Ref& f, const Interval* interval) {
  return from_cdf_with_options(f, interval, &kDefaultOptions);
}

PyObject* from_histogram(const Ref& edges, const Ref& counts, bool density,
                         std::optional<const SamplerOptions*> options) {
  auto edge_values = extract_f64_list(edges.get());
  if (!edge_values) return nullptr;
  auto count_values = extract_f64_list(counts.get());
  if (!count_values) return nullptr;
  return distribution(
      varlix::from_histogram(*std::move(edge_values), *std::move(count_values), density, options_or_default(options)),
      {});
}

PyObject* from_pdf_loc_scale(const Ref& f, const Interval* interval, double loc, double scale,
                             std::optional<const SamplerOptions*> options) {
  const PyFloatFn pdf(f);
  return from_density(LocScalePdf<PyFloatFn>::build(pdf, interval->lo, interval->hi, loc, scale),
                      options_or_default(options), owned_callables(pdf));
}

PyObject* truncated(const Ref& f, const Interval* interval, const Interval* trunc_interval,
                    std::optional<const SamplerOptions*> options) {
  const PyFloatFn pdf(f);
  return from_density(
      Truncated<Plain>::build(plain_pdf(pdf, interval), trunc_interval->lo, trunc_interval->hi, kTruncationTolerance),
      options_or_default(options), owned_callables(pdf));
}

// ---- signatures ---------------------------------------------------------------

using IntervalArg = InstanceOf<IntervalClass>;
using OptionsArg = InstanceOf<BuildOptionsClass>;


constexpr auto kSupport = signature("support");
constexpr auto kSample = signature("sample");
constexpr auto kSampleN = signature("sample_n", arg<U64>("n"), arg<Seed>("seed"));
constexpr auto kCdf = signature("cdf", arg<Float>("x"));
constexpr auto kPdf = signature("pdf", arg<Float>("x"));
constexpr auto kPpf = signature("ppf", arg<Float>("u"));
constexpr auto kSf = signature("sf", arg<Float>("x"));
constexpr auto kIsf = signature("isf", arg<Float>("q"));
constexpr auto kLogpdf = signature("logpdf", arg<Float>("x"));
constexpr auto kLogcdf = signature("logcdf", arg<Float>("x"));
constexpr auto kLogsf = signature("logsf", arg<Float>("x"));
constexpr auto kMean = signature("mean");
constexpr auto kVar = signature("var");
constexpr auto kStd = signature("std");
constexpr auto kMedian = signature("median");
constexpr auto kEntropy = signature("entropy");
constexpr auto kInterval = signature("interval", arg<Float>("confidence"));
constexpr auto kExpect = signature("expect", arg<Any>("func"));
constexpr auto kUsesHermiteTable = signature("uses_hermite_table");
constexpr auto kUsesTdr = signature("uses_tdr");

constexpr auto kFromPdf = signature("from_pdf", arg<Any>("f"), arg<IntervalArg>("interval"));
constexpr auto kFromPdfWithOptions = signature("from_pdf_with_options", arg<Any>("f"), arg<IntervalArg>("interval"),
                                               arg<OptionsArg>("options"));
constexpr auto kFromPdfDpdf = signature("from_pdf_dpdf", arg<Any>("f"), arg<Any>("dpdf"),
                                        arg<IntervalArg>("interval"), arg<Optional<OptionsArg>>("options"));
constexpr auto kFromCdf = signature("from_cdf", arg<Any>("f"), arg<IntervalArg>("interval"));
constexpr auto kFromCdfWithOptions = signature("from_cdf_with_options", arg<Any>("f"), arg<IntervalArg>("interval"),
                                               arg<OptionsArg>("options"));
constexpr auto kFromHistogram = signature("from_histogram", arg<Sequence>("edges"), arg<Sequence>("counts"),
                                          arg<Bool>("density", "False"), arg<Optional<OptionsArg>>("options"));
constexpr auto kFromPdfLocScale =
    signature("from_pdf_loc_scale", arg<Any>("f"), arg<IntervalArg>("interval"), arg<Float>("loc"),
              arg<Float>("scale"), arg<Optional<OptionsArg>>("options"));
constexpr auto kTruncated = signature("truncated", arg<Any>("f"), arg<IntervalArg>("interval"),
                                      arg<IntervalArg>("trunc_interval"), arg<Optional<OptionsArg>>("options"));

}  // namespace

bool register_continuous(PyObject* module) {
  using Dist = ContinuousDistributionClass;
  static PyMethodDef distribution_methods[] = {
      method<Dist, kSupport, support>(),
      method<Dist, kSample, sample>(),
      method<Dist, kSampleN, sample_n>(),
      method<Dist, kCdf, cdf>(),
      method<Dist, kPdf, pdf>(),
      method<Dist, kPpf, ppf>(),
      method<Dist, kSf, sf>(),
      method<Dist, kIsf, isf>(),
      method<Dist, kLogpdf, logpdf>(),
      method<Dist, kLogcdf, logcdf>(),
      method<Dist, kLogsf, logsf>(),
      method<Dist, kMean, mean>(),
      method<Dist, kVar, var>(),
      method<Dist, kStd, std_dev>(),
      method<Dist, kMedian, median>(),
      method<Dist, kEntropy, entropy>(),
      method<Dist, kInterval, central_interval>(),
      method<Dist, kExpect, expect>(),
      method<Dist, kUsesHermiteTable, uses_hermite_table>(),
      method<Dist, kUsesTdr, uses_tdr>(),
      {},
  };
  static PyMethodDef functions[] = {
      function<kFromPdf, from_pdf>(),
      function<kFromPdfWithOptions, from_pdf_with_options>(),
      function<kFromPdfDpdf, from_pdf_dpdf>(),
      function<kFromCdf, from_cdf>(),
      function<kFromCdfWithOptions, from_cdf_with_options>(),
      function<kFromHistogram, from_histogram>(),
      function<kFromPdfLocScale, from_pdf_loc_scale>(),
      function<kTruncated, truncated>(),
      {},
  };
  return register_interval(module) && register_build_options(module) &&
         add_class<Dist>(module, {.methods = distribution_methods}) && add_functions(module, functions);
}

}  // namespace varlix::py
