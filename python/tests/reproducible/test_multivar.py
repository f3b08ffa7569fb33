"""The multivariate surface as a whole: HyperRect, the density callable,
the rejection sampler, and what every sampler class shares (signatures,
argument errors, borrows, thread affinity, oversized batches)."""
import math

import numpy as np
import pytest

from threads import in_thread

NAN = float("nan")
INF = float("inf")


def const(*_):
    return 1.0


def box2(vx):
    return vx.HyperRect([0.0, 0.0], [1.0, 1.0])


# ---- signatures -------------------------------------------------------------

FUNCTION_SIGNATURES = [
    ("rejection_sampler", "(f, support, pdf_max, max_trials=100000)"),
    ("metropolis_hastings", "(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, adapt_steps=2000)"),
    ("hmc_sampler", "(f, support, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6)"),
    ("gibbs_sampler", "(sample_coord, support, init, sweeps_per_sample=1)"),
    ("conditional_factorization_sampler", "(sample_i, dim)"),
    ("gaussian_copula", "(corr)"),
    ("cdf_mc_estimator", "(f, support, normalization_samples=50000, cdf_samples=50000)"),
]

SAMPLE_N = ("sample_n", "($self, n, seed=None)")
CLASS_METHODS = [
    ("HyperRect", [("lo", "($self)"), ("hi", "($self)"), ("dim", "($self)")]),
    ("RejectionSampler", [("dim", "($self)"), ("pdf_max", "($self)"), ("sample", "($self)"), SAMPLE_N]),
    ("MetropolisHastings", [("init", "($self)"), ("step", "($self)"), ("sample", "($self)"), SAMPLE_N,
                            ("accept_rate", "($self)")]),
    ("HmcSampler", [("init", "($self)"), ("sample", "($self)"), SAMPLE_N]),
    ("GibbsSampler", [("step", "($self)"), ("sample", "($self)")]),
    ("ConditionalFactorizationSampler", [("sample", "($self)"), SAMPLE_N]),
    ("GaussianCopula", [("dim", "($self)"), ("sample", "($self, ppfs, seed=None)")]),
    ("CdfMcEstimator", [("cdf", "($self, x, seed=None)"), ("estimate_normalization", "($self, seed=None)")]),
]


@pytest.mark.parametrize("name, text", FUNCTION_SIGNATURES)
def test_function_signatures(vx, name, text):
    fn = getattr(vx, name)
    assert fn.__text_signature__ == text
    assert fn.__doc__ is None


@pytest.mark.parametrize("cls_name, methods", CLASS_METHODS)
def test_class_methods_and_signatures(vx, cls_name, methods):
    cls = getattr(vx, cls_name)
    assert [name for name in vars(cls) if not name.startswith("__")] == [name for name, _ in methods]
    for name, text in methods:
        assert getattr(cls, name).__text_signature__ == text


@pytest.mark.parametrize("cls_name", [name for name, _ in CLASS_METHODS[1:]])
def test_samplers_have_no_constructor(vx, cls_name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls_name}$"):
        getattr(vx, cls_name)()


# ---- HyperRect --------------------------------------------------------------

@pytest.mark.parametrize("lo, hi, message", [
    ([], [], "invalid support interval: hyper-rect cannot be empty"),
    ([0.0], [], "invalid support interval: hyper-rect cannot be empty"),
    ([], [1.0], "invalid support interval: hyper-rect cannot be empty"),
    ([0.0, 0.0], [1.0], "invalid support interval: hyper-rect lo/hi must have same dimension"),
    ([0.0, 5.0], [NAN, 1.0], "non-finite value in hyper-rect bounds"),
    ([0.0, 5.0], [1.0, INF], "non-finite value in hyper-rect bounds"),
    ([-INF], [0.0], "non-finite value in hyper-rect bounds"),
    ([2.0, 0.0], [1.0, NAN], "invalid support interval: each lo must be < hi"),
    ([0.0], [0.0], "invalid support interval: each lo must be < hi"),
])
def test_hyper_rect_validation(vx, lo, hi, message):
    with pytest.raises(vx.BuildError) as error:
        vx.HyperRect(lo, hi)
    assert error.value.args == (message,)


