// The compiled half of varlix.Distribution: the moment integrals and
// expectations by adaptive Gauss–Kronrod quadrature over a partition the
// Python layer chooses (quantiles of the law), with the user's function; and
// the user's function over an array (a compiled one without the lock); and
// Gaussian-copula draws over marginals given by their inversion tables.
#include "engine.hpp"
#include "function.hpp"

#include <binding/array.hpp>
#include <binding/result.hpp>

#include <continuous/broken_line_quantile.hpp>
#include <continuous/gauss_kronrod.hpp>
#include <continuous/hinv.hpp>
#include <continuous/moment_integrals.hpp>
#include <continuous/pinv.hpp>
#include <continuous/tail_exponent.hpp>
#include <multivar/gaussian_copula_inversion.hpp>

#include <cstring>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace varlix::engine {
namespace {

using Doubles = py::ArrayRef<const double>;
using DoublesOut = py::ArrayRef<double>;

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

// ∫ f, ∫ (x - c)^n f for n = 1 .. orders (zero above), ∫ f log f over the
// partition `breaks`, whose intervals have the masses `masses` (to
// mass_tol), or unknown masses when mass_tol is 0.
PyObject* moment_integrals(AnyFunction f, Doubles breaks, double center, std::uint64_t orders, double tail_scale,
                           double rel_tol, Doubles masses, double mass_tol) {
  const std::span<const double> partition = breaks.span();
  QuadratureOptions options = options_of(tail_scale, rel_tol, true);
  if (mass_tol > 0.0 && partition.size() > 1) {
    if (!py::same_length("masses", masses.size(), "the intervals of breaks", partition.size() - 1)) return nullptr;
    options.expected_mass = masses.span();
    options.mass_tol = mass_tol;
  }
  const auto result = with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    return integrate_moments(adaptor, partition, center, static_cast<std::size_t>(orders), options);
  });
  if (!result) return raise_setup_error(result.error());
  return quadrature_tuple(*result);
}

// α with f ~ |x|^-α beyond `anchor` in `direction` (+inf: lighter than any
// power; NaN: unknown).
PyObject* tail_exponent_of(AnyFunction f, double anchor, double direction, double scale) {
  const auto result = with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    return tail_exponent(adaptor, anchor, direction, scale);
  });
  if (PyErr_Occurred() != nullptr) {
    // A user function that overflowed far out ended the walk there, and the
    // verdict stands; any other exception (Ctrl-C among them) is the caller's.
    if (!PyErr_ExceptionMatches(PyExc_ArithmeticError)) return nullptr;
    PyErr_Clear();
  }
  if (!result) return raise_setup_error(result.error());
  return py::to_py(*result);
}

// ∫ f over the partition, f of any sign.
PyObject* integrate(AnyFunction f, Doubles breaks, double tail_scale, double rel_tol) {
  const std::span<const double> partition = breaks.span();
  const QuadratureOptions options = options_of(tail_scale, rel_tol, false);
  const auto result = with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    return integrate_gauss_kronrod(adaptor, partition, options);
  });
  if (!result) return raise_setup_error(result.error());
  return quadrature_tuple(*result);
}

// y[i] = f(x[i]): a native function called without the interpreter lock.
PyObject* evaluate_at(AnyFunction f, Doubles x, DoublesOut y) {
  if (!py::same_length("x", x.size(), "y", y.size())) return nullptr;
  const std::span<const double> xs = x.span();
  const std::span<double> ys = y.span();
  with_function(f, [&](const auto& adaptor) {
    const UnlockedIf unlocked(!needs_python(f));
    evaluate(adaptor, xs, ys);
  });
  if (PyErr_Occurred() != nullptr) return nullptr;
  return Py_NewRef(Py_None);
}

// ---- Gaussian copula ------------------------------------------------------------

// A column left as its uniform: the Python layer applies that marginal's
// own vectorized ppf afterwards.
struct UniformColumn {};

struct Column {
  std::variant<UniformColumn, PinvTable, HinvTable, BrokenLineQuantile> quantile;
  double loc = 0.0;
  double scale = 1.0;

  [[nodiscard]] double operator()(double u) const {
    return std::visit(
        [&](const auto& q) -> double {
          using Q = std::remove_cvref_t<decltype(q)>;
          if constexpr (std::is_same_v<Q, UniformColumn>) {
            return u;
          } else if constexpr (std::is_same_v<Q, BrokenLineQuantile>) {
            return loc + scale * q(u);
          } else {
            return loc + scale * q.ppf(u);
          }
        },
        quantile);
  }
};

bool column_failed(const char* what) {
  py::set_error(PyExc_ValueError, std::string("a copula column ") + what);
  return false;
}

template <class Table>
bool table_column(PyObject* spec, Column& out) {
  std::vector<double> words;
  if (!Words::convert(PyTuple_GetItem(spec, 1), words)) return false;
  auto table = Table::from_words(words);
  if (!table) return column_failed("holds an inconsistent table");
  out.quantile = std::move(*table);
  return true;
}

