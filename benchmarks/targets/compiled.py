"""cfunc forms of a target's njit log-density and gradient."""
from numba import carray, cfunc, types

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
