// Heap types whose instances each own one core value.
//
// A class is described by a small traits struct:
//
//   struct DiscreteDistributionClass {
//     using Core = DiscreteSampler;                        // the one value an instance owns
//     static constexpr const char* name = "DiscreteDistribution";
//     // Only for classes confined to their creating thread:
//     // static constexpr const char* thread_bound_as = "_varlix::multivar::PyMetropolisHastings";
//   };
//
// and registered once with add_class<Cls>(module, {.methods = ..., .constructor = ...}).
// Every class is final, has no instance dictionary and no weak references,
// and its __module__ is the name of the module it is added to. A class without a constructor refuses to
// be called with TypeError "No constructor defined for {name}"; instances are
// then made by PyClass<Cls>::wrap from the binding's functions.
//
// A class whose instances keep user callables declares
//
//     static constexpr bool holds_callables = true;
//
// and takes part in cyclic garbage collection: a sampler built from a bound
// method of the object that stores the sampler is a reference cycle, and
// without the collector it would never be freed. Such an instance is made by
// wrap(core, owned_callables(adaptors...)) with the adaptors its factory made
// for it; the instance keeps a copy of each beside the core, and those copies
// are what the collector is shown, one visit per reference.
//
// Methods are declared like functions (binder.hpp) and borrow the instance
// for the call: an Impl whose first parameter is `const Core&` takes a shared
// borrow, one taking `Core&` an exclusive borrow. A conflicting borrow (a user
// callable calling back into the object it is called from) is refused with
// RuntimeError "Already borrowed" / "Already mutably borrowed".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "callable.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace varlix::py {

// ---- borrows and thread affinity --------------------------------------------

// Every call runs with the interpreter lock held, so a plain count suffices.
class BorrowFlag {
 public:
  [[nodiscard]] bool try_shared() {
    if (state_ == kExclusive) return false;
    ++state_;
    return true;
  }
  [[nodiscard]] bool try_exclusive() {
    if (state_ != 0) return false;
    state_ = kExclusive;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = 0; }
  [[nodiscard]] bool is_free() const { return state_ == 0; }

 private:
  static constexpr std::ptrdiff_t kExclusive = -1;
  std::ptrdiff_t state_ = 0;  // number of shared borrows, or kExclusive
};

// Held for one call; RuntimeError pending when refused.
template <bool Exclusive>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag);
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    if constexpr (Exclusive) {
      flag_.release_exclusive();
    } else {
      flag_.release_shared();
    }
  }
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

// RuntimeError for a refused borrow.
void refuse_borrow(bool exclusive);

template <bool Exclusive>
Borrow<Exclusive>::Borrow(BorrowFlag& flag)
    : flag_(flag), held_(Exclusive ? flag.try_exclusive() : flag.try_shared()) {
  if (!held_) refuse_borrow(Exclusive);
}

// A number of the calling thread, never given to another thread of the
// process. std::thread::id will not do: it is the pthread_t, which the C
// library hands to the next thread it starts once the old one has exited.
[[nodiscard]] std::uint64_t current_thread_serial();

// The thread that created an instance.
class ThreadOwner {
 public:
  ThreadOwner() : serial_(current_thread_serial()) {}
  [[nodiscard]] bool is_current() const { return serial_ == current_thread_serial(); }

 private:
  std::uint64_t serial_;
};

// RuntimeError "{path} is unsendable, but sent to another thread"; null.
PyObject* refuse_foreign_thread(const char* type_path);
// Reports "{path} is unsendable, but is being dropped on another thread" as
// unraisable, leaving any pending exception as it was.
void report_foreign_drop(const char* type_path);

template <class Cls>
constexpr bool kThreadBound = requires { Cls::thread_bound_as; };

// ---- user callables and the collector ---------------------------------------

template <class Cls>
constexpr bool kHoldsCallables = requires { requires Cls::holds_callables; };

// The references to user callables an instance owns: one handle per adaptor
// its factory made, however many copies of it the core keeps (copies share
// one reference). Holding its own handles, the instance owns each reference
// for as long as it shows it to the collector, even if the core drops its
// copies earlier. No handle may be shared with another instance: each
// would then report the same reference, one more than exists, and the
// collector could free a callable still in use.
using OwnedCallables = std::vector<SharedCallable>;