def test_hyper_rect_accessors(vx):
    box = vx.HyperRect(hi=(2, 3), lo=range(2))
    assert vx.HyperRect.__text_signature__ == "(lo, hi)"
    assert box.lo() == [0.0, 1.0] and box.hi() == [2.0, 3.0]
    assert type(box.lo()[0]) is float and box.lo() is not box.lo()
    assert box.dim() == 2 and type(box.dim()) is int
    # A tiny but positive width is a valid side.
    assert vx.HyperRect([0.0], [5e-324]).hi() == [5e-324]


@pytest.mark.parametrize("lo, hi, exception, message", [
    (np.array([0.0]), [1.0], TypeError, "argument 'lo': 'ndarray' object cannot be converted to 'Sequence'"),
    ([0.0], (x for x in [1.0]), TypeError, "argument 'hi': 'generator' object cannot be converted to 'Sequence'"),
    # Items are converted after binding, lo first, and before any validation.
    (["a"], 5, TypeError, "argument 'hi': 'int' object cannot be converted to 'Sequence'"),
    (["a"], [NAN], TypeError, "must be real number, not str"),
    ([], [None], TypeError, "must be real number, not NoneType"),
    ([0.0], "1", TypeError, "must be real number, not str"),
])
def test_hyper_rect_argument_errors(vx, lo, hi, exception, message):
    with pytest.raises(exception) as error:
        vx.HyperRect(lo, hi)
    assert type(error.value) is exception and str(error.value) == message


def test_support_must_be_a_hyper_rect(vx):
    with pytest.raises(TypeError) as error:
        vx.rejection_sampler(const, ([0.0], [1.0]), 1.0)
    assert str(error.value) == "argument 'support': 'tuple' object cannot be converted to 'HyperRect'"


# ---- the density callable ---------------------------------------------------

def test_two_parameter_density_gets_two_floats(vx):
    calls = []

    def f(x, y):
        calls.append((x, y))
        return 1.0

    point = vx.rejection_sampler(f, box2(vx), 1.0).sample()
    assert calls == [tuple(point)] and all(type(v) is float for v in calls[0])


def test_one_parameter_density_gets_a_list_after_the_spread_call_fails(vx):
    calls = []

    def f(p):
        calls.append(p)
        return 1.0

    point = vx.rejection_sampler(f, box2(vx), 1.0).sample()
    assert calls == [point] and type(calls[0]) is list


def test_one_dimension_tries_a_bare_float_first(vx):
    calls = []

    def f(p):
        calls.append(p)
        return p[0]  # fails for the bare float

    point = vx.rejection_sampler(f, vx.HyperRect([0.0], [1.0]), 1e-300).sample()
    assert calls == [point[0], point]


@pytest.mark.parametrize("f", [
    lambda *_: 1 / 0, lambda *_: None, lambda *_: "1", lambda *_: -1.0, lambda *_: NAN, lambda *_: INF,
])
def test_invalid_density_values_are_rejected(vx, f):
    with pytest.raises(vx.SampleError, match="^rejection sampler failed to accept$"):
        vx.rejection_sampler(f, box2(vx), 1.0, max_trials=50).sample()


# ---- rejection --------------------------------------------------------------

@pytest.mark.parametrize("pdf_max", [0.0, -0.0, -1.0, NAN, INF, -INF])
def test_pdf_max_must_be_finite_and_positive(vx, pdf_max):
    with pytest.raises(vx.BuildError) as error:
        vx.rejection_sampler(const, box2(vx), pdf_max)
    assert error.value.args == ("pdf_max must be finite and positive",)


def test_subnormal_pdf_max_is_accepted(vx):
    r = vx.rejection_sampler(const, vx.HyperRect([0.0, 0.0, 0.0], [1.0, 2.0, 3.0]), 5e-324)
    assert r.dim() == 3 and type(r.dim()) is int and r.pdf_max() == 5e-324


