// The two one-operation interfaces every univariate model and density adaptor
// implements, and the support accessors they share. They are concepts rather
// than virtual bases: the quadrature and the inversion are templates over the
// model, so a density call inlines into the integration loop.
#pragma once

#include <concepts>

namespace varlix {

// A density, not necessarily normalized.
template <class P>
concept Pdf = requires(const P& p, double x) {
  { p.pdf(x) } -> std::same_as<double>;
};

template <class C>
concept Cdf = requires(const C& c, double x) {
  { c.cdf(x) } -> std::same_as<double>;
};

// Densities and models carry their support [lo(), hi()].
template <class T>
concept Supported = requires(const T& t) {
  { t.lo() } -> std::same_as<double>;
  { t.hi() } -> std::same_as<double>;
};

// The density of `p` as a plain callable, for integrate_fn. It borrows `p`,
// which must outlive the returned function.
template <Pdf P>
[[nodiscard]] auto pdf_fn(const P& p) {
  return [&p](double x) { return p.pdf(x); };
}

}  // namespace varlix