// The handles of adaptors just made for one new instance.
template <class... Adaptor>
[[nodiscard]] OwnedCallables owned_callables(const Adaptor&... adaptors) {
  return {adaptors.callable()...};
}

struct NoCallables {};

// RuntimeError "{name} was cleared by the garbage collector"; null.
PyObject* refuse_cleared(const char* class_name);

// ---- the class --------------------------------------------------------------

struct Constructor {
  newfunc new_instance = nullptr;
  const char* doc = nullptr;  // the class's text signature
};

struct ClassParts {
  PyMethodDef* methods = nullptr;  // null-terminated, static storage
  Constructor constructor = {};    // none: calling the class raises TypeError
  PyGetSetDef* getset = nullptr;   // null-terminated, static storage
  reprfunc repr = nullptr;
};

template <class Cls>
class PyClass {
 public:
  using Core = typename Cls::Core;
  static_assert(std::is_nothrow_move_constructible_v<Core>, "an instance is filled by moving its core in");
  static_assert(alignof(Core) <= alignof(std::max_align_t), "the interpreter's allocator aligns to max_align_t");

  struct Contents {
    Core core;
    [[no_unique_address]] std::conditional_t<kHoldsCallables<Cls>, OwnedCallables, NoCallables> callables;
  };

  struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    ThreadOwner owner;
    // The contents are in place: false until wrap has built them (the
    // allocation zero-fills) and again once the collector released them.
    bool live;
    alignas(Contents) unsigned char storage[sizeof(Contents)];

    Contents& contents() { return *std::launder(reinterpret_cast<Contents*>(storage)); }
    Core& core() { return contents().core; }
  };

  [[nodiscard]] static PyTypeObject* type() { return type_; }
  [[nodiscard]] static bool is_instance(PyObject* object) {
    return type_ != nullptr && PyObject_TypeCheck(object, type_);
  }
  // Unchecked: `object` must be an instance.
  [[nodiscard]] static Object* object(PyObject* object) { return reinterpret_cast<Object*>(object); }

  // A new instance owning `value`; null with a Python error pending.
  static PyObject* wrap(Core&& value)
    requires(!kHoldsCallables<Cls>)
  {
    return make(Contents{std::move(value), {}});
  }

  // A new instance owning `value` and the references of `callables`, the
  // handles of the adaptors made for it alone.
  static PyObject* wrap(Core&& value, OwnedCallables&& callables)
    requires kHoldsCallables<Cls>
  {
    return make(Contents{std::move(value), std::move(callables)});
  }

  // A core builder's result: the new instance, or its error raised.
  template <class Error, class... Callables>
  static PyObject* wrap(std::expected<Core, Error>&& built, Callables&&... callables) {
    if (!built) return map_error(built.error());
    return wrap(*std::move(built), std::forward<Callables>(callables)...);
  }

  // Makes the type object, once per process.
  [[nodiscard]] static bool create(const char* module_name, const ClassParts& parts);

 private:
  static PyObject* make(Contents&& contents) {
    if (type_ == nullptr) return set_error(PyExc_SystemError, "class used before its registration");
    PyObject* self = PyType_GenericAlloc(type_, 0);
    if (self == nullptr) return nullptr;
    Object* instance = object(self);
    new (&instance->borrow) BorrowFlag();
    new (&instance->owner) ThreadOwner();
    new (instance->storage) Contents(std::move(contents));
    instance->live = true;
    return self;
  }

  // Marked first: the last reference to a callable can run any Python code,
  // and that code must find the instance already empty.
  static void release(Object* instance) {
    instance->live = false;
    instance->contents().~Contents();
  }

  static void dealloc(PyObject* self);
  static int traverse(PyObject* self, visitproc visit, void* arg);
  static int clear(PyObject* self);
  static PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", Cls::name);
    return nullptr;
  }

  static inline PyTypeObject* type_ = nullptr;
};

