"""Interval, BuildOptions and the eight continuous factories: signatures,
conversions in order, the options rules and the build errors."""
import math
import sys

import numpy as np
import pytest


def normal(x):
    return math.exp(-0.5 * x * x)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


class Counted:
    """A density that counts its calls."""

    def __init__(self, f=normal):
        self.f = f
        self.calls = 0

    def __call__(self, x):
        self.calls += 1
        return self.f(x)


SIGNATURES = [
    ("from_pdf", "(f, interval)"),
    ("from_pdf_with_options", "(f, interval, options)"),
    ("from_pdf_dpdf", "(f, dpdf, interval, options=None)"),
    ("from_cdf", "(f, interval)"),
    ("from_cdf_with_options", "(f, interval, options)"),
    ("from_histogram", "(edges, counts, density=False, options=None)"),
    ("from_pdf_loc_scale", "(f, interval, loc, scale, options=None)"),
    ("truncated", "(f, interval, trunc_interval, options=None)"),
]


@pytest.mark.parametrize("name, text", SIGNATURES)
def test_factory_signatures(vx, name, text):
    assert getattr(vx, name).__text_signature__ == text
    assert getattr(vx, name).__doc__ is None


def test_class_signatures(vx):
    assert vx.Interval.__text_signature__ == "(lo, hi)"
    assert vx.BuildOptions.__text_signature__ == (
        "(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, use_newton=True, hermite_grid_size=None, "
        "tdr_transform=None, tdr_construction_points=None, tdr_dpdf_rel_step=None)")
    assert vx.BuildOptions.tdr.__text_signature__ == "(transform, construction_points=None)"
    assert vx.BuildOptions.hermite.__text_signature__ == "(grid_size)"
    assert [n for n in vars(vx.BuildOptions) if not n.startswith("__")] == ["tdr", "hermite"]


# ---- Interval -----------------------------------------------------------------

@pytest.mark.parametrize("lo, hi, text", [
    (0.0, 1.0, "Interval(0, 1)"),
    (-1.5, 2.25, "Interval(-1.5, 2.25)"),
    (1e-7, 1, "Interval(0.0000001, 1)"),
    (0, 1e20, "Interval(0, 100000000000000000000)"),
    (-0.0, 0.1, "Interval(-0, 0.1)"),
    (np.float32(0.5), True, "Interval(0.5, 1)"),
])
def test_interval_repr(vx, lo, hi, text):
    assert repr(vx.Interval(lo, hi)) == text


def test_interval_bounds_are_read_only_floats(vx):
    interval = vx.Interval(1, 2)
    assert (interval.lo, interval.hi) == (1.0, 2.0) and type(interval.lo) is float
    with pytest.raises(AttributeError):
        interval.lo = 0.0
    assert vx.Interval(hi=3, lo=-1).lo == -1.0


INVALID = "invalid support interval: lo must be strictly less than hi"
NON_FINITE = "non-finite value in support bounds"


@pytest.mark.parametrize("lo, hi, message", [
    (1, 1, INVALID), (2, 1, INVALID), (-0.0, 0.0, INVALID),
    (math.inf, 1, NON_FINITE), (0, math.inf, NON_FINITE), (-math.inf, math.inf, NON_FINITE),
    (math.nan, 1, NON_FINITE),  # NaN would fail the order test too; finiteness comes first
    (2, math.nan, NON_FINITE),
])
def test_interval_validation(vx, lo, hi, message):
    with pytest.raises(vx.BuildError) as error:
        vx.Interval(lo, hi)
    assert str(error.value) == message


@pytest.mark.parametrize("call, exception, message", [
    (lambda vx: vx.Interval("a", None), TypeError, "argument 'lo': must be real number, not str"),
    (lambda vx: vx.Interval(0, None), TypeError, "argument 'hi': must be real number, not NoneType"),
    (lambda vx: vx.Interval(0), TypeError, "Interval.__new__() missing 1 required positional argument: 'hi'"),
    (lambda vx: vx.Interval(0, 1, 2), TypeError, "Interval.__new__() takes 2 positional arguments but 3 were given"),
])
def test_interval_conversion_errors(vx, call, exception, message):
    error = raised(lambda: call(vx))
    assert type(error) is exception and str(error) == message


# ---- BuildOptions ---------------------------------------------------------------

def flags(vx, options):
    d = vx.from_pdf_with_options(normal, vx.Interval(-5, 5), options)
    return d.uses_hermite_table(), d.uses_tdr()


