// HyperRect and the multivariate samplers with their factories.
#include "lib.hpp"

namespace varlix::py {

bool register_multivar(PyObject* /*module*/) { return true; }

}  // namespace varlix::py
