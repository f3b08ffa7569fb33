"""The one parser of compiled user functions (numba cfunc, LowLevelCallable),
for the one-dimensional signatures and for a log-density's."""
import pytest

from varlix._functions import compiled_function

numba = pytest.importorskip("numba")
scipy = pytest.importorskip("scipy")

ONE_D = ("double (double)", "double (double, void *)")
LOG_DENSITY = ("double (int, double *)", "double (int, const double *)", "double (int, double *, void *)",
               "double (int, const double *, void *)")


@numba.cfunc("float64(float64)")
def square(x):
    return x * x


@numba.cfunc("float64(intc, CPointer(float64))")
def log_density(n, x):
    return -x[0] * x[0]


@numba.cfunc("float64(intc, CPointer(float64), voidptr)")
def log_density_with_data(n, x, data):
    return -x[0] * x[0]


@pytest.mark.parametrize("f, accepted, signature", [
    (square, ONE_D, "double (double)"),
    (log_density, LOG_DENSITY, "double (int, double *)"),
    (log_density_with_data, LOG_DENSITY, "double (int, double *, void *)"),
])
def test_a_cfunc_becomes_a_capsule_named_by_its_signature(f, accepted, signature):
    compiled = compiled_function(f, accepted)
    assert compiled.signature == signature and compiled.user_data is None
    assert type(compiled.capsule).__name__ == "PyCapsule"
    # Through SciPy's own reading of capsules: the same function, by name.
    llc = scipy.LowLevelCallable(compiled.capsule)
    assert llc.signature == signature
    assert compiled_function(llc, accepted).signature == signature


def test_a_wrong_signature_is_named():
    with pytest.raises(ValueError, match=r"^a compiled log-density must have the signature "
                                         r"'double \(int, double \*\)' or 'double \(int, double \*, void \*\)'$"):
        compiled_function(square, LOG_DENSITY, shown=(LOG_DENSITY[0], LOG_DENSITY[2]),
                          cfunc_label="a compiled log-density")
    with pytest.raises(ValueError, match=r"a compiled function must have the signature 'double \(double\)' or"):
        compiled_function(log_density, ONE_D)
    llc = scipy.LowLevelCallable(square.ctypes)
    with pytest.raises(ValueError, match=r"^a LowLevelCallable log-density must have .*, not 'double \(double\)'$"):
        compiled_function(llc, LOG_DENSITY, low_level_label="a LowLevelCallable log-density")