@pytest.mark.parametrize("make, hermite, tdr", [
    (lambda vx: vx.BuildOptions(), False, False),
    (lambda vx: vx.BuildOptions(hermite_grid_size=64), True, False),
    (lambda vx: vx.BuildOptions(hermite_grid_size=0), True, False),
    (lambda vx: vx.BuildOptions(hermite_grid_size=64, tdr_transform="not a transform"), True, False),
    (lambda vx: vx.BuildOptions(tdr_transform="LOG", tdr_construction_points=10), False, True),
    (lambda vx: vx.BuildOptions(tdr_transform="inv-sqrt", tdr_dpdf_rel_step=1e-3), False, True),
    (lambda vx: vx.BuildOptions(tdr_transform=None, use_newton=np.False_, max_iterations=0), False, False),
    (lambda vx: vx.BuildOptions.tdr("log"), False, True),
    (lambda vx: vx.BuildOptions.tdr("InvSqrt", construction_points=5), False, True),
    (lambda vx: vx.BuildOptions.hermite(64), True, False),
])
def test_build_options_choose_the_backend(vx, make, hermite, tdr):
    assert flags(vx, make(vx)) == (hermite, tdr)


@pytest.mark.parametrize("values", [
    {"quad_tolerance": -1.0, "ppf_tolerance": 0.0, "max_iterations": 0},
    {"hermite_grid_size": 0, "tdr_construction_points": 0, "tdr_dpdf_rel_step": -math.inf},
    {"tdr_transform": "log", "tdr_construction_points": 0, "tdr_dpdf_rel_step": math.nan},
])
def test_build_options_are_not_validated(vx, values):
    assert type(vx.BuildOptions(**values)) is vx.BuildOptions


UNKNOWN_BOGUS = "unknown TDR transform 'bogus', expected 'log' or 'inv_sqrt'"


