"""The module frame: attributes, exception classes, class properties, initialization."""
import os
import subprocess
import sys
import textwrap

import pytest

# Every public attribute, in registration order.
REGISTRATION_ORDER = [
    "BuildError", "SampleError",
    "Interval", "BuildOptions", "ContinuousDistribution", "from_pdf", "from_pdf_with_options",
    "from_pdf_dpdf", "from_cdf", "from_cdf_with_options", "from_histogram", "from_pdf_loc_scale",
    "truncated",
    "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator", "rejection_sampler",
    "metropolis_hastings", "hmc_sampler", "gibbs_sampler", "conditional_factorization_sampler",
    "gaussian_copula", "cdf_mc_estimator",
]


def test_module_identity(vx):
    assert vx.__name__ == "_varlix"
    assert vx.__doc__ == ""


def test_registration_order(vx):
    public = [name for name in vars(vx) if not name.startswith("__")]
    assert public == REGISTRATION_ORDER


@pytest.mark.parametrize("attribute, class_name", [("BuildError", "BuildErrorPy"), ("SampleError", "SampleErrorPy")])
def test_exception_classes(vx, attribute, class_name):
    cls = getattr(vx, attribute)
    assert cls.__name__ == class_name
    assert cls.__qualname__ == class_name
    assert cls.__module__ == "_varlix"
    assert cls.__bases__ == (RuntimeError,)
    assert cls.__doc__ is None
    assert not hasattr(vx, class_name)


def test_core_errors_carry_one_text_argument(vx):
    with pytest.raises(vx.BuildError) as build:
        vx.from_pmf([], [])
    assert build.value.args == ("discrete distribution has no support points",)
    with pytest.raises(vx.SampleError) as sample:
        vx.from_pmf([1.0], [1.0]).ppf(1.0)
    assert sample.value.args == ("quantile u=1 not in (0, 1)",)
    assert isinstance(sample.value, RuntimeError)


def test_class_is_final_without_dict_or_weakrefs(vx):
    cls = vx.DiscreteDistribution
    assert cls.__module__ == "_varlix"
    assert cls.__name__ == "DiscreteDistribution"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    d = vx.from_pmf([1.0], [1.0])
    assert not hasattr(d, "__dict__")
    with pytest.raises(AttributeError):
        d.extra = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(d)
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("args", [(), ([1.0], [1.0])])
def test_no_constructor(vx, args):
    with pytest.raises(TypeError, match=r"^No constructor defined for DiscreteDistribution$"):
        vx.DiscreteDistribution(*args)


def test_second_initialization_is_refused():
    script = textwrap.dedent("""
        import importlib, sys
        import _varlix
        del sys.modules["_varlix"]
        try:
            importlib.import_module("_varlix")
        except ImportError as error:
            print("refused:", error)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ, check=True)
    assert out.stdout.startswith("refused: ")


@pytest.mark.parametrize("text, expected", [
    ("LOG", "Log"), ("log", "Log"), ("Inv_Sqrt", "InvSqrt"), ("INV-SQRT", "InvSqrt"), ("InvSqrt", "InvSqrt"),
])
def test_tdr_transform_names(probe, text, expected):
    assert probe.tdr_transform(text) == expected


@pytest.mark.parametrize("text, shown", [
    ("sqrt", "sqrt"), (" log", " log"), ("LOG ", "log "), ("INV_SQRTX", "inv_sqrtx"), ("", ""), ("É", "É"),
])
def test_tdr_transform_refused(probe, text, shown):
    with pytest.raises(ValueError) as error:
        probe.tdr_transform(text)
    assert str(error.value) == f"unknown TDR transform '{shown}', expected 'log' or 'inv_sqrt'"


@pytest.mark.parametrize("allocation, exception, text", [
    (True, MemoryError, ""), (False, SystemError, "internal fault in _varlix_testing"),
])
def test_cpp_exceptions_stop_at_the_boundary(probe, allocation, exception, text):
    with pytest.raises(exception) as error:
        probe.throw_cpp(allocation)
    assert str(error.value) == text