template <class Cls>
bool PyClass<Cls>::create(const char* module_name, const ClassParts& parts) {
  if (type_ != nullptr) return true;
  static const std::string qualified_name = std::string(module_name) + "." + Cls::name;
  PyType_Slot slots[10];
  int count = 0;
  const auto add = [&](int slot, auto* pointer) {
    if (pointer != nullptr) slots[count++] = {slot, reinterpret_cast<void*>(pointer)};
  };
  add(Py_tp_dealloc, &dealloc);
  if constexpr (kHoldsCallables<Cls>) {
    add(Py_tp_traverse, &traverse);
    add(Py_tp_clear, &clear);
    add(Py_tp_free, &PyObject_GC_Del);
  }
  add(Py_tp_new, parts.constructor.new_instance != nullptr ? parts.constructor.new_instance : &no_constructor);
  add(Py_tp_doc, const_cast<char*>(parts.constructor.doc));
  add(Py_tp_methods, parts.methods);
  add(Py_tp_getset, parts.getset);
  add(Py_tp_repr, parts.repr);
  slots[count] = {0, nullptr};
  // No Py_TPFLAGS_BASETYPE: final. No dict or weakref offsets: neither exists.
  // Classes without callables stay out of the collector: they can close no
  // cycle, and tracking them would only cost their allocations.
  const unsigned int gc_flag = kHoldsCallables<Cls> ? Py_TPFLAGS_HAVE_GC : 0;
  PyType_Spec spec = {qualified_name.c_str(), static_cast<int>(sizeof(Object)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | gc_flag, slots};
  type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type_ != nullptr;
}

template <class Cls>
void PyClass<Cls>::dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Object* instance = object(self);
  // Untracked before anything is released: the collector must not see a
  // half-destroyed instance if dropping a callable runs a collection.
  if constexpr (kHoldsCallables<Cls>) PyObject_GC_UnTrack(self);
  // Not live: the collector released the contents already.
  if (instance->live) {
    bool on_owner = true;
    if constexpr (kThreadBound<Cls>) {
      // Its callables and chain state belong to the creating thread: leak
      // them rather than run their destructors here.
      on_owner = instance->owner.is_current();
      if (!on_owner) report_foreign_drop(Cls::thread_bound_as);
    }
    if (on_owner) release(instance);
  }
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class Cls>
int PyClass<Cls>::traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // an instance of a heap type owns a reference to it
  Object* instance = object(self);
  if (!instance->live) return 0;
  for (const SharedCallable& callable : instance->contents().callables) Py_VISIT(callable.get());
  return 0;
}

template <class Cls>
int PyClass<Cls>::clear(PyObject* self) {
  Object* instance = object(self);
  if constexpr (kThreadBound<Cls>) {
    // As when it is dropped elsewhere, nothing of it is released off its
    // thread; the cycle stays for a collection on the creating thread (or
    // is reported when another member's clearing drops the instance here).
    if (!instance->owner.is_current()) return 0;
  }
  // A borrowed instance has a method running on it, so it is not garbage
  // whatever the collector concluded; its core must outlive that method.
  if (instance->live && instance->borrow.is_free()) release(instance);
  return 0;
}

template <class Cls>
[[nodiscard]] bool add_class(PyObject* module, const ClassParts& parts) {
  const char* module_name = PyModule_GetName(module);
  return module_name != nullptr && PyClass<Cls>::create(module_name, parts) &&
         PyModule_AddObjectRef(module, Cls::name, reinterpret_cast<PyObject*>(PyClass<Cls>::type())) == 0;
}

// ---- class-instance arguments -----------------------------------------------

// An instance of Cls (the classes passed as arguments are immutable, so no
// borrow is taken); the argument keeps it alive for the call.
template <class Cls>
struct InstanceOf {
  static_assert(!kHoldsCallables<Cls>, "read without a borrow: only classes the collector never clears");
  using type = const typename Cls::Core*;
  static bool convert(PyObject* object, type& out) {
    if (!PyClass<Cls>::is_instance(object)) return refuse_conversion(object, Cls::name);
    out = &PyClass<Cls>::object(object)->core();
    return true;
  }
};

// ---- methods ----------------------------------------------------------------

// Runs body(core) under the thread check and the borrow the call needs.
template <class Cls, bool Exclusive, class Body>
PyObject* with_core(PyObject* self, Body&& body) {
  auto* instance = PyClass<Cls>::object(self);
  if constexpr (kThreadBound<Cls>) {
    if (!instance->owner.is_current()) return refuse_foreign_thread(Cls::thread_bound_as);
  }
  if constexpr (kHoldsCallables<Cls>) {
    // Reachable only from a finalizer running during a collection.
    if (!instance->live) return refuse_cleared(Cls::name);
  }
  const Borrow<Exclusive> borrow(instance->borrow);
  if (!borrow) return nullptr;
  if constexpr (Exclusive) {
    return body(instance->core());
  } else {
    return body(std::as_const(instance->core()));
  }
}

