// Interval, BuildOptions, ContinuousDistribution and the continuous factories.
#include "lib.hpp"

namespace varlix::py {

bool register_continuous(PyObject* /*module*/) { return true; }

}  // namespace varlix::py