def test_rejection_zero_trials_fails_without_calling(vx):
    calls = []
    r = vx.rejection_sampler(lambda *a: calls.append(a) or 1.0, box2(vx), 1.0, max_trials=0)
    with pytest.raises(vx.SampleError, match="^rejection sampler failed to accept$"):
        r.sample()
    with pytest.raises(vx.SampleError, match="^rejection sampler failed to accept$"):
        r.sample_n(3, seed=1)
    assert calls == [] and r.sample_n(0) == []


def test_rejection_seeded_batches(vx):
    # Density x + y under pdf_max 2: some proposals are rejected.
    r = vx.rejection_sampler(lambda x, y: x + y, box2(vx), 2.0)
    first = r.sample_n(20, seed=11)
    assert r.sample_n(20, seed=11) == first
    assert r.sample_n(7, seed=11) == first[:7]
    assert r.sample_n(20, seed=12) != first


# ---- argument errors of every factory and method ----------------------------

def argument_cases(vx):
    box = box2(vx)
    copula = vx.gaussian_copula([[1.0]])
    est = vx.cdf_mc_estimator(const, box)
    return [
        (lambda: vx.rejection_sampler(const, box, "1"), TypeError, "argument 'pdf_max': must be real number, not str"),
        (lambda: vx.rejection_sampler(const, box, 1.0, 1.5), TypeError,
         "argument 'max_trials': 'float' object cannot be interpreted as an integer"),
        (lambda: vx.rejection_sampler(const, box, 1.0, -1), OverflowError, None),
        (lambda: vx.rejection_sampler(const), TypeError,
         "rejection_sampler() missing 2 required positional arguments: 'support' and 'pdf_max'"),
        (lambda: vx.metropolis_hastings(const, box, step_size=None), TypeError,
         "argument 'step_size': must be real number, not NoneType"),
        (lambda: vx.metropolis_hastings(const, box, burn_in=1.0), TypeError,
         "argument 'burn_in': 'float' object cannot be interpreted as an integer"),
        (lambda: vx.metropolis_hastings(const, box, thin="1"), TypeError,
         "argument 'thin': 'str' object cannot be interpreted as an integer"),
        (lambda: vx.metropolis_hastings(const, box, target_accept=[]), TypeError,
         "argument 'target_accept': must be real number, not list"),
        (lambda: vx.metropolis_hastings(const, box, adapt_steps=2**64), OverflowError, None),
        (lambda: vx.metropolis_hastings(const, box, 0.1, 1, 1, 0.2, 1, 1), TypeError,
         "metropolis_hastings() takes from 2 to 7 positional arguments but 8 were given"),
        (lambda: vx.hmc_sampler(const, box, step_size="a"), TypeError,
         "argument 'step_size': must be real number, not str"),
        (lambda: vx.hmc_sampler(const, box, leapfrog_steps=-1), OverflowError, None),
        (lambda: vx.hmc_sampler(const, box, grad_eps=None), TypeError,
         "argument 'grad_eps': must be real number, not NoneType"),
        (lambda: vx.hmc_sampler(const, support=box, step=1), TypeError,
         "hmc_sampler() got an unexpected keyword argument 'step'"),
        (lambda: vx.gibbs_sampler(const, box, iter([0.0, 0.0])), TypeError,
         "argument 'init': 'list_iterator' object cannot be converted to 'Sequence'"),
        # sweeps_per_sample is converted before the items of init.
        (lambda: vx.gibbs_sampler(const, box, ["a"], 1.5), TypeError,
         "argument 'sweeps_per_sample': 'float' object cannot be interpreted as an integer"),
        (lambda: vx.gibbs_sampler(const, box, ["a", 0.0]), TypeError, "must be real number, not str"),
        (lambda: vx.gibbs_sampler(const, None, [0.0, 0.0]), TypeError,
         "argument 'support': 'NoneType' object cannot be converted to 'HyperRect'"),
        (lambda: vx.conditional_factorization_sampler(const, 2.0), TypeError,
         "argument 'dim': 'float' object cannot be interpreted as an integer"),
        (lambda: vx.conditional_factorization_sampler(const, -1), OverflowError, None),
        (lambda: vx.gaussian_copula("ab"), TypeError, "argument 'corr': Can't extract `str` to `Vec`"),
        (lambda: vx.gaussian_copula(["ab"]), TypeError, "argument 'corr': Can't extract `str` to `Vec`"),
        (lambda: vx.gaussian_copula(1.0), TypeError, "argument 'corr': 'float' object cannot be converted to 'Sequence'"),
        (lambda: vx.gaussian_copula([[1.0, None]]), TypeError, "argument 'corr': must be real number, not NoneType"),
        (lambda: vx.cdf_mc_estimator(const, box, normalization_samples=0.5), TypeError,
         "argument 'normalization_samples': 'float' object cannot be interpreted as an integer"),
        (lambda: vx.cdf_mc_estimator(const, box, cdf_samples=-2), OverflowError, None),
        (lambda: copula.sample(len), TypeError,
         "argument 'ppfs': 'builtin_function_or_method' object cannot be converted to 'Sequence'"),
        (lambda: copula.sample("f"), TypeError, "argument 'ppfs': Can't extract `str` to `Vec`"),
        (lambda: copula.sample([math.sqrt], seed=1.5), TypeError,
         "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (lambda: est.cdf(np.array([0.5, 0.5])), TypeError,
         "argument 'x': 'ndarray' object cannot be converted to 'Sequence'"),
        # seed is converted before the items of x.
        (lambda: est.cdf(["a", 0.5], seed="1"), TypeError,
         "argument 'seed': 'str' object cannot be interpreted as an integer"),
        (lambda: est.cdf(["a", 0.5]), TypeError, "must be real number, not str"),
        (lambda: est.estimate_normalization(-1), OverflowError, None),
    ]