template <class Fn>
struct FirstParam;
template <class R, class First, class... Rest>
struct FirstParam<R (*)(First, Rest...)> {
  using type = First;
};

// Exclusive exactly when Impl takes the core by non-const reference.
template <class Cls, auto Impl>
constexpr bool kExclusive = [] {
  using First = typename FirstParam<decltype(Impl)>::type;
  static_assert(std::is_same_v<std::remove_cvref_t<First>, typename Cls::Core> && std::is_reference_v<First>,
                "a method's first parameter is the instance's core, by reference");
  return !std::is_const_v<std::remove_reference_t<First>>;
}();

template <class Cls, const auto& Sig, auto Impl>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return with_core<Cls, kExclusive<Cls, Impl>>(self, [&](auto& core) {
      return bind_and_call<Sig>(Cls::name, args, nargs, kwnames,
                                [&core](auto&&... values) { return Impl(core, std::move(values)...); });
    });
  });
}

template <class Cls, auto Impl>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) {
  return guarded([&] { return with_core<Cls, kExclusive<Cls, Impl>>(self, Impl); });
}

// The method-table entry of a method: Impl(core, values...) returns a new
// reference (null on error). Without parameters it is a plain no-argument
// method.
template <class Cls, const auto& Sig, auto Impl>
PyMethodDef method() {
  const char* doc = SignatureTables<Sig>::doc(Sig.name, true);
  if constexpr (std::remove_cvref_t<decltype(Sig)>::size == 0) {
    return {Sig.name, as_pycfunction(&noargs_entry<Cls, Impl>), METH_NOARGS, doc};
  } else {
    return {Sig.name, as_pycfunction(&method_entry<Cls, Sig, Impl>), METH_FASTCALL | METH_KEYWORDS, doc};
  }
}

template <class Cls, const auto& Sig, auto Impl>
PyObject* static_entry(PyObject* /*null*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return bind_and_call<Sig>(Cls::name, args, nargs, kwnames, Impl); });
}

// A static method (no instance): Impl(values...).
template <class Cls, const auto& Sig, auto Impl>
PyMethodDef static_method() {
  return {Sig.name, as_pycfunction(&static_entry<Cls, Sig, Impl>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
          SignatureTables<Sig>::doc(Sig.name, false)};
}

// ---- constructors, properties, repr -----------------------------------------

template <class Cls, const auto& Sig, auto Impl>
PyObject* constructor_entry(PyTypeObject* /*final: always Cls*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, std::remove_cvref_t<decltype(Sig)>::size> slots{};
    if (!bind_tuple(SignatureTables<Sig>::list(Cls::name), args, kwargs, slots.data())) return nullptr;
    return convert_and_call<Sig>(slots.data(), Impl);
  });
}

// Calling the class: Sig is named "__new__" (so wrong calls read
// "Interval.__new__() ..."), Impl(values...) returns the new instance, and
// the class's text signature is Sig's parameter list.
template <class Cls, const auto& Sig, auto Impl>
Constructor constructor() {
  return {&constructor_entry<Cls, Sig, Impl>, SignatureTables<Sig>::doc(Cls::name, false)};
}

template <class Cls, auto Impl>
PyObject* getter_entry(PyObject* self, void* /*closure*/) {
  return guarded([&] { return with_core<Cls, false>(self, Impl); });
}

// A read-only property: Impl(const Core&) returns a new reference.
template <class Cls, auto Impl>
PyGetSetDef property(const char* name) {
  return {name, &getter_entry<Cls, Impl>, nullptr, nullptr, nullptr};
}

template <class Cls, auto Impl>
PyObject* repr_entry(PyObject* self) {
  return guarded([&] { return with_core<Cls, false>(self, Impl); });
}

// __repr__: Impl(const Core&) returns a new str.
template <class Cls, auto Impl>
reprfunc repr() {
  return &repr_entry<Cls, Impl>;
}

}  // namespace varlix::py
