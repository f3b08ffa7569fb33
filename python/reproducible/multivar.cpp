// HyperRect and the multivariate samplers with their factories.
//
// One file for all of them: the classes share the box, the density wrapper
// and the method shapes, and each binding is a handful of one-line calls
// into the core.
#include <multivar/cdf_mc.hpp>
#include <multivar/copula.hpp>
#include <multivar/factor.hpp>
#include <multivar/gibbs.hpp>
#include <multivar/hmc.hpp>
#include <multivar/mcmc.hpp>
#include <multivar/rejection.hpp>
#include <multivar/support.hpp>

#include <binding/binder.hpp>
#include "adaptors.hpp"
#include "core_errors.hpp"
#include "seed.hpp"
#include "lib.hpp"
#include "point_batch.hpp"
#include <binding/pyclass.hpp>
#include <binding/result.hpp>

namespace varlix::py {
namespace {

// ---- the box and the density ------------------------------------------------

struct HyperRectClass {
  using Core = HyperRect;
  static constexpr const char* name = "HyperRect";
};

// A Python density of d coordinates on its own copy of the factory's box.
// Copies share the callable; the core samplers validate the box once more.
class PyPdfNd {
 public:
  PyPdfNd(const Ref& f, const HyperRect& support) : f_(f, support.dim()), support_(support) {}
  [[nodiscard]] double pdf(std::span<const double> x) const { return f_(x); }
  [[nodiscard]] const HyperRect& support() const { return support_; }
  [[nodiscard]] const SharedCallable& callable() const { return f_.callable(); }

