// The argument classes of the continuous factories, Interval and
// BuildOptions, shared by their own files and the factories'.
#pragma once

#include <continuous/sampler.hpp>

#include <binding/ref.hpp>

namespace varlix::py {

// Finite bounds with lo < hi, checked once when the Python object is made.
struct Interval {
  double lo;
  double hi;
};

struct IntervalClass {
  using Core = Interval;
  static constexpr const char* name = "Interval";
};

struct BuildOptionsClass {
  using Core = SamplerOptions;
  static constexpr const char* name = "BuildOptions";
};

// Every field not given keeps the core's default.
inline const SamplerOptions kDefaultOptions{};

// Each adds its class to the module; false with a Python error pending.
[[nodiscard]] bool register_interval(PyObject* module);
[[nodiscard]] bool register_build_options(PyObject* module);

}  // namespace varlix::py