def test_argument_errors(vx):
    for call, exception, message in argument_cases(vx):
        with pytest.raises(BaseException) as error:
            call()
        assert type(error.value) is exception
        if message is not None:
            assert str(error.value) == message
        else:
            assert not str(error.value).startswith("argument")


# ---- oversized batches ------------------------------------------------------

def started(sampler):
    sampler.init()
    return sampler


@pytest.mark.parametrize("make", [
    lambda vx: vx.rejection_sampler(const, box2(vx), 1.0),
    lambda vx: started(vx.metropolis_hastings(const, box2(vx), burn_in=0)),
    lambda vx: started(vx.hmc_sampler(const, box2(vx))),
    lambda vx: vx.conditional_factorization_sampler(lambda i, p: 0.5, 2),
])
@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
def test_batch_too_large_is_memory_error(vx, make, n):
    with pytest.raises(MemoryError):
        make(vx).sample_n(n, seed=1)


@pytest.mark.parametrize("call", [lambda s: s.sample(), lambda s: s.sample_n(1, seed=1)])
def test_point_too_large_is_memory_error(vx, call):
    with pytest.raises(MemoryError):
        call(vx.conditional_factorization_sampler(lambda i, p: 0.0, 2**63))


# ---- borrows: a callable calling back into its own sampler ------------------

def reentrant_cases(vx):
    """(make(callback) -> sampler, the call that runs the callback, the
    re-entrant call, the expected message). The callback is the density or
    coordinate sampler; it records what the re-entrant call raised."""
    box = box2(vx)

    def mh(callback):
        return vx.metropolis_hastings(callback, box, burn_in=0)

    return [
        (mh, lambda s: s.init(), lambda s: s.step(), "Already borrowed"),
        (mh, lambda s: s.init(), lambda s: s.accept_rate(), "Already mutably borrowed"),
        (lambda cb: vx.hmc_sampler(cb, box, leapfrog_steps=1), lambda s: s.init(), lambda s: s.sample_n(1),
         "Already borrowed"),
        (lambda cb: vx.gibbs_sampler(cb, box, [0.5, 0.5]), lambda s: s.step(), lambda s: s.sample(),
         "Already borrowed"),
        (lambda cb: vx.cdf_mc_estimator(cb, box, 3, 3), lambda s: s.estimate_normalization(),
         lambda s: s.cdf([0.5, 0.5]), "Already borrowed"),
    ]


