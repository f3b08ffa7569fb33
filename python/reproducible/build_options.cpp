// BuildOptions: how a continuous factory builds its sampler.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <binding/binder.hpp>
#include <binding/pyclass.hpp>
#include "continuous_args.hpp"
#include "tdr_transform.hpp"

namespace varlix::py {
namespace {

using PyBuildOptions = PyClass<BuildOptionsClass>;

// Options that differ from the defaults only in their method.
PyObject* options_with(SamplingMethod method) {
  return PyBuildOptions::wrap(SamplerOptions{.method = std::move(method)});
}

SamplingMethod::Tdr tdr_method(TdrTransform transform, std::optional<std::uint64_t> construction_points,
                               std::optional<double> dpdf_rel_step) {
  SamplingMethod::Tdr tdr;
  tdr.transform = transform;
  if (construction_points) tdr.construction_points = *construction_points;
  if (dpdf_rel_step) tdr.dpdf_rel_step = *dpdf_rel_step;
  return tdr;
}

// A grid size wins over a TDR transform, which is then not even parsed.
// Absent with ValueError pending for an unknown transform.
std::optional<SamplingMethod> chosen_method(std::optional<std::uint64_t> hermite_grid_size,
                                            const std::optional<std::string>& tdr_transform,
                                            std::optional<std::uint64_t> tdr_construction_points,
                                            std::optional<double> tdr_dpdf_rel_step) {
  if (hermite_grid_size) return SamplingMethod::Inversion{hermite_grid_size};
  if (!tdr_transform) return SamplingMethod::Inversion{};
  const auto transform = parse_tdr_transform(*tdr_transform);
  if (!transform) return std::nullopt;
  return tdr_method(*transform, tdr_construction_points, tdr_dpdf_rel_step);
}

// Nothing is validated here: zero or negative tolerances, zero iterations and
// a grid of 0 are the builders' to judge.
PyObject* new_build_options(std::optional<double> quad_tolerance, std::optional<double> ppf_tolerance,
                            std::optional<std::uint32_t> max_iterations, bool use_newton,
                            std::optional<std::uint64_t> hermite_grid_size,
                            const std::optional<std::string>& tdr_transform,
                            std::optional<std::uint64_t> tdr_construction_points,
                            std::optional<double> tdr_dpdf_rel_step) {
  auto method = chosen_method(hermite_grid_size, tdr_transform, tdr_construction_points, tdr_dpdf_rel_step);
  if (!method) return nullptr;
  return PyBuildOptions::wrap(SamplerOptions{
      .method = *std::move(method),
      .quad_tolerance = quad_tolerance.value_or(kDefaultOptions.quad_tolerance),
      .ppf_tolerance = ppf_tolerance.value_or(kDefaultOptions.ppf_tolerance),
      .max_iterations = max_iterations.value_or(kDefaultOptions.max_iterations),
      .use_newton = use_newton,
  });
}

PyObject* tdr_options(const std::string& transform, std::optional<std::uint64_t> construction_points) {
  const auto parsed = parse_tdr_transform(transform);
  if (!parsed) return nullptr;
  return options_with(tdr_method(*parsed, construction_points, std::nullopt));
}

PyObject* hermite_options(std::uint64_t grid_size) { return options_with(SamplingMethod::Inversion{grid_size}); }

constexpr auto kBuildOptionsNew =
    signature("__new__", arg<Optional<Float>>("quad_tolerance"), arg<Optional<Float>>("ppf_tolerance"),
              arg<Optional<U32>>("max_iterations"), arg<Bool>("use_newton", "True"),
              arg<Optional<U64>>("hermite_grid_size"), arg<Optional<Str>>("tdr_transform"),
              arg<Optional<U64>>("tdr_construction_points"), arg<Optional<Float>>("tdr_dpdf_rel_step"));
constexpr auto kTdr = signature("tdr", arg<Str>("transform"), arg<Optional<U64>>("construction_points"));
constexpr auto kHermite = signature("hermite", arg<U64>("grid_size"));

}  // namespace

bool register_build_options(PyObject* module) {
  static PyMethodDef methods[] = {
      static_method<BuildOptionsClass, kTdr, tdr_options>(),
      static_method<BuildOptionsClass, kHermite, hermite_options>(),
      {},
  };
  return add_class<BuildOptionsClass>(
      module, {.methods = methods, .constructor = constructor<BuildOptionsClass, kBuildOptionsNew, new_build_options>()});
}

}  // namespace varlix::py
