// The argument binder: every function, method and constructor of the module
// declares its parameters once, as a Signature of typed Params, and from that
// one declaration come
//  - the matching of positional and keyword arguments, with the module's
//    TypeError texts for a wrong call;
//  - the conversion of each argument, in signature order, by its kind, with
//    "argument '{}': " added to a TypeError the conversion raised;
//  - the text signature ("name(a, b=None)\n--\n\n") in the docstring.
// The implementation function then receives plain C++ values.
//
//   constexpr auto kPmf = signature("pmf", arg<Float>("x"));
//   constexpr auto kSampleN = signature("sample_n", arg<U64>("n"), arg<Optional<U64>>("seed"));
//   constexpr auto kMaxTrials = signature("f", arg<U64>("max_trials", "100000"));
//
// A Param is required unless it has a default: optional kinds default to
// None; other kinds take the default's Python text, which is both shown in the
// signature and parsed for the value used when the argument is omitted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>


#include "error.hpp"
#include "ref.hpp"

namespace varlix::py {

// ---- conversion kinds -------------------------------------------------------
// A kind converts one Python object into its `type`; false leaves the Python
// error pending. Kinds that may carry a non-None default also parse it.

// TypeError "'{type name}' object cannot be converted to '{target}'"; false.
bool refuse_conversion(PyObject* object, const char* target);

struct Float {
  using type = double;
  static bool convert(PyObject* object, double& out);
  static bool parse_default(const char* text, double& out);
};

// An int or an object with __index__, in [0, 2^64 - 1].
struct U64 {
  using type = std::uint64_t;
  static bool convert(PyObject* object, std::uint64_t& out);
  static bool parse_default(const char* text, std::uint64_t& out);
};

// Read as a C long (the interpreter's OverflowError beyond that), then
// accepted only in [0, 2^32 - 1].
struct U32 {
  using type = std::uint32_t;
  static bool convert(PyObject* object, std::uint32_t& out);
  static bool parse_default(const char* text, std::uint32_t& out);
};

// True, False or a NumPy boolean scalar; nothing else, not even 0 or 1.
struct Bool {
  using type = bool;
  static bool convert(PyObject* object, bool& out);
  static bool parse_default(const char* text, bool& out);
};

struct Str {
  using type = std::string;
  static bool convert(PyObject* object, std::string& out);
};

// Anything, None included, as a new strong reference.
struct Any {
  using type = Ref;
  static bool convert(PyObject* object, Ref& out);
};

// A list or tuple (or subtype), or an instance of collections.abc.Sequence;
// the object itself, not a copy. Its items are read later, by
// extract_f64_list, after every argument of the call has been converted.
struct Sequence {
  using type = Ref;
  static bool convert(PyObject* object, Ref& out);
};

// False unless `object` may feed a ListOf: not a str, and passing the
// interpreter's sequence-protocol check (NumPy arrays do).
bool check_list_source(PyObject* object);
// len(object) when it has one, else 0: only a capacity hint.
std::size_t length_hint(PyObject* object);

// Items taken by iteration, each converted by Item.
template <class Item>
struct ListOf {
  using type = std::vector<typename Item::type>;
  static bool convert(PyObject* object, type& out) {
    if (!check_list_source(object)) return false;
    // Only a capacity hint: a reserve that cannot be met is left to push_back.
    try {
      out.reserve(length_hint(object));
    } catch (...) {
    }
    return for_each_item(object, [&out](PyObject* item) {
      typename Item::type value{};
      if (!Item::convert(item, value)) return false;
      out.push_back(std::move(value));
      return true;
    });
  }
};

// None (or an omitted argument) is absent; anything else goes through Inner.
template <class Inner>
struct Optional {
  using type = std::optional<typename Inner::type>;
  static constexpr const char* implicit_default = "None";
  static bool convert(PyObject* object, type& out) {
    if (object == Py_None) {
      out.reset();
      return true;
    }
    return Inner::convert(object, out.emplace());
  }
};

// ---- signatures -------------------------------------------------------------

template <class Kind>
struct Param {
  using kind = Kind;
  const char* name;
  const char* default_text;  // Python text of the default; null when required
};

template <class Kind>
constexpr Param<Kind> arg(const char* name) {
  if constexpr (requires { Kind::implicit_default; }) {
    return {name, Kind::implicit_default};
  } else {
    return {name, nullptr};
  }
}

template <class Kind>
constexpr Param<Kind> arg(const char* name, const char* default_text) {
  static_assert(!requires { Kind::implicit_default; }, "optional kinds default to None");
  static_assert(requires(typename Kind::type out) { Kind::parse_default(default_text, out); },
                "this kind cannot carry a default");
  return {name, default_text};
}

template <class... Kinds>
struct Signature {
  static constexpr std::size_t size = sizeof...(Kinds);
  using Values = std::tuple<typename Kinds::type...>;

