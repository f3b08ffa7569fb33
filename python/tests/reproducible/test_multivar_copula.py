"""GaussianCopula and gaussian_copula."""
import math

import pytest

NAN = float("nan")
INF = float("inf")


def identity(u):
    return u


def phi(y):
    """The library's normal CDF (the erfcc fit of Numerical Recipes), in the
    same order of operations, so that values can be compared bit for bit."""
    b = y / 1.4142135623730951
    t = 1 / (1 + 0.5 * abs(b))
    t2 = t * t
    t3, t4 = t * t2, t2 * t2
    powers = [t, t2, t3, t4, t * t4, t2 * t4, t3 * t4, t4 * t4, t * t4 * t4]
    coefficients = [1.00002368, 0.37409196, 0.09678418, -0.18628806, 0.27886807, -1.13520398, 1.48851587,
                    -0.82215223, 0.17087277]
    a = -1.26551223 - b * b
    for c, p in zip(coefficients, powers):
        a = a + c * p
    e = 1 - math.exp(a) * t
    return ((-e if b < 0 else e) + 1) * 0.5


def phi_inverse(u):
    lo, hi = -10.0, 10.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if phi(mid) < u else (lo, mid)
    return 0.5 * (lo + hi)


def test_phi_mirror_matches_the_known_values():
    assert phi(0.0) == 0.49999998499999965
    assert phi(1.0) == 0.8413447386043252
    assert phi(-1.0) == 0.15865526139567476
    assert (phi(10.0), phi(-10.0)) == (1.0, 0.0)


@pytest.mark.parametrize("corr", [
    [], [[1.0, 0.5]], [[1, 2], [2, 1]], [[0.0]], [[-1.0]], [[NAN]], [[INF]], [[1.0, 0.0], [INF, 1.0]],
    [[1.0, 0.0], [0.5]], [[1.0], [0.5, 1.0]], [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]],
])
def test_invalid_correlation(vx, corr):
    with pytest.raises(ValueError) as error:
        vx.gaussian_copula(corr)
    assert type(error.value) is ValueError and error.value.args == ("InvalidCorrelation",)


def test_only_the_lower_triangle_is_read(vx):
    upper_ignored = vx.gaussian_copula([[1.0, 99.0], [0.5, 1.0]])
    symmetric = vx.gaussian_copula(((1, 0.5), (0.5, 1)))
    assert upper_ignored.dim() == 2 and type(upper_ignored.dim()) is int
    for seed in range(5):
        assert upper_ignored.sample([identity, identity], seed=seed) == symmetric.sample([identity] * 2, seed=seed)


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_cholesky_factor_seen_through_the_uniforms(vx, seed):
    # The identity matrix passes the seeded normals through: u_i = Phi(z_i).
    z0, z1 = (phi_inverse(u) for u in vx.gaussian_copula([[1.0, 0.0], [0.0, 1.0]]).sample([identity] * 2, seed=seed))
    # L = [[1, 0], [0.5, 0.8660254037844386]].
    v0, v1 = vx.gaussian_copula([[1.0, 99.0], [0.5, 1.0]]).sample([identity] * 2, seed=seed)
    assert v0 == pytest.approx(phi(z0), abs=1e-12)
    assert v1 == pytest.approx(phi(0.5 * z0 + 0.8660254037844386 * z1), abs=1e-12)
    # L = [[2]]: u = Phi(2 z).
    (w,) = vx.gaussian_copula([[4.0]]).sample([identity], seed=seed)
    assert w == pytest.approx(phi(2.0 * z0), abs=1e-12)


@pytest.mark.parametrize("ppf", [lambda u: 1 / 0, lambda u: None, lambda u: "0.5", 3, lambda: 0.5])
def test_failing_quantile_is_an_inversion_failure(vx, ppf):
    with pytest.raises(vx.SampleError) as error:
        vx.gaussian_copula([[1.0]]).sample([ppf])
    assert error.value.args == ("failed to invert CDF",)


def test_first_failing_quantile_ends_the_point(vx):
    calls = []

    def record(name, value):
        def ppf(u):
            calls.append((name, u))
            return value(u)
        return ppf

    copula = vx.gaussian_copula([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]])
    ppfs = [record("a", identity), record("b", lambda u: {}[u]), record("c", identity)]
    with pytest.raises(vx.SampleError, match=r"^failed to invert CDF$"):
        copula.sample(ppfs, seed=1)
    assert [name for name, _ in calls] == ["a", "b"]
    assert all(type(u) is float and 0.0 < u < 1.0 for _, u in calls)


def test_nan_and_infinite_quantiles_pass(vx):
    point = vx.gaussian_copula([[1.0, 0.0], [0.0, 1.0]]).sample((lambda u: NAN, lambda u: -INF))
    assert math.isnan(point[0]) and point[1] == -INF


@pytest.mark.parametrize("count", [0, 1, 3])
def test_wrong_number_of_quantiles(vx, count):
    calls = []
    ppfs = [lambda u: calls.append(u) or u] * count
    with pytest.raises(vx.SampleError) as error:
        vx.gaussian_copula([[1.0, 0.0], [0.0, 1.0]]).sample(ppfs)
    assert error.value.args == ("mcmc sampler failed",)
    assert calls == []


def test_seeded_points_repeat(vx):
    copula = vx.gaussian_copula([[1.0, -0.3], [-0.3, 2.0]])
    ppfs = [identity, lambda u: -math.log1p(-u)]
    first = copula.sample(ppfs, seed=7)
    assert copula.sample(ppfs, seed=7) == first
    assert copula.sample(ppfs, seed=8) != first
    unseeded = copula.sample(ppfs, seed=None)
    assert len(unseeded) == 2 and 0.0 < unseeded[0] < 1.0 and unseeded[1] > 0.0