// One column from its spec tuple: ("uniform",), ("pinv", bytes, loc, scale),
// ("hinv", bytes, loc, scale) or ("histogram", levels, knots, loc, scale),
// levels and knots float64 arrays of one length.
bool column_of(PyObject* spec, Column& out) {
  if (!PyTuple_Check(spec) || PyTuple_Size(spec) < 1) return column_failed("spec must be a non-empty tuple");
  Py_ssize_t size = 0;
  const char* kind_text = PyUnicode_AsUTF8AndSize(PyTuple_GetItem(spec, 0), &size);
  if (kind_text == nullptr) return false;
  const std::string_view kind(kind_text, static_cast<std::size_t>(size));
  if (kind == "uniform") return true;
  const Py_ssize_t n = PyTuple_Size(spec);
  if ((kind == "pinv" || kind == "hinv") && n == 4) {
    if (!(kind == "pinv" ? table_column<PinvTable>(spec, out) : table_column<HinvTable>(spec, out))) return false;
  } else if (kind == "histogram" && n == 5) {
    Doubles levels, knots;
    if (!py::Array<const double>::convert(PyTuple_GetItem(spec, 1), levels) ||
        !py::Array<const double>::convert(PyTuple_GetItem(spec, 2), knots) ||
        !py::same_length("a histogram's levels", levels.size(), "knots", knots.size())) {
      return false;
    }
    const std::span<const double> level_values = levels.span();
    if (levels.size() < 2 || !(level_values.front() < level_values.back())) {
      return column_failed("histogram has no mass");
    }
    if (!out.quantile.emplace<BrokenLineQuantile>().build(level_values, knots.span())) {
      py::set_error(PyExc_MemoryError, "out of memory copying a histogram marginal's quantile table");
      return false;
    }
  } else {
    return column_failed("spec is not one of uniform, pinv, hinv, histogram");
  }
  if (!py::Float::convert(PyTuple_GetItem(spec, n - 2), out.loc) ||
      !py::Float::convert(PyTuple_GetItem(spec, n - 1), out.scale)) {
    return false;
  }
  return true;
}

// Rows of d columns into out (d the number of column specs, chol d x d);
// the interpreter lock is released throughout.
PyObject* gaussian_copula(BitGenerator* bits, Doubles chol, py::Ref specs, DoublesOut out) {
  if (!PyList_Check(specs.get())) return py::set_error(PyExc_TypeError, "copula column specs must be a list");
  const auto d = static_cast<std::size_t>(PyList_Size(specs.get()));
  if (d == 0) return py::set_error(PyExc_ValueError, "a copula needs at least one column");
  if (!py::same_length("chol", chol.size(), "d * d for d column specs", d * d)) return nullptr;
  if (out.size() % d != 0) return py::set_error(PyExc_ValueError, "out does not hold whole rows of d columns");
  std::vector<Column> columns(d);
  for (std::size_t j = 0; j < d; ++j) {
    if (!column_of(PyList_GetItem(specs.get(), static_cast<Py_ssize_t>(j)), columns[j])) return nullptr;
  }
  std::vector<double> z(d);
  const std::span<const double> factor = chol.span();
  const std::span<double> rows = out.span();
  {
    const UnlockedIf unlocked(true);
    BitGeneratorSource source(*bits);
    sample_gaussian_copula(
        source, factor, d, [&columns](std::size_t j, double u) { return columns[j](u); }, std::span<double>(z), rows);
  }
  return Py_NewRef(Py_None);
}

using py::Array;

constexpr auto kGaussianCopula =
    py::signature("gaussian_copula", py::arg<BitGen>("bit_generator"), py::arg<Array<const double>>("chol"),
                  py::arg<py::Any>("columns"), py::arg<Array<double>>("out"));

constexpr auto kEvaluate = py::signature("evaluate", py::arg<Function>("f"), py::arg<Array<const double>>("x"),
                                         py::arg<Array<double>>("y"));
constexpr auto kMomentIntegrals =
    py::signature("moment_integrals", py::arg<Function>("f"), py::arg<Array<const double>>("breaks"),
                  py::arg<py::Float>("center"), py::arg<py::U64>("orders"), py::arg<py::Float>("tail_scale"),
                  py::arg<py::Float>("rel_tol"), py::arg<Array<const double>>("masses"),
                  py::arg<py::Float>("mass_tol"));
constexpr auto kTailExponent =
    py::signature("tail_exponent", py::arg<Function>("f"), py::arg<py::Float>("anchor"),
                  py::arg<py::Float>("direction"), py::arg<py::Float>("scale"));
constexpr auto kIntegrate =
    py::signature("integrate", py::arg<Function>("f"), py::arg<Array<const double>>("breaks"),
                  py::arg<py::Float>("tail_scale"), py::arg<py::Float>("rel_tol"));

PyMethodDef g_functions[] = {
    py::function<kEvaluate, evaluate_at>(),
    py::function<kGaussianCopula, gaussian_copula>(),
    py::function<kMomentIntegrals, moment_integrals>(),
    py::function<kIntegrate, integrate>(),
    py::function<kTailExponent, tail_exponent_of>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_distributions(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace varlix::engine