  const char* name;
  std::tuple<Param<Kinds>...> params;

  constexpr std::array<const char*, size> names() const {
    return std::apply([](const auto&... p) { return std::array<const char*, size>{p.name...}; }, params);
  }
  constexpr std::array<const char*, size> defaults() const {
    return std::apply([](const auto&... p) { return std::array<const char*, size>{p.default_text...}; },
                      params);
  }
  // Python's rule: no required parameter after one with a default.
  constexpr bool well_ordered() const {
    const auto d = defaults();
    for (std::size_t i = 1; i < size; ++i) {
      if (d[i - 1] != nullptr && d[i] == nullptr) return false;
    }
    return true;
  }
};

template <class... Kinds>
constexpr Signature<Kinds...> signature(const char* name, Param<Kinds>... params) {
  return {name, {params...}};
}

// ---- binding (non-template part, binder.cpp) --------------------------------

// What the binder needs to know of one signature at run time.
struct ParamList {
  const char* owner;  // class name for methods and constructors; null for functions
  const char* name;
  std::span<const char* const> names;
  std::span<const char* const> defaults;  // null entry: required
};

// Fill slots[i] with the borrowed argument for parameter i, null when
// omitted. False with TypeError pending on a call that does not fit.
bool bind_vectorcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);
bool bind_tuple(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots);

// A TypeError pending from converting `param_name` becomes
// TypeError("argument '{}': {}") caused by the original; others stay.
void prefix_argument_error(const char* param_name);

// "name($self, a, b=None)\n--\n\n", the form the interpreter reads
// __text_signature__ from.
std::string text_signature(std::string_view name, bool with_self, std::span<const char* const> names,
                           std::span<const char* const> defaults);

// ---- conversion of a bound call (templates) ---------------------------------

template <const auto& Sig>
struct SignatureTables {
  static constexpr auto names = Sig.names();
  static constexpr auto defaults = Sig.defaults();
  static_assert(Sig.well_ordered(), "a required parameter follows one with a default");

  static ParamList list(const char* owner) { return {owner, Sig.name, names, defaults}; }
  static const char* doc(std::string_view name, bool with_self) {
    static const std::string text = text_signature(name, with_self, names, defaults);
    return text.c_str();
  }
};

template <class Kind>
bool convert_param(const Param<Kind>& param, PyObject* slot, typename Kind::type& out) {
  if (slot == nullptr) {
    // Omitted: optional kinds stay absent; the others take their default.
    if constexpr (requires { Kind::parse_default(param.default_text, out); }) {
      if (param.default_text != nullptr) return Kind::parse_default(param.default_text, out);
    }
    return true;
  }
  if (Kind::convert(slot, out)) return true;
  prefix_argument_error(param.name);
  return false;
}

template <const auto& Sig>
bool convert_all(PyObject* const* slots, typename std::remove_cvref_t<decltype(Sig)>::Values& values) {
  constexpr std::size_t size = std::remove_cvref_t<decltype(Sig)>::size;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (convert_param(std::get<I>(Sig.params), slots[I], std::get<I>(values)) && ...);
  }(std::make_index_sequence<size>{});
}

// Converts the bound slots and calls `call` with the values; null on failure.
template <const auto& Sig, class Call>
PyObject* convert_and_call(PyObject* const* slots, Call&& call) {
  typename std::remove_cvref_t<decltype(Sig)>::Values values;
  if (!convert_all<Sig>(slots, values)) return nullptr;
  return std::apply(std::forward<Call>(call), std::move(values));
}

template <const auto& Sig, class Call>
PyObject* bind_and_call(const char* owner, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Call&& call) {
  std::array<PyObject*, std::remove_cvref_t<decltype(Sig)>::size> slots{};
  if (!bind_vectorcall(SignatureTables<Sig>::list(owner), args, nargs, kwnames, slots.data())) return nullptr;
  return convert_and_call<Sig>(slots.data(), std::forward<Call>(call));
}

// ---- module functions -------------------------------------------------------

template <class Fn>
PyCFunction as_pycfunction(Fn* fn) {
  // The interpreter calls through the pointer with the signature the flags name.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <const auto& Sig, auto Impl>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return bind_and_call<Sig>(nullptr, args, nargs, kwnames, Impl); });
}

// The method-table entry of a module function: Impl takes the converted
// values in signature order and returns a new reference (null on error).
template <const auto& Sig, auto Impl>
PyMethodDef function() {
  return {Sig.name, as_pycfunction(&function_entry<Sig, Impl>), METH_FASTCALL | METH_KEYWORDS,
          SignatureTables<Sig>::doc(Sig.name, false)};
}

}  // namespace varlix::py
