// The compiled half of varlix.Distribution: the moment integrals and
// expectations by adaptive Gauss–Kronrod quadrature over a partition the
// Python layer chooses (quantiles of the law), with the user's function; and
// the user's function over an array (a compiled one without the lock); and
// Gaussian-copula draws over marginals given by their inversion tables.
#include "engine.hpp"
#include "function.hpp"

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
// partition `breaks`, whose n_breaks - 1 intervals have the masses `masses`
// (to mass_tol), or unknown masses when mass_tol is 0.
PyObject* moment_integrals(AnyFunction f, std::uintptr_t breaks, std::uint64_t n_breaks, double center,
                           std::uint64_t orders, double tail_scale, double rel_tol, std::uintptr_t masses,
                           double mass_tol) {
  const std::span<const double> partition = doubles_at(breaks, n_breaks);
  QuadratureOptions options = options_of(tail_scale, rel_tol, true);
  if (mass_tol > 0.0 && n_breaks > 1) {
    options.expected_mass = doubles_at(masses, n_breaks - 1);
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
// ("hinv", bytes, loc, scale) or ("histogram", levels_address, knots_address,
// count, loc, scale); the arrays stay alive in the caller for the call.
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
  } else if (kind == "histogram" && n == 6) {
    std::uintptr_t levels = 0, knots = 0;
    std::uint64_t count = 0;
    if (!Address::convert(PyTuple_GetItem(spec, 1), levels) || !Address::convert(PyTuple_GetItem(spec, 2), knots) ||
        !py::U64::convert(PyTuple_GetItem(spec, 3), count)) {
      return false;
    }
    const std::span<const double> level_values = doubles_at(levels, count);
    if (count < 2 || !(level_values.front() < level_values.back())) return column_failed("histogram has no mass");
    if (!out.quantile.emplace<BrokenLineQuantile>().build(level_values, doubles_at(knots, count))) {
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

// n rows of d columns into out; the interpreter lock is released throughout.
PyObject* gaussian_copula(BitGenerator* bits, std::uintptr_t chol, std::uint64_t d, py::Ref specs,
                          std::uintptr_t out, std::uint64_t n) {
  if (!PyList_Check(specs.get()) || static_cast<std::uint64_t>(PyList_Size(specs.get())) != d) {
    return py::set_error(PyExc_ValueError, "one copula column spec per dimension is needed");
  }
  std::vector<Column> columns(d);
  for (std::uint64_t j = 0; j < d; ++j) {
    if (!column_of(PyList_GetItem(specs.get(), static_cast<Py_ssize_t>(j)), columns[j])) return nullptr;
  }
  std::vector<double> z(d);
  const std::span<const double> factor = doubles_at(chol, d * d);
  const std::span<double> rows = doubles_at(out, n * d);
  {
    const UnlockedIf unlocked(true);
    BitGeneratorSource source(*bits);
    sample_gaussian_copula(
        source, factor, d, [&columns](std::size_t j, double u) { return columns[j](u); }, std::span<double>(z), rows);
  }
  return Py_NewRef(Py_None);
}

constexpr auto kGaussianCopula =
    py::signature("gaussian_copula", py::arg<BitGen>("bit_generator"), py::arg<Address>("chol"),
                  py::arg<py::U64>("d"), py::arg<py::Any>("columns"), py::arg<Address>("out"), py::arg<py::U64>("n"));

constexpr auto kEvaluate = py::signature("evaluate", py::arg<Function>("f"), py::arg<Address>("x"),
                                         py::arg<Address>("y"), py::arg<py::U64>("n"));
constexpr auto kMomentIntegrals =
    py::signature("moment_integrals", py::arg<Function>("f"), py::arg<Address>("breaks"), py::arg<py::U64>("n_breaks"),
                  py::arg<py::Float>("center"), py::arg<py::U64>("orders"), py::arg<py::Float>("tail_scale"),
                  py::arg<py::Float>("rel_tol"),
                  py::arg<Address>("masses"), py::arg<py::Float>("mass_tol"));
constexpr auto kTailExponent =
    py::signature("tail_exponent", py::arg<Function>("f"), py::arg<py::Float>("anchor"),
                  py::arg<py::Float>("direction"), py::arg<py::Float>("scale"));
constexpr auto kIntegrate =
    py::signature("integrate", py::arg<Function>("f"), py::arg<Address>("breaks"), py::arg<py::U64>("n_breaks"),
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