@pytest.mark.parametrize("call, exception, message", [
    (lambda vx: vx.BuildOptions(tdr_transform="Bogus"), ValueError, UNKNOWN_BOGUS),
    (lambda vx: vx.BuildOptions(tdr_transform=1), TypeError,
     "argument 'tdr_transform': 'int' object cannot be converted to 'PyString'"),
    (lambda vx: vx.BuildOptions(tdr_transform=1, hermite_grid_size=64), TypeError,
     "argument 'tdr_transform': 'int' object cannot be converted to 'PyString'"),
    (lambda vx: vx.BuildOptions(use_newton=1), TypeError,
     "argument 'use_newton': 'int' object cannot be converted to 'PyBool'"),
    (lambda vx: vx.BuildOptions(use_newton=None), TypeError,
     "argument 'use_newton': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda vx: vx.BuildOptions(max_iterations=2**32), OverflowError, "out of range integral type conversion attempted"),
    # The interpreter's own OverflowError, whatever the transform string.
    (lambda vx: vx.BuildOptions(max_iterations=-1, tdr_transform="bogus"), OverflowError, None),
    (lambda vx: vx.BuildOptions.tdr("bogus", construction_points=-1), OverflowError, None),
    (lambda vx: vx.BuildOptions.tdr("log", construction_points=-1), OverflowError, None),
    (lambda vx: vx.BuildOptions(quad_tolerance="1e-3"), TypeError,
     "argument 'quad_tolerance': must be real number, not str"),
    # Conversion runs in parameter order, and before the transform is parsed.
    (lambda vx: vx.BuildOptions(tdr_transform="bogus", tdr_construction_points=1.5), TypeError,
     "argument 'tdr_construction_points': 'float' object cannot be interpreted as an integer"),
    (lambda vx: vx.BuildOptions(tdr_dpdf_rel_step="x", ppf_tolerance="y"), TypeError,
     "argument 'ppf_tolerance': must be real number, not str"),
    (lambda vx: vx.BuildOptions.tdr("bogus"), ValueError, UNKNOWN_BOGUS),
    (lambda vx: vx.BuildOptions.tdr(None), TypeError,
     "argument 'transform': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda vx: vx.BuildOptions.tdr(), TypeError, "BuildOptions.tdr() missing 1 required positional argument: 'transform'"),
    (lambda vx: vx.BuildOptions.hermite(None), TypeError,
     "argument 'grid_size': 'NoneType' object cannot be interpreted as an integer"),
    (lambda vx: vx.BuildOptions(1, 2, 3, True, 5, "log", 7, 8, 9), TypeError,
     "BuildOptions.__new__() takes from 0 to 8 positional arguments but 9 were given"),
])
def test_build_options_errors(vx, call, exception, message):
    error = raised(lambda: call(vx))
    assert type(error) is exception and str(error) == (message or str(error))


# ---- factories --------------------------------------------------------------------

def conversion_cases(vx):
    iv = vx.Interval(0, 1)
    return [
        (lambda: vx.from_pdf(normal, (0, 1)), "argument 'interval': 'tuple' object cannot be converted to 'Interval'"),
        (lambda: vx.from_pdf_with_options(normal, iv, None),
         "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
        (lambda: vx.from_cdf_with_options(normal, iv, None),
         "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
        (lambda: vx.from_pdf_dpdf(normal, normal, iv, options=iv),
         "argument 'options': 'Interval' object cannot be converted to 'BuildOptions'"),
        (lambda: vx.from_pdf_loc_scale(normal, iv, "0", None), "argument 'loc': must be real number, not str"),
        (lambda: vx.truncated(normal, iv, None), "argument 'trunc_interval': 'NoneType' object cannot be converted to 'Interval'"),
        (lambda: vx.from_histogram([0, 1], [1], density=None),
         "argument 'density': 'NoneType' object cannot be converted to 'PyBool'"),
        # density is converted before any item of edges is read
        (lambda: vx.from_histogram([0, "a"], [1], density=None),
         "argument 'density': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: vx.from_histogram(np.array([0.0, 1.0]), [1]),
         "argument 'edges': 'ndarray' object cannot be converted to 'Sequence'"),
        (lambda: vx.from_histogram((x for x in [0.0, 1.0]), [1]),
         "argument 'edges': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: vx.from_histogram([0.0, 1.0], {1.0}), "argument 'counts': 'set' object cannot be converted to 'Sequence'"),
        (lambda: vx.from_pdf(normal), "from_pdf() missing 1 required positional argument: 'interval'"),
        (lambda: vx.from_histogram([0, 1], [1], False, None, 5),
         "from_histogram() takes from 2 to 4 positional arguments but 5 were given"),
    ]


def test_factory_conversion_errors(vx):
    for call, message in conversion_cases(vx):
        error = raised(call)
        assert type(error) is TypeError and str(error) == message


@pytest.mark.parametrize("edges, counts, message", [
    ([0, "a"], [object()], "must be real number, not str"),  # edges are read first
    ([0, 1], ["1"], "must be real number, not str"),
    ("ab", [1], "must be real number, not str"),
])
def test_histogram_items_are_not_prefixed(vx, edges, counts, message):
    error = raised(lambda: vx.from_histogram(edges, counts))
    assert type(error) is TypeError and str(error) == message and error.__cause__ is None


def test_failed_conversion_calls_nothing(vx):
    f = Counted()
    with pytest.raises(TypeError):
        vx.truncated(f, vx.Interval(0, 1), vx.Interval(0, 1), options=1)
    assert f.calls == 0


def raises_below_half(x):
    if x < 0.5:
        raise ValueError("user failure")
    return 1.0


NORMALIZATION = "failed to normalize PDF on support"


def build_error_cases(vx):
    iv = vx.Interval(0, 1)
    return [
        (lambda: vx.from_pdf(lambda x: 0.0, iv), NORMALIZATION),
        (lambda: vx.from_pdf(lambda x: -1.0, iv), NORMALIZATION),
        (lambda: vx.from_pdf(raises_below_half, iv), NORMALIZATION),
        (lambda: vx.from_pdf(lambda x: None, iv), NORMALIZATION),
        (lambda: vx.from_pdf(lambda x: "1.0", iv), NORMALIZATION),
        (lambda: vx.from_pdf(lambda x: math.nan, iv), NORMALIZATION),
        (lambda: vx.from_pdf(None, iv), NORMALIZATION),
        (lambda: vx.from_pdf(lambda: 1.0, iv), NORMALIZATION),
        (lambda: vx.from_cdf(lambda x: 0.5, iv), NORMALIZATION),
        (lambda: vx.from_cdf(lambda x: 1 / 0, iv), NORMALIZATION),
        (lambda: vx.from_cdf_with_options(lambda x: x, iv, vx.BuildOptions.tdr("log")),
         "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"),
        (lambda: vx.from_pdf_dpdf(normal, lambda x: 1 / 0, vx.Interval(-5, 5), vx.BuildOptions.tdr("log")),
         "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"),
        (lambda: vx.from_histogram([0], []), "invalid histogram edges or counts"),
        (lambda: vx.from_histogram([0, 1, 2], [1]), "invalid histogram edges or counts"),
        (lambda: vx.from_histogram([0, 0, 1], [1, 1]), "invalid histogram edges or counts"),
        (lambda: vx.from_histogram([0, math.inf], [1]), "invalid histogram edges or counts"),
        (lambda: vx.from_histogram([0, 1], [-1]), "invalid histogram edges or counts"),
        (lambda: vx.from_histogram([0, 1, 2], [0, 0], True), NORMALIZATION),
        (lambda: vx.from_pdf_loc_scale(normal, iv, 0, 0), "scale must be finite and positive"),
        (lambda: vx.from_pdf_loc_scale(normal, iv, 0, -1), "scale must be finite and positive"),
        (lambda: vx.from_pdf_loc_scale(normal, iv, 0, math.nan), "scale must be finite and positive"),
        (lambda: vx.from_pdf_loc_scale(normal, iv, math.nan, math.inf), "scale must be finite and positive"),
        (lambda: vx.from_pdf_loc_scale(normal, iv, math.inf, 1), NON_FINITE),
        (lambda: vx.from_pdf_loc_scale(normal, iv, -math.nan, 1), NON_FINITE),
        (lambda: vx.from_pdf_loc_scale(normal, vx.Interval(0, 10), 0, 1.7e308), NON_FINITE),
        # both ends land on the same double
        (lambda: vx.from_pdf_loc_scale(normal, iv, 1e20, 1), INVALID),
        (lambda: vx.truncated(normal, iv, vx.Interval(0.5, 2)), "truncation interval must lie inside base support"),
        (lambda: vx.truncated(normal, iv, vx.Interval(-1e-300, 0.5)), "truncation interval must lie inside base support"),
        (lambda: vx.truncated(lambda x: 0.0 if x < 0.5 else 1.0, iv, vx.Interval(0, 0.4)), NORMALIZATION),
    ]


def test_build_errors(vx):
    for call, message in build_error_cases(vx):
        error = raised(call)
        assert type(error) is vx.BuildError and str(error) == message, message


@pytest.mark.parametrize("call", [
    lambda vx: vx.from_pdf_with_options(normal, vx.Interval(-5, 5), vx.BuildOptions.hermite(2**62)),
    lambda vx: vx.from_cdf_with_options(lambda x: x, vx.Interval(0, 1), vx.BuildOptions(hermite_grid_size=2**64 - 1)),
])
def test_oversized_hermite_grid_is_memory_error(vx, call):
    with pytest.raises(MemoryError):
        call(vx)


def test_supports(vx):
    iv = vx.Interval(0, 1)
    cases = [
        (vx.from_pdf(normal, iv), "Interval(0, 1)"),
        (vx.from_cdf(lambda x: x, iv), "Interval(0, 1)"),
        (vx.from_histogram((-1, 0.5, 4), range(1, 3)), "Interval(-1, 4)"),
        (vx.from_pdf_loc_scale(normal, iv, 2, 3), "Interval(2, 5)"),
        (vx.truncated(normal, vx.Interval(0, 10), vx.Interval(2, 3)), "Interval(2, 3)"),
        (vx.truncated(normal, iv, iv), "Interval(0, 1)"),
        # 0.1 * 10 rounds to 1 before -1 is added; a fused multiply-add would give 2^-54.
        (vx.from_pdf_loc_scale(normal, vx.Interval(0.1, 1), -1, 10), "Interval(0, 9)"),
    ]
    for d, text in cases:
        assert repr(d.support()) == text
        assert d.support() is not d.support()


def test_dpdf_is_used_only_by_tdr(vx):
    dpdf = Counted(lambda x: -x * normal(x))
    d = vx.from_pdf_dpdf(normal, dpdf, vx.Interval(-5, 5))
    d.sample_n(3, seed=1)
    assert dpdf.calls == 0 and not d.uses_tdr()
    assert vx.from_pdf_dpdf(normal, dpdf, vx.Interval(-5, 5), vx.BuildOptions.tdr("log")).uses_tdr()
    assert dpdf.calls > 0


def test_truncation_mass_ignores_the_options_tolerance(vx):
    # With a tolerance of 1 the distribution's own normalizer takes one
    # examination; the truncation mass still needs the 1e-10 refinement.
    loose = vx.BuildOptions(quad_tolerance=1.0)
    f = Counted()
    vx.from_pdf_with_options(f, vx.Interval(-2, 2), loose)
    loose_calls = f.calls
    f.calls = 0
    vx.from_pdf(f, vx.Interval(-2, 2))
    mass_calls = f.calls
    f.calls = 0
    vx.truncated(f, vx.Interval(-5, 5), vx.Interval(-2, 2), loose)
    assert loose_calls < 10 < mass_calls
    assert f.calls >= mass_calls


def test_distributions_release_their_callables(vx):
    f = Counted()
    base = sys.getrefcount(f)
    d = vx.from_pdf_loc_scale(f, vx.Interval(-5, 5), 1, 2)
    assert sys.getrefcount(f) == base + 1
    del d
    assert sys.getrefcount(f) == base
    # Inversion has no use for the derivative and drops it.
    d = vx.from_pdf_dpdf(f, f, vx.Interval(-5, 5))
    assert sys.getrefcount(f) == base + 1
    del d
    assert sys.getrefcount(f) == base
    with pytest.raises(vx.BuildError):
        vx.truncated(f, vx.Interval(0, 1), vx.Interval(0, 2))
    with pytest.raises(vx.BuildError):
        vx.from_pdf(lambda x: 0.0 * f(x), vx.Interval(0, 1))
    assert sys.getrefcount(f) == base
