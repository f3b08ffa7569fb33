// The generators of varlix.sampling: one class per method, each owning its
// core table (and the user function when draws need it). Constructors build
// the table; sample/ppf/cdf work on the arrays they are given; to_bytes
// and from_bytes carry the table through pickling.
#include "engine.hpp"
#include "function.hpp"

#include <binding/array.hpp>
#include <binding/result.hpp>

#include <continuous/hinv.hpp>
#include <continuous/pinv.hpp>
#include <continuous/rou.hpp>
#include <continuous/srou.hpp>
#include <continuous/tdr_squeeze.hpp>
#include <discrete/alias.hpp>
#include <discrete/guide_table.hpp>

#include <algorithm>
#include <array>

namespace varlix::engine {
namespace {

using py::arg;
using py::Array;
using py::ArrayRef;
using py::Float;
using py::signature;
using py::U64;

using Doubles = ArrayRef<const double>;
using DoublesOut = ArrayRef<double>;

// A built table as a new instance of Cls, or its error raised. A Python
// function may have raised while the core went on (a value it could do
// without): that exception wins over any result.
template <class Cls, class Table, class... Callables>
PyObject* wrap_table(std::expected<Table, SetupError>&& built, Callables&&... callables) {
  if (!built) return raise_setup_error(built.error());
  if (PyErr_Occurred() != nullptr) return nullptr;
  return py::PyClass<Cls>::wrap(typename Cls::Core{*std::move(built), callables...},
                                callables_of(callables...));
}

template <class Cls, class Table>
PyObject* wrap_table(std::expected<Table, SetupError>&& built) {
  if (!built) return raise_setup_error(built.error());
  if (PyErr_Occurred() != nullptr) return nullptr;
  return py::PyClass<Cls>::wrap(typename Cls::Core{*std::move(built)});
}

template <class Core>
PyObject* to_bytes(const Core& core) {
  return bytes_of(core.table.to_words());
}

PyObject* none_or_raise(const std::expected<void, SetupError>& done) {
  if (!done) return raise_setup_error(done.error());
  if (PyErr_Occurred() != nullptr) return nullptr;
  return Py_NewRef(Py_None);
}

// Runs a setup with the interpreter lock released when every function it
// calls is native.
template <class Build, class... Functions>
auto build_with(Build&& build, const Functions&... functions) {
  const UnlockedIf unlocked(!(needs_python(functions) || ...));
  return build();
}

// ---- continuous inversion: PINV and Hermite -------------------------------------

struct PinvCore {
  PinvTable table;
};
struct PinvClass {
  using Core = PinvCore;
  static constexpr const char* name = "Pinv";
};

struct HinvCore {
  HinvTable table;
};
struct HinvClass {
  using Core = HinvCore;
  static constexpr const char* name = "Hinv";
};

PyObject* new_pinv(AnyFunction pdf, std::uint64_t order, double u_resolution, double lo, double hi, double center) {
  PinvOptions options;
  options.order = static_cast<int>(order);
  options.u_resolution = u_resolution;
  options.lo = lo;
  options.hi = hi;
  options.center = center;
  auto built = build_with([&] { return build_pinv(DynamicFn(pdf), options); }, pdf);
  return wrap_table<PinvClass>(std::move(built));
}

PyObject* pinv_from_bytes(std::vector<double> words) { return wrap_table<PinvClass>(PinvTable::from_words(words)); }

PyObject* new_hinv(AnyFunction cdf, std::uint64_t order, double u_resolution, double lo, double hi, double center,
                   Doubles points, AnyFunction pdf, AnyFunction dpdf) {
  HinvOptions options;
  options.order = static_cast<int>(order);
  options.u_resolution = u_resolution;
  options.lo = lo;
  options.hi = hi;
  options.center = center;
  options.construction_points.assign(points.span().begin(), points.span().end());
  auto built = build_with(
      [&] { return build_hinv(DynamicFn(cdf), DynamicFn(pdf), DynamicFn(dpdf), options); }, cdf, pdf, dpdf);
  return wrap_table<HinvClass>(std::move(built));
}

PyObject* hinv_from_bytes(std::vector<double> words) { return wrap_table<HinvClass>(HinvTable::from_words(words)); }

// Uniforms drawn ahead in blocks, then replayed to a table's sample(): the
// same values as drawing one by one, faster. The bit generator's call
// through a pointer is an optimization barrier (the table is reloaded from
// memory after every draw) and it serializes with the table's work; in two
// tight loops neither happens.
constexpr std::size_t kUniformBlock = 512;

class Replay {
 public:
  explicit Replay(const double* u) noexcept : u_(u) {}
  [[nodiscard]] double next_double() noexcept { return *u_++; }

