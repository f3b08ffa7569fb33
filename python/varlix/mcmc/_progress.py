"""The progress bar of a run."""
from __future__ import annotations

import sys
import threading


def _progress_wanted(progress) -> bool:
    if progress is None:
        return bool(getattr(sys.stderr, "isatty", lambda: False)())
    return bool(progress)


class _ProgressBar:
    """A tqdm bar of iterations over all chains, with divergences and step
    size; a no-op when off or when tqdm is missing."""

    def __init__(self, show: bool, total: int, desc: str = "nuts"):
        self._bar = None
        self._lock = threading.Lock()
        self._divergent = {}
        if show:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, unit="it", desc=desc, leave=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._bar is not None:
            self._bar.close()
        return False

    def update(self, n, out, done):
        if self._bar is None:
            return
        with self._lock:
            self._divergent[id(out)] = int(out["diverging"][:, :done].sum())
            step = float(out["step_size"][0, done - 1])
            self._bar.set_postfix(divergences=sum(self._divergent.values()), step=f"{step:.3g}", refresh=False)
            self._bar.update(n)
