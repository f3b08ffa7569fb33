// The compiled half of varlix.Distribution: the moment integrals and
// expectations by adaptive Gauss–Kronrod quadrature over a partition the
// Python layer chooses (quantiles of the law), with the user's function; and
// the user's function over an array (a compiled one without the lock).
#include "engine.hpp"
#include "function.hpp"

#include <binding/result.hpp>

#include <continuous/gauss_kronrod.hpp>
#include <continuous/moment_integrals.hpp>

#include <span>

namespace varlix::engine {
namespace {

// (values, errors, absolute, converged, evaluations) of a quadrature.
template <std::size_t M>
PyObject* quadrature_tuple(const QuadratureResult<M>& r) {
  const py::Ref values = py::Ref::steal(py::to_py(std::span<const double>(r.value)));
  const py::Ref errors = py::Ref::steal(py::to_py(std::span<const double>(r.error)));
  const py::Ref absolute = py::Ref::steal(py::to_py(std::span<const double>(r.absolute)));
  const py::Ref converged = py::Ref::steal(py::to_py(r.converged));
  const py::Ref evaluations = py::Ref::steal(py::to_py(static_cast<std::uint64_t>(r.evaluations)));
  if (!values || !errors || !absolute || !converged || !evaluations) return nullptr;
  return PyTuple_Pack(5, values.get(), errors.get(), absolute.get(), converged.get(), evaluations.get());
}

QuadratureOptions options_of(double tail_scale, double rel_tol, bool nonnegative) {
  QuadratureOptions options;
  options.tail_scale = tail_scale;
  options.rel_tol = rel_tol;
  options.nonnegative = nonnegative;
  return options;
}

// ∫ f, ∫ (x - c) f, ∫ (x - c)² f, ∫ f log f over the partition `breaks`.
PyObject* moment_integrals(AnyFunction f, std::uintptr_t breaks, std::uint64_t n_breaks, double center,
                           double tail_scale, double rel_tol) {
  const std::span<const double> partition = doubles_at(breaks, n_breaks);
  const QuadratureOptions options = options_of(tail_scale, rel_tol, true);
  const auto result = with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    return integrate_moments(adaptor, partition, center, options);
  });
  if (!result) return raise_setup_error(result.error());
  return quadrature_tuple(*result);
}

// ∫ f over the partition, f of any sign.
PyObject* integrate(AnyFunction f, std::uintptr_t breaks, std::uint64_t n_breaks, double tail_scale,
                    double rel_tol) {
  const std::span<const double> partition = doubles_at(breaks, n_breaks);
  const QuadratureOptions options = options_of(tail_scale, rel_tol, false);
  const auto result = with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    return integrate_gauss_kronrod(adaptor, partition, options);
  });
  if (!result) return raise_setup_error(result.error());
  return quadrature_tuple(*result);
}

// y[i] = f(x[i]): a native function called without the interpreter lock.
PyObject* evaluate_at(AnyFunction f, std::uintptr_t x, std::uintptr_t y, std::uint64_t n) {
  const std::span<const double> xs = doubles_at(x, n);
  const std::span<double> ys = doubles_at(y, n);
  with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    evaluate(adaptor, xs, ys);
  });
  if (PyErr_Occurred() != nullptr) return nullptr;
  return Py_NewRef(Py_None);
}

constexpr auto kEvaluate = py::signature("evaluate", py::arg<Function>("f"), py::arg<Address>("x"),
                                         py::arg<Address>("y"), py::arg<py::U64>("n"));
constexpr auto kMomentIntegrals =
    py::signature("moment_integrals", py::arg<Function>("f"), py::arg<Address>("breaks"), py::arg<py::U64>("n_breaks"),
                  py::arg<py::Float>("center"), py::arg<py::Float>("tail_scale"), py::arg<py::Float>("rel_tol"));
constexpr auto kIntegrate =
    py::signature("integrate", py::arg<Function>("f"), py::arg<Address>("breaks"), py::arg<py::U64>("n_breaks"),
                  py::arg<py::Float>("tail_scale"), py::arg<py::Float>("rel_tol"));

PyMethodDef g_functions[] = {
    py::function<kEvaluate, evaluate_at>(),
    py::function<kMomentIntegrals, moment_integrals>(),
    py::function<kIntegrate, integrate>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributions(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace varlix::engine
