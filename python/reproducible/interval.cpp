// Interval: the support of a continuous factory.
#include <string>

#include <continuous/cdf.hpp>
#include <error.hpp>

#include <binding/binder.hpp>
#include <binding/pyclass.hpp>
#include <binding/result.hpp>
#include "continuous_args.hpp"
#include "core_errors.hpp"

namespace varlix::py {
namespace {

using PyInterval = PyClass<IntervalClass>;

// The checks every support gets in the core, in the core's order.
PyObject* new_interval(double lo, double hi) {
  if (const auto valid = check_support(lo, hi); !valid) return map_build_err(valid.error());
  return PyInterval::wrap(Interval{lo, hi});
}

PyObject* interval_lo(const Interval& interval) { return to_py(interval.lo); }
PyObject* interval_hi(const Interval& interval) { return to_py(interval.hi); }

// Bounds as the core writes doubles in messages: shortest round trip, never
// an exponent, no trailing ".0".
PyObject* interval_repr(const Interval& interval) {
  const std::string text = "Interval(" + format_double(interval.lo) + ", " + format_double(interval.hi) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

constexpr auto kIntervalNew = signature("__new__", arg<Float>("lo"), arg<Float>("hi"));

}  // namespace

bool register_interval(PyObject* module) {
  static PyGetSetDef getset[] = {
      property<IntervalClass, interval_lo>("lo"),
      property<IntervalClass, interval_hi>("hi"),
      {},
  };
  return add_class<IntervalClass>(module, {.constructor = constructor<IntervalClass, kIntervalNew, new_interval>(),
                                           .getset = getset,
                                           .repr = repr<IntervalClass, interval_repr>()});
}

}  // namespace varlix::py