 private:
  const double* u_;
};

// table.sample(source, out) for every block of out, with the lock released.
template <class Table, class T>
void sample_in_blocks(const Table& table, BitGenerator* bits, std::span<T> out) {
  const UnlockedIf unlocked(true);
  BitGeneratorSource source(*bits);
  std::array<double, kUniformBlock> u;
  for (std::size_t start = 0; start < out.size(); start += kUniformBlock) {
    const std::span<T> block = out.subspan(start, std::min(kUniformBlock, out.size() - start));
    for (std::size_t i = 0; i < block.size(); ++i) u[i] = source.next_double();
    Replay replay(u.data());
    table.sample(replay, block);
  }
}

// Draws by inversion into a float64 array, with the lock released. The
// tables' sample takes each uniform in an inlined pass, where the bit
// generator's work overlaps the interpolation: no blocks needed.
template <class Core>
PyObject* sample_inversion(const Core& core, BitGenerator* bits, DoublesOut out) {
  {
    const UnlockedIf unlocked(true);
    BitGeneratorSource source(*bits);
    core.table.sample(source, out.span());
  }
  return Py_NewRef(Py_None);
}

PyObject* pinv_cdf(const PinvCore& core, Doubles in, DoublesOut out) {
  if (!py::same_length("x", in.size(), "out", out.size())) return nullptr;
  {
    const UnlockedIf unlocked(true);
    const std::span<const double> x = in.span();
    const std::span<double> u = out.span();
    for (std::size_t i = 0; i < x.size(); ++i) u[i] = core.table.cdf(x[i]);
  }
  return Py_NewRef(Py_None);
}

// (max, mean) of |cdf(ppf(u)) - u| over the given u.
template <class Core>
PyObject* u_error(const Core& core, AnyFunction cdf, Doubles us) {
  const auto measured = build_with([&] { return core.table.u_error(DynamicFn(cdf), us.span()); }, cdf);
  if (!measured) return raise_setup_error(measured.error());
  if (PyErr_Occurred() != nullptr) return nullptr;
  return py::to_py(std::pair{measured->max, measured->mean});
}

PyObject* pinv_intervals(const PinvCore& core) { return py::to_py(static_cast<std::uint64_t>(core.table.intervals())); }
PyObject* pinv_area(const PinvCore& core) { return py::to_py(core.table.area()); }
PyObject* pinv_support(const PinvCore& core) {
  return py::to_py(std::pair{core.table.support_lo(), core.table.support_hi()});
}
PyObject* hinv_intervals(const HinvCore& core) { return py::to_py(static_cast<std::uint64_t>(core.table.intervals())); }
PyObject* hinv_midpoint_error(const HinvCore& core) { return py::to_py(core.table.midpoint_error()); }

// ---- rejection: TDR, simple ratio of uniforms, ratio of uniforms ----------------
// Draws call the density, so each object keeps it.

struct TdrCore {
  TdrSqueezeTable table;
  AnyFunction pdf;
};
struct TdrClass {
  using Core = TdrCore;
  static constexpr const char* name = "Tdr";
  static constexpr bool holds_callables = true;
};

struct SrouCore {
  SrouSampler table;
  AnyFunction pdf;
};
struct SrouClass {
  using Core = SrouCore;
  static constexpr const char* name = "Srou";
  static constexpr bool holds_callables = true;
};

struct RouCore {
  RouSampler table;
  AnyFunction pdf;
};
struct RouClass {
  using Core = RouCore;
  static constexpr const char* name = "Rou";
  static constexpr bool holds_callables = true;
};

// Draws into a float64 array; the lock is released for a native density.
template <class Core>
PyObject* sample_rejection(const Core& core, BitGenerator* bits, DoublesOut out) {
  const auto done = with_function(core.pdf, [&](const auto& pdf) {
    const UnlockedIf unlocked(!needs_python(core.pdf));
    BitGeneratorSource source(*bits);
    return core.table.sample(pdf, source, out.span());
  });
  return none_or_raise(done);
}

PyObject* new_tdr(AnyFunction pdf, AnyFunction dpdf, double c, double lo, double hi, std::uint64_t construction_count,
                  Doubles points, bool use_dars, double max_squeeze_hat_ratio,
                  std::uint64_t max_intervals, std::optional<double> mode, std::optional<double> center) {
  TdrSqueezeOptions options;
  options.transform = c == 0.0 ? TdrSqueezeTransform::Log : TdrSqueezeTransform::InvSqrt;
  options.domain_lo = lo;
  options.domain_hi = hi;
  options.mode = mode;
  options.center = center;
  options.construction_count = static_cast<std::size_t>(construction_count);
  options.construction_points.assign(points.span().begin(), points.span().end());
  options.use_dars = use_dars;
  options.max_squeeze_hat_ratio = max_squeeze_hat_ratio;
  options.max_intervals = static_cast<std::size_t>(max_intervals);
  auto built = build_with([&] { return build_tdr_squeeze(DynamicFn(pdf), DynamicFn(dpdf), options); }, pdf, dpdf);
  return wrap_table<TdrClass>(std::move(built), pdf);
}

PyObject* tdr_from_bytes(std::vector<double> words, AnyFunction pdf) {
  return wrap_table<TdrClass>(TdrSqueezeTable::from_words(words), pdf);
}

PyObject* tdr_ppf_hat(const TdrCore& core, Doubles in, DoublesOut out) {
  if (!py::same_length("u", in.size(), "out", out.size())) return nullptr;
  {
    const UnlockedIf unlocked(true);
    const std::span<const double> u = in.span();
    const std::span<double> x = out.span();
    for (std::size_t i = 0; i < u.size(); ++i) x[i] = core.table.ppf_hat(u[i]);
  }
  return Py_NewRef(Py_None);
}

// (hat area, squeeze area, construction points)
PyObject* tdr_areas(const TdrCore& core) {
  return Py_BuildValue("(ddn)", core.table.hat_area(), core.table.squeeze_area(),
                       static_cast<Py_ssize_t>(core.table.intervals()));
}

PyObject* new_srou(AnyFunction pdf, double mode, double pdf_area, double lo, double hi,
                   std::optional<double> cdf_at_mode) {
  SrouOptions options;
  options.mode = mode;
  options.pdf_area = pdf_area;
  options.domain_lo = lo;
  options.domain_hi = hi;
  options.cdf_at_mode = cdf_at_mode;
  auto built = build_with([&] { return build_srou(DynamicFn(pdf), options); }, pdf);
  return wrap_table<SrouClass>(std::move(built), pdf);
}

PyObject* srou_from_bytes(std::vector<double> words, AnyFunction pdf) {
  return wrap_table<SrouClass>(SrouSampler::from_words(words), pdf);
}

PyObject* srou_to_bytes(const SrouCore& core) { return bytes_of(core.table.to_words()); }

// The rectangle is checked by the Python layer (umax > 0, vmin < vmax, finite).
PyObject* new_rou(AnyFunction pdf, double umax, double vmin, double vmax, double c) {
  RouCore core{RouSampler{umax, vmin, vmax, c}, pdf};
  return py::PyClass<RouClass>::wrap(std::move(core), callables_of(pdf));
}

// ---- discrete: alias urn and guide table -------------------------------------

struct AliasCore {
  AliasTable table;
};
struct AliasClass {
  using Core = AliasCore;
  static constexpr const char* name = "AliasUrn";
};

struct GuideCore {
  GuideTable table;
};
struct GuideClass {
  using Core = GuideCore;
  static constexpr const char* name = "GuideTable";
};

// Draws into an int64 array.
template <class Core>
PyObject* sample_discrete(const Core& core, BitGenerator* bits, ArrayRef<std::int64_t> out) {
  sample_in_blocks(core.table, bits, out.span());
  return Py_NewRef(Py_None);
}

PyObject* new_alias(Doubles pv, double urn_factor, double domain_lo) {
  AliasOptions options;
  options.urn_factor = urn_factor;
  options.domain_lo = static_cast<std::int64_t>(domain_lo);
  return wrap_table<AliasClass>(build_alias(pv.span(), options));
}

PyObject* alias_from_bytes(std::vector<double> words) {
  return wrap_table<AliasClass>(AliasTable::from_words(words));
}

PyObject* new_guide(Doubles pv, double guide_factor, double domain_lo) {
  GuideTableOptions options;
  options.guide_factor = guide_factor;
  options.domain_lo = static_cast<std::int64_t>(domain_lo);
  return wrap_table<GuideClass>(build_guide_table(pv.span(), options));
}

PyObject* guide_from_bytes(std::vector<double> words) {
  return wrap_table<GuideClass>(GuideTable::from_words(words));
}

// out[i] = ppf(in[i]); in and out may be the same array.
template <class Core>
PyObject* ppf_many(const Core& core, Doubles in, DoublesOut out) {
  if (!py::same_length("u", in.size(), "out", out.size())) return nullptr;
  {
    const UnlockedIf unlocked(true);
    const std::span<const double> u = in.span();
    const std::span<double> x = out.span();
    for (std::size_t i = 0; i < u.size(); ++i) x[i] = core.table.ppf(u[i]);
  }
  return Py_NewRef(Py_None);
}

constexpr auto kNewAlias = signature("__new__", arg<Array<const double>>("pv"), arg<Float>("urn_factor"),
                                     arg<Float>("domain_lo"));
constexpr auto kNewGuide = signature("__new__", arg<Array<const double>>("pv"), arg<Float>("guide_factor"),
                                     arg<Float>("domain_lo"));
constexpr auto kSampleInts = signature("sample", arg<BitGen>("bit_generator"), arg<Array<std::int64_t>>("out"));
constexpr auto kPpfMany = signature("ppf", arg<Array<const double>>("u"), arg<Array<double>>("out"));
constexpr auto kToBytes = signature("to_bytes");
constexpr auto kFromBytes = signature("from_bytes", arg<Words>("data"));

constexpr auto kNewPinv = signature("__new__", arg<Function>("pdf"), arg<U64>("order"), arg<Float>("u_resolution"),
                                    arg<Float>("lo"), arg<Float>("hi"), arg<Float>("center"));
constexpr auto kNewHinv = signature("__new__", arg<Function>("cdf"), arg<U64>("order"), arg<Float>("u_resolution"),
                                    arg<Float>("lo"), arg<Float>("hi"), arg<Float>("center"),
                                    arg<Array<const double>>("points"), arg<OptionalFunction>("pdf"),
                                    arg<OptionalFunction>("dpdf"));
constexpr auto kNewTdr = signature("__new__", arg<Function>("pdf"), arg<Function>("dpdf"), arg<Float>("c"),
                                   arg<Float>("lo"), arg<Float>("hi"), arg<U64>("construction_count"),
                                   arg<Array<const double>>("points"), arg<py::Bool>("use_dars"),
                                   arg<Float>("max_squeeze_hat_ratio"), arg<U64>("max_intervals"),
                                   arg<py::Optional<Float>>("mode"), arg<py::Optional<Float>>("center"));
constexpr auto kNewSrou = signature("__new__", arg<Function>("pdf"), arg<Float>("mode"), arg<Float>("pdf_area"),
                                    arg<Float>("lo"), arg<Float>("hi"), arg<py::Optional<Float>>("cdf_at_mode"));
constexpr auto kNewRou = signature("__new__", arg<Function>("pdf"), arg<Float>("umax"), arg<Float>("vmin"),
                                   arg<Float>("vmax"), arg<Float>("c"));
constexpr auto kSampleFloats = signature("sample", arg<BitGen>("bit_generator"), arg<Array<double>>("out"));
constexpr auto kCdfMany = signature("cdf", arg<Array<const double>>("x"), arg<Array<double>>("out"));
constexpr auto kPpfHat = signature("ppf_hat", arg<Array<const double>>("u"), arg<Array<double>>("out"));
constexpr auto kUError = signature("u_error", arg<Function>("cdf"), arg<Array<const double>>("u"));
constexpr auto kIntervals = signature("intervals");
constexpr auto kArea = signature("area");
constexpr auto kSupport = signature("support");
constexpr auto kMidpointError = signature("midpoint_error");
constexpr auto kAreas = signature("areas");
constexpr auto kFromBytesWithPdf = signature("from_bytes", arg<Words>("data"), arg<Function>("pdf"));

bool register_continuous(PyObject* module) {
  using py::method;
  static PyMethodDef pinv_methods[] = {
      method<PinvClass, kSampleFloats, sample_inversion<PinvCore>>(),
      method<PinvClass, kPpfMany, ppf_many<PinvCore>>(),
      method<PinvClass, kCdfMany, pinv_cdf>(),
      method<PinvClass, kUError, u_error<PinvCore>>(),
      method<PinvClass, kIntervals, pinv_intervals>(),
      method<PinvClass, kArea, pinv_area>(),
      method<PinvClass, kSupport, pinv_support>(),
      method<PinvClass, kToBytes, to_bytes<PinvCore>>(),
      py::static_method<PinvClass, kFromBytes, pinv_from_bytes>(),
      {},
  };
  static PyMethodDef hinv_methods[] = {
      method<HinvClass, kSampleFloats, sample_inversion<HinvCore>>(),
      method<HinvClass, kPpfMany, ppf_many<HinvCore>>(),
      method<HinvClass, kUError, u_error<HinvCore>>(),
      method<HinvClass, kIntervals, hinv_intervals>(),
      method<HinvClass, kMidpointError, hinv_midpoint_error>(),
      method<HinvClass, kToBytes, to_bytes<HinvCore>>(),
      py::static_method<HinvClass, kFromBytes, hinv_from_bytes>(),
      {},
  };
  static PyMethodDef tdr_methods[] = {
      method<TdrClass, kSampleFloats, sample_rejection<TdrCore>>(),
      method<TdrClass, kPpfHat, tdr_ppf_hat>(),
      method<TdrClass, kAreas, tdr_areas>(),
      method<TdrClass, kToBytes, to_bytes<TdrCore>>(),
      py::static_method<TdrClass, kFromBytesWithPdf, tdr_from_bytes>(),
      {},
  };
  static PyMethodDef srou_methods[] = {
      method<SrouClass, kSampleFloats, sample_rejection<SrouCore>>(),
      method<SrouClass, kToBytes, srou_to_bytes>(),
      py::static_method<SrouClass, kFromBytesWithPdf, srou_from_bytes>(),
      {},
  };
  static PyMethodDef rou_methods[] = {
      method<RouClass, kSampleFloats, sample_rejection<RouCore>>(),
      {},
  };
  return py::add_class<PinvClass>(module, {.methods = pinv_methods,
                                           .constructor = py::constructor<PinvClass, kNewPinv, new_pinv>()}) &&
         py::add_class<HinvClass>(module, {.methods = hinv_methods,
                                           .constructor = py::constructor<HinvClass, kNewHinv, new_hinv>()}) &&
         py::add_class<TdrClass>(module, {.methods = tdr_methods,
                                          .constructor = py::constructor<TdrClass, kNewTdr, new_tdr>()}) &&
         py::add_class<SrouClass>(module, {.methods = srou_methods,
                                           .constructor = py::constructor<SrouClass, kNewSrou, new_srou>()}) &&
         py::add_class<RouClass>(module, {.methods = rou_methods,
                                          .constructor = py::constructor<RouClass, kNewRou, new_rou>()});
}

bool register_discrete(PyObject* module) {
  using py::method;
  static PyMethodDef alias_methods[] = {
      method<AliasClass, kSampleInts, sample_discrete<AliasCore>>(),
      method<AliasClass, kToBytes, to_bytes<AliasCore>>(),
      py::static_method<AliasClass, kFromBytes, alias_from_bytes>(),
      {},
  };
  static PyMethodDef guide_methods[] = {
      method<GuideClass, kSampleInts, sample_discrete<GuideCore>>(),
      method<GuideClass, kPpfMany, ppf_many<GuideCore>>(),
      method<GuideClass, kToBytes, to_bytes<GuideCore>>(),
      py::static_method<GuideClass, kFromBytes, guide_from_bytes>(),
      {},
  };
  return py::add_class<AliasClass>(module, {.methods = alias_methods,
                                            .constructor = py::constructor<AliasClass, kNewAlias, new_alias>()}) &&
         py::add_class<GuideClass>(module, {.methods = guide_methods,
                                            .constructor = py::constructor<GuideClass, kNewGuide, new_guide>()});
}

}  // namespace

bool register_sampling(PyObject* module) { return register_continuous(module) && register_discrete(module); }

}  // namespace varlix::engine
