// A batch of points of _varlix's multivariate samplers, back to Python as a
// list of lists of floats: found by argument-dependent lookup, so the
// framework's to_py of a std::expected reaches it too.
#pragma once

#include <binding/result.hpp>

#include <multivar/support.hpp>

namespace varlix {

PyObject* to_py(const PointBatch& batch);

}  // namespace varlix
