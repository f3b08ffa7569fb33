"""Cycles through user callables: a sampler stored on the object whose bound
method it samples is freed by the cycle collector, and collections at any
moment leave live samplers intact."""
import gc
import sys
import threading
import tracemalloc
import weakref

import pytest


def box(vx):
    return vx.HyperRect([0.0, 0.0], [1.0, 1.0])


class Model:
    """The usual pattern: model -> sampler -> bound method -> model."""

    def __init__(self, vx, make, on_call=None):
        self.on_call = on_call
        self.sampler = make(vx, self)

    def called(self):
        if self.on_call is not None:
            self.on_call()

    def density(self, *_):
        self.called()
        return 1.0

    def slope(self, _):
        return 0.0

    def coordinate(self, _i, _x):
        self.called()
        return 0.5


# (make(vx, model) -> a sampler on the model's bound methods, a call that uses it)
SAMPLERS = {
    "from_pdf": (lambda vx, m: vx.from_pdf(m.density, vx.Interval(0, 1)), lambda s: s.cdf(0.5)),
    "from_pdf_dpdf": (lambda vx, m: vx.from_pdf_dpdf(m.density, m.slope, vx.Interval(0, 1)), lambda s: s.mean()),
    "rejection_sampler": (lambda vx, m: vx.rejection_sampler(m.density, box(vx), 1.0), lambda s: s.sample()),
    "metropolis_hastings": (lambda vx, m: vx.metropolis_hastings(m.density, box(vx), burn_in=0, adapt_steps=2),
                            lambda s: (s.init(), s.sample_n(3))),
    "hmc_sampler": (lambda vx, m: vx.hmc_sampler(m.density, box(vx), leapfrog_steps=2),
                    lambda s: (s.init(), s.sample())),
    "gibbs_sampler": (lambda vx, m: vx.gibbs_sampler(m.coordinate, box(vx), [0.5, 0.5]), lambda s: s.sample()),
    "conditional_factorization_sampler": (lambda vx, m: vx.conditional_factorization_sampler(m.coordinate, 2),
                                          lambda s: s.sample()),
    "cdf_mc_estimator": (lambda vx, m: vx.cdf_mc_estimator(m.density, box(vx), 10, 10),
                         lambda s: s.cdf([0.5, 0.5])),
}
THREAD_BOUND = {
    "metropolis_hastings": "PyMetropolisHastings",
    "hmc_sampler": "PyHmcSampler",
    "gibbs_sampler": "PyGibbsSampler",
    "cdf_mc_estimator": "PyCdfMcEstimator",
}


@pytest.fixture
def collect_by_hand():
    """Collections run only where the test asks for them."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.mark.parametrize("name", SAMPLERS)
def test_cycle_through_a_bound_method_is_collected(vx, collect_by_hand, name):
    make, use = SAMPLERS[name]
    model = Model(vx, make)
    use(model.sampler)
    # Exactly the references the sampler owns: one per callable it keeps,
    # however many copies of the adaptor its core holds (the derivative of
    # from_pdf_dpdf serves the build only).
    referents = gc.get_referents(model.sampler)
    assert referents[0] is type(model.sampler)
    assert [(r.__self__, r.__func__) for r in referents[1:]] == [(model, referents[1].__func__)]
    method = referents[1]
    alive = weakref.ref(model)
    del model, referents
    # Held from outside through the callable, the cycle is live and intact.
    gc.collect()
    assert alive() is not None
    use(alive().sampler)
    del method
    assert alive() is not None  # only the collector can free it
    gc.collect()
    assert alive() is None


def test_cycles_made_in_a_loop_do_not_accumulate(vx):
    def churn():
        for _ in range(30):
            for make, _use in SAMPLERS.values():
                Model(vx, make)
        gc.collect()

    churn()  # caches and first-use allocations
    tracemalloc.start()
    try:
        objects = len(gc.get_objects())
        memory, _ = tracemalloc.get_traced_memory()
        for _ in range(3):
            churn()
        grown = tracemalloc.get_traced_memory()[0] - memory
    finally:
        tracemalloc.stop()
    # 720 leaked models would be thousands of objects and well over 100 kB.
    assert len(gc.get_objects()) - objects < 50
    assert grown < 32_000


@pytest.mark.parametrize("name", SAMPLERS)
def test_collections_while_sampling(vx, name):
    make, use = SAMPLERS[name]
    calls = [0]

    def churn():
        # More garbage cycles of the same class, collected in the middle of
        # a call into the sampler that is running.
        calls[0] += 1
        if calls[0] % 3 == 0:
            Model(vx, make)
            gc.collect()

    sampler = Model(vx, make, on_call=churn).sampler  # the model lives only through its sampler
    while calls[0] < 12:
        use(sampler)


@pytest.mark.parametrize("name", ["from_pdf", "metropolis_hastings"])
def test_a_cleared_instance_refuses_calls(vx, probe, name):
    make, use = SAMPLERS[name]
    attempts = []

    def clear_own_sampler():
        # A running method borrows the instance: clearing it must wait.
        attempts.append(probe.gc_clear(model.sampler))

    model = Model(vx, make)
    alive = weakref.ref(model)
    sampler = model.sampler
    model.on_call = clear_own_sampler
    use(sampler)
    assert attempts
    model.on_call = None
    use(sampler)
    del model
    probe.gc_clear(sampler)  # as a finalizer might meet it in a collection
    assert alive() is None  # the cycle's reference went with the contents
    with pytest.raises(RuntimeError, match=f"^{type(sampler).__name__} was cleared by the garbage collector$"):
        use(sampler)
    probe.gc_clear(sampler)  # nothing left to release
    del sampler  # nor does deallocation release it again


@pytest.mark.parametrize("name", THREAD_BOUND)
def test_thread_bound_cycle_collected_on_another_thread(vx, collect_by_hand, monkeypatch, name):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    class Local(Model):
        pass

    Local(vx, SAMPLERS[name][0])
    thread = threading.Thread(target=gc.collect)
    thread.start()
    thread.join()
    assert [str(r.exc_value) for r in reported] == [
        f"_varlix::multivar::{THREAD_BOUND[name]} is unsendable, but is being dropped on another thread"]
    # Its contents are leaked, not released there: the callable still holds the model.
    assert [type(o) for o in gc.get_objects() if type(o) is Local] == [Local]