def test_reentrant_calls_are_refused(vx):
    for make, outer, inner, message in reentrant_cases(vx):
        raised = []
        holder = []

        def callback(*_):
            try:
                inner(holder[0])
            except RuntimeError as error:
                raised.append(error)
            return 0.5

        holder.append(make(callback))
        outer(holder[0])
        assert raised and {type(e) for e in raised} == {RuntimeError}
        assert {str(e) for e in raised} == {message}
        holder.clear()  # breaks the cycle sampler -> callback -> holder


def test_reentrant_read_of_an_immutable_sampler_is_allowed(vx):
    seen = []
    holder = []

    def f(x, y):
        seen.append(holder[0].dim())
        return 1.0

    holder.append(vx.rejection_sampler(f, box2(vx), 1.0))
    holder[0].sample()
    assert seen == [2]
    holder.clear()


# ---- thread affinity --------------------------------------------------------

THREAD_BOUND = [
    ("PyMetropolisHastings", lambda vx: vx.metropolis_hastings(const, box2(vx)), lambda s: s.accept_rate()),
    ("PyHmcSampler", lambda vx: vx.hmc_sampler(const, box2(vx)), lambda s: s.init()),
    ("PyGibbsSampler", lambda vx: vx.gibbs_sampler(lambda i, x: 0.5, box2(vx), [0.0, 0.0]), lambda s: s.step()),
    ("PyCdfMcEstimator", lambda vx: vx.cdf_mc_estimator(const, box2(vx), 10, 10), lambda s: s.estimate_normalization()),
]


@pytest.mark.parametrize("path, make, call", THREAD_BOUND)
def test_stateful_samplers_refuse_other_threads(vx, path, make, call):
    sampler = make(vx)
    result = in_thread(lambda: call(sampler))
    assert type(result["error"]) is RuntimeError
    assert str(result["error"]) == f"_varlix::multivar::{path} is unsendable, but sent to another thread"
    call(sampler)  # still usable on its own thread


@pytest.mark.parametrize("path, make, call", THREAD_BOUND)
def test_stateful_samplers_dropped_elsewhere_are_reported(vx, monkeypatch, path, make, call):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    holder = [make(vx)]
    in_thread(holder.clear)
    assert [str(r.exc_value) for r in reported] == [
        f"_varlix::multivar::{path} is unsendable, but is being dropped on another thread"]


def test_a_later_thread_is_another_thread(vx, monkeypatch):
    # The C library hands the identifier of a finished thread to the next one
    # it starts; that thread is still not the one that made the sampler.
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    holder = [in_thread(lambda: vx.metropolis_hastings(const, box2(vx)))["value"]]
    result = in_thread(lambda: holder[0].accept_rate())
    assert str(result.get("error")) == "_varlix::multivar::PyMetropolisHastings is unsendable, but sent to another thread"
    in_thread(holder.clear)
    assert [str(r.exc_value) for r in reported] == [
        "_varlix::multivar::PyMetropolisHastings is unsendable, but is being dropped on another thread"]


def test_other_samplers_work_from_any_thread(vx):
    box = box2(vx)
    rejection = vx.rejection_sampler(const, box, 1.0)
    factor = vx.conditional_factorization_sampler(lambda i, p: 0.25, 2)
    copula = vx.gaussian_copula([[1.0]])
    assert len(in_thread(lambda: rejection.sample_n(3, seed=1))["value"]) == 3
    assert in_thread(factor.sample) == {"value": [0.25, 0.25]}
    assert in_thread(lambda: copula.sample([lambda u: 7.0])) == {"value": [7.0]}
    assert in_thread(box.dim) == {"value": 2}
