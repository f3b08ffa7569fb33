// DiscreteDistribution and from_pmf.
#include <discrete/custom.hpp>

#include <binding/binder.hpp>
#include <binding/interrupt.hpp>
#include "core_errors.hpp"
#include "seed.hpp"
#include "lib.hpp"
#include <binding/pyclass.hpp>
#include <binding/result.hpp>

namespace varlix::py {
namespace {

struct DiscreteDistributionClass {
  using Core = DiscreteSampler;
  static constexpr const char* name = "DiscreteDistribution";
};
using PyDiscrete = PyClass<DiscreteDistributionClass>;

PyObject* from_pmf(const Ref& points, const Ref& pmf) {
  auto point_values = extract_f64_list(points.get());
  if (!point_values) return nullptr;
  auto masses = extract_f64_list(pmf.get());
  if (!masses) return nullptr;
  return PyDiscrete::wrap(DiscreteSampler::from_pmf(*std::move(point_values), *std::move(masses)));
}

// The table is never read out of range: a bad index is a Python IndexError.
PyObject* table_entry(std::optional<double> entry) {
  if (!entry) return set_error(PyExc_IndexError, "DiscreteDistribution index out of range");
  return to_py(*entry);
}

PyObject* len(const DiscreteSampler& d) { return to_py(std::uint64_t{d.size()}); }
PyObject* points(const DiscreteSampler& d) { return to_py(d.points()); }
PyObject* pmf(const DiscreteSampler& d, double x) { return to_py(d.pmf(x)); }
PyObject* pmf_at(const DiscreteSampler& d, std::uint64_t index) { return table_entry(d.pmf_at(index)); }
PyObject* cdf_at(const DiscreteSampler& d, std::uint64_t index) { return table_entry(d.cdf_at(index)); }
PyObject* ppf(const DiscreteSampler& d, double u) { return to_py(d.ppf(u)); }
PyObject* mean(const DiscreteSampler& d) { return to_py(d.mean()); }
PyObject* var(const DiscreteSampler& d) { return to_py(d.var()); }
PyObject* std_dev(const DiscreteSampler& d) { return to_py(d.std()); }
PyObject* sample(const DiscreteSampler& d) { return to_py(d.sample()); }

PyObject* sample_n(const DiscreteSampler& d, std::uint64_t n, std::optional<std::uint64_t> seed) {
  CallRng rng(seed);
  return to_py(d.sample_n_with_rng(n, rng.get(), interrupt_pending));
}

constexpr auto kFromPmf = signature("from_pmf", arg<Sequence>("points"), arg<Sequence>("pmf"));
constexpr auto kLen = signature("len");
constexpr auto kPoints = signature("points");
constexpr auto kPmf = signature("pmf", arg<Float>("x"));
constexpr auto kPmfAt = signature("pmf_at", arg<U64>("index"));
constexpr auto kCdfAt = signature("cdf_at", arg<U64>("index"));
constexpr auto kPpf = signature("ppf", arg<Float>("u"));
constexpr auto kMean = signature("mean");
constexpr auto kVar = signature("var");
constexpr auto kStd = signature("std");
constexpr auto kSample = signature("sample");
constexpr auto kSampleN = signature("sample_n", arg<U64>("n"), arg<Seed>("seed"));

}  // namespace

bool register_discrete(PyObject* module) {
  using Cls = DiscreteDistributionClass;
  static PyMethodDef methods[] = {
      method<Cls, kLen, len>(),       method<Cls, kPoints, points>(),  method<Cls, kPmf, pmf>(),
      method<Cls, kPmfAt, pmf_at>(),  method<Cls, kCdfAt, cdf_at>(),   method<Cls, kPpf, ppf>(),
      method<Cls, kMean, mean>(),     method<Cls, kVar, var>(),        method<Cls, kStd, std_dev>(),
      method<Cls, kSample, sample>(), method<Cls, kSampleN, sample_n>(), {},
  };
  static PyMethodDef functions[] = {function<kFromPmf, from_pmf>(), {}};
  return add_class<Cls>(module, {.methods = methods}) && add_functions(module, functions);
}

}  // namespace varlix::py
