"""cfunc forms of a target's njit log-density and gradient, and the row kernels of its loops."""
from numba import carray, cfunc, njit, types

LOGP = types.double(types.intc, types.CPointer(types.double))
LOGP_GRAD = types.double(types.intc, types.CPointer(types.double), types.CPointer(types.double))


def forms(logp, logp_grad) -> dict:
    """njit logp(x), logp_grad(x, g) and their cfuncs (compiled here)."""

    @cfunc(LOGP)
    def c_logp(n, x):
        return logp(carray(x, (n,)))

    @cfunc(LOGP_GRAD)
    def c_logp_grad(n, x, g):
        return logp_grad(carray(x, (n,)), carray(g, (n,)))

    return {"logp": logp, "logp_grad": logp_grad, "cfunc_logp": c_logp, "cfunc_logp_grad": c_logp_grad}


# Reassociation lets the compiler vectorize a row's sums, as BLAS does for
# the NumPy forms; only in these kernels, so that a log-density's value does
# not depend on whether its gradient is asked for. NaN and inf keep their
# meaning: a diverging trajectory reaches them.
_ROW_MATH = {"reassoc", "contract", "nsz"}


@njit(fastmath=_ROW_MATH)
def row_dot(A, i, x):
    """A[i, :p] @ x[:p], p the number of columns of A."""
    s = 0.0
    for k in range(A.shape[1]):
        s += A[i, k] * x[k]
    return s


@njit(fastmath=_ROW_MATH)
def add_row(g, A, i, r):
    """g[:p] += A[i, :p] * r."""
    for k in range(A.shape[1]):
        g[k] += A[i, k] * r