 private:
  PyNdFn f_;
  HyperRect support_;
};
static_assert(PdfNd<PyPdfNd>);

// Attempts the chains' init may spend on finding a point of finite density.
constexpr std::uint64_t kInitMaxTrials = 100000;
// Clamp of Metropolis-Hastings' adapted step size: wide enough for any
// reasonably scaled box, and never zero, so adaptation can always recover.
constexpr double kStepMin = 1e-4;
constexpr double kStepMax = 10.0;

PyObject* new_hyper_rect(const Ref& lo, const Ref& hi) {
  auto lo_values = extract_f64_list(lo.get());
  if (!lo_values) return nullptr;
  auto hi_values = extract_f64_list(hi.get());
  if (!hi_values) return nullptr;
  return PyClass<HyperRectClass>::wrap(HyperRect::build(*std::move(lo_values), *std::move(hi_values)));
}

PyObject* dim_of(std::size_t dim) { return to_py(static_cast<std::uint64_t>(dim)); }

PyObject* box_lo(const HyperRect& box) { return to_py(box.lo()); }
PyObject* box_hi(const HyperRect& box) { return to_py(box.hi()); }
PyObject* box_dim(const HyperRect& box) { return dim_of(box.dim()); }

// A sampler's batch of n points drawn from the call's generator.
template <class Sampler>
PyObject* batch(Sampler& sampler, std::uint64_t n, std::optional<std::uint64_t> seed) {
  CallRng rng(seed);
  return to_py(sampler.sample_n_with_rng(n, rng.get()));
}

// ---- rejection --------------------------------------------------------------

struct RejectionSamplerClass {
  using Core = RejectionSamplerNd<PyPdfNd>;
  static constexpr const char* name = "RejectionSampler";
  static constexpr bool holds_callables = true;
};

PyObject* rejection_sampler(const Ref& f, const HyperRect* support, double pdf_max, std::uint64_t max_trials) {
  const PyPdfNd pdf(f, *support);
  return PyClass<RejectionSamplerClass>::wrap(RejectionSamplerNd<PyPdfNd>::build(pdf, max_trials, pdf_max),
                                              owned_callables(pdf));
}

using Rejection = RejectionSamplerClass::Core;
PyObject* rejection_dim(const Rejection& r) { return dim_of(r.dim()); }
PyObject* rejection_pdf_max(const Rejection& r) { return to_py(r.pdf_max()); }
PyObject* rejection_sample(const Rejection& r) { return to_py(r.sample()); }
PyObject* rejection_sample_n(const Rejection& r, std::uint64_t n, std::optional<std::uint64_t> seed) {
  return batch(r, n, seed);
}

// ---- Metropolis-Hastings ----------------------------------------------------

struct MetropolisHastingsClass {
  using Core = MetropolisHastingsNd<PyPdfNd>;
  static constexpr const char* name = "MetropolisHastings";
  static constexpr const char* thread_bound_as = "_varlix::multivar::PyMetropolisHastings";
  static constexpr bool holds_callables = true;
};

PyObject* metropolis_hastings(const Ref& f, const HyperRect* support, double step_size, std::uint64_t burn_in,
                              std::uint64_t thin, double target_accept, std::uint64_t adapt_steps) {
  const MetropolisHastingsParams params{.step_size = step_size,
                                        .burn_in = burn_in,
                                        .thin = thin,
                                        .target_accept = target_accept,
                                        .adapt_steps = adapt_steps,
                                        .step_min = kStepMin,
                                        .step_max = kStepMax,
                                        .init_max_trials = kInitMaxTrials};
  const PyPdfNd pdf(f, *support);
  return PyClass<MetropolisHastingsClass>::wrap(MetropolisHastingsNd<PyPdfNd>::build(pdf, params),
                                                owned_callables(pdf));
}

using Mh = MetropolisHastingsClass::Core;
PyObject* mh_init(Mh& mh) { return to_py(mh.init()); }
PyObject* mh_step(Mh& mh) { return to_py(mh.step()); }
PyObject* mh_sample(Mh& mh) { return to_py(mh.sample()); }
PyObject* mh_sample_n(Mh& mh, std::uint64_t n, std::optional<std::uint64_t> seed) { return batch(mh, n, seed); }
PyObject* mh_accept_rate(const Mh& mh) { return to_py(mh.accept_rate()); }

// ---- Hamiltonian Monte Carlo ------------------------------------------------

struct HmcSamplerClass {
  using Core = HmcSamplerNd<PyPdfNd>;
  static constexpr const char* name = "HmcSampler";
  static constexpr const char* thread_bound_as = "_varlix::multivar::PyHmcSampler";
  static constexpr bool holds_callables = true;
};

PyObject* hmc_sampler(const Ref& f, const HyperRect* support, double step_size, std::uint64_t leapfrog_steps,
                      double grad_eps) {
  const HmcParams params{.step_size = step_size,
                         .leapfrog_steps = leapfrog_steps,
                         .grad_eps = grad_eps,
                         .init_max_trials = kInitMaxTrials};
  const PyPdfNd pdf(f, *support);
  return PyClass<HmcSamplerClass>::wrap(HmcSamplerNd<PyPdfNd>::build(pdf, params), owned_callables(pdf));
}

using Hmc = HmcSamplerClass::Core;
PyObject* hmc_init(Hmc& hmc) { return to_py(hmc.init()); }
PyObject* hmc_sample(Hmc& hmc) { return to_py(hmc.sample()); }
PyObject* hmc_sample_n(Hmc& hmc, std::uint64_t n, std::optional<std::uint64_t> seed) { return batch(hmc, n, seed); }

// ---- Gibbs ------------------------------------------------------------------

struct GibbsSamplerClass {
  using Core = GibbsSamplerNd<PyConditionalCoord>;
  static constexpr const char* name = "GibbsSampler";
  static constexpr const char* thread_bound_as = "_varlix::multivar::PyGibbsSampler";
  static constexpr bool holds_callables = true;
};

PyObject* gibbs_sampler(const Ref& sample_coord, const HyperRect* support, const Ref& init,
                        std::uint64_t sweeps_per_sample) {
  auto start = extract_f64_list(init.get());
  if (!start) return nullptr;
  const PyConditionalCoord conditional(sample_coord, support->dim());
  return PyClass<GibbsSamplerClass>::wrap(
      GibbsSamplerNd<PyConditionalCoord>::build(conditional, sweeps_per_sample, *std::move(start)),
      owned_callables(conditional));
}

using Gibbs = GibbsSamplerClass::Core;
PyObject* gibbs_step(Gibbs& g) { return to_py(g.step()); }
PyObject* gibbs_sample(Gibbs& g) { return to_py(g.sample()); }

// ---- conditional factorization ----------------------------------------------

struct ConditionalFactorizationSamplerClass {
  using Core = ConditionalFactorSampler<PyFactorFn>;
  static constexpr const char* name = "ConditionalFactorizationSampler";
  static constexpr bool holds_callables = true;
};

PyObject* conditional_factorization_sampler(const Ref& sample_i, std::uint64_t dim) {
  const PyFactorFn factor(sample_i);
  return PyClass<ConditionalFactorizationSamplerClass>::wrap(ConditionalFactorSampler<PyFactorFn>(factor, dim),
                                                             owned_callables(factor));
}

using Factor = ConditionalFactorizationSamplerClass::Core;
PyObject* factor_sample(const Factor& s) { return to_py(s.sample()); }
PyObject* factor_sample_n(const Factor& s, std::uint64_t n, std::optional<std::uint64_t> seed) {
  return batch(s, n, seed);
}

// ---- Gaussian copula --------------------------------------------------------

struct GaussianCopulaClass {
  using Core = GaussianCopula;
  static constexpr const char* name = "GaussianCopula";
};

// Not a BuildError: a bad matrix is a ValueError naming the error kind.
PyObject* gaussian_copula(std::vector<std::vector<double>> corr) {
  auto built = GaussianCopula::build(std::move(corr));
  if (!built) return set_error(PyExc_ValueError, message(built.error()));
  return PyClass<GaussianCopulaClass>::wrap(*std::move(built));
}

PyObject* copula_dim(const GaussianCopula& c) { return dim_of(c.dim()); }

PyObject* copula_sample(const GaussianCopula& c, std::vector<Ref> ppfs, std::optional<std::uint64_t> seed) {
  std::vector<PyPpfFn> quantiles;
  quantiles.reserve(ppfs.size());
  for (Ref& ppf : ppfs) quantiles.emplace_back(std::move(ppf));
  CallRng rng(seed);
  return to_py(c.sample_with_ppfs(rng.get(), quantiles));
}

// ---- Monte-Carlo CDF --------------------------------------------------------

struct CdfMcEstimatorClass {
  using Core = CdfMcEstimator<PyPdfNd>;
  static constexpr const char* name = "CdfMcEstimator";
  static constexpr const char* thread_bound_as = "_varlix::multivar::PyCdfMcEstimator";
  static constexpr bool holds_callables = true;
};

PyObject* cdf_mc_estimator(const Ref& f, const HyperRect* support, std::uint64_t normalization_samples,
                           std::uint64_t cdf_samples) {
  const PyPdfNd pdf(f, *support);
  return PyClass<CdfMcEstimatorClass>::wrap(
      CdfMcEstimator<PyPdfNd>::build(pdf, normalization_samples, cdf_samples), owned_callables(pdf));
}

using Estimator = CdfMcEstimatorClass::Core;

PyObject* estimator_cdf(Estimator& e, const Ref& x, std::optional<std::uint64_t> seed) {
  const auto point = extract_f64_list(x.get());
  if (!point) return nullptr;
  CallRng rng(seed);
  return to_py(e.cdf_with_rng(rng.get(), *point));
}

PyObject* estimator_normalization(Estimator& e, std::optional<std::uint64_t> seed) {
  CallRng rng(seed);
  return to_py(e.estimate_normalization_with_rng(rng.get()));
}

// ---- signatures -------------------------------------------------------------

constexpr auto kSupport = arg<InstanceOf<HyperRectClass>>("support");

constexpr auto kNewHyperRect = signature("__new__", arg<Sequence>("lo"), arg<Sequence>("hi"));
constexpr auto kRejectionSampler = signature("rejection_sampler", arg<Any>("f"), kSupport, arg<Float>("pdf_max"),
                                             arg<U64>("max_trials", "100000"));
constexpr auto kMetropolisHastings =
    signature("metropolis_hastings", arg<Any>("f"), kSupport, arg<Float>("step_size", "0.25"),
              arg<U64>("burn_in", "1000"), arg<U64>("thin", "1"), arg<Float>("target_accept", "0.25"),
              arg<U64>("adapt_steps", "2000"));
constexpr auto kHmcSampler = signature("hmc_sampler", arg<Any>("f"), kSupport, arg<Float>("step_size", "0.05"),
                                       arg<U64>("leapfrog_steps", "20"), arg<Float>("grad_eps", "1e-6"));
constexpr auto kGibbsSampler = signature("gibbs_sampler", arg<Any>("sample_coord"), kSupport,
                                         arg<Sequence>("init"), arg<U64>("sweeps_per_sample", "1"));
constexpr auto kConditionalFactorizationSampler =
    signature("conditional_factorization_sampler", arg<Any>("sample_i"), arg<U64>("dim"));
constexpr auto kGaussianCopula = signature("gaussian_copula", arg<ListOf<ListOf<Float>>>("corr"));
constexpr auto kCdfMcEstimator = signature("cdf_mc_estimator", arg<Any>("f"), kSupport,
                                           arg<U64>("normalization_samples", "50000"),
                                           arg<U64>("cdf_samples", "50000"));

constexpr auto kLo = signature("lo");
constexpr auto kHi = signature("hi");
constexpr auto kDim = signature("dim");
constexpr auto kPdfMax = signature("pdf_max");
constexpr auto kInit = signature("init");
constexpr auto kStep = signature("step");
constexpr auto kSample = signature("sample");
constexpr auto kSampleN = signature("sample_n", arg<U64>("n"), arg<Seed>("seed"));
constexpr auto kAcceptRate = signature("accept_rate");
constexpr auto kCopulaSample = signature("sample", arg<ListOf<Any>>("ppfs"), arg<Seed>("seed"));
constexpr auto kCdf = signature("cdf", arg<Sequence>("x"), arg<Seed>("seed"));
constexpr auto kEstimateNormalization = signature("estimate_normalization", arg<Seed>("seed"));

// ---- registration -----------------------------------------------------------

bool add_classes(PyObject* module) {
  using Box = HyperRectClass;
  static PyMethodDef box_methods[] = {
      method<Box, kLo, box_lo>(), method<Box, kHi, box_hi>(), method<Box, kDim, box_dim>(), {}};

  using Rej = RejectionSamplerClass;
  static PyMethodDef rejection_methods[] = {
      method<Rej, kDim, rejection_dim>(),           method<Rej, kPdfMax, rejection_pdf_max>(),
      method<Rej, kSample, rejection_sample>(),     method<Rej, kSampleN, rejection_sample_n>(), {}};

  using MhC = MetropolisHastingsClass;
  static PyMethodDef mh_methods[] = {
      method<MhC, kInit, mh_init>(),         method<MhC, kStep, mh_step>(),
      method<MhC, kSample, mh_sample>(),     method<MhC, kSampleN, mh_sample_n>(),
      method<MhC, kAcceptRate, mh_accept_rate>(), {}};

  using HmcC = HmcSamplerClass;
  static PyMethodDef hmc_methods[] = {
      method<HmcC, kInit, hmc_init>(), method<HmcC, kSample, hmc_sample>(), method<HmcC, kSampleN, hmc_sample_n>(),
      {}};

  using GibbsC = GibbsSamplerClass;
  static PyMethodDef gibbs_methods[] = {
      method<GibbsC, kStep, gibbs_step>(), method<GibbsC, kSample, gibbs_sample>(), {}};

  using FactorC = ConditionalFactorizationSamplerClass;
  static PyMethodDef factor_methods[] = {
      method<FactorC, kSample, factor_sample>(), method<FactorC, kSampleN, factor_sample_n>(), {}};

  using CopulaC = GaussianCopulaClass;
  static PyMethodDef copula_methods[] = {
      method<CopulaC, kDim, copula_dim>(), method<CopulaC, kCopulaSample, copula_sample>(), {}};

  using Est = CdfMcEstimatorClass;
  static PyMethodDef estimator_methods[] = {
      method<Est, kCdf, estimator_cdf>(), method<Est, kEstimateNormalization, estimator_normalization>(), {}};

  return add_class<Box>(module, {.methods = box_methods,
                                 .constructor = constructor<Box, kNewHyperRect, new_hyper_rect>()}) &&
         add_class<Rej>(module, {.methods = rejection_methods}) &&
         add_class<MhC>(module, {.methods = mh_methods}) && add_class<HmcC>(module, {.methods = hmc_methods}) &&
         add_class<GibbsC>(module, {.methods = gibbs_methods}) &&
         add_class<FactorC>(module, {.methods = factor_methods}) &&
         add_class<CopulaC>(module, {.methods = copula_methods}) &&
         add_class<Est>(module, {.methods = estimator_methods});
}

}  // namespace

bool register_multivar(PyObject* module) {
  static PyMethodDef functions[] = {
      function<kRejectionSampler, rejection_sampler>(),
      function<kMetropolisHastings, metropolis_hastings>(),
      function<kHmcSampler, hmc_sampler>(),
      function<kGibbsSampler, gibbs_sampler>(),
      function<kConditionalFactorizationSampler, conditional_factorization_sampler>(),
      function<kGaussianCopula, gaussian_copula>(),
      function<kCdfMcEstimator, cdf_mc_estimator>(),
      {},
  };
  return add_classes(module) && add_functions(module, functions);
}

}  // namespace varlix::py
