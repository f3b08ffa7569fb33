"""The suite runs against whichever _varlix comes first on sys.path: the
installed package, or a development build when PYTHONPATH points at its
build directory (for example build-binding/python). The probe module
_varlix_testing exists only in development builds; tests that need it are
skipped elsewhere."""
import pytest

import _varlix


def pytest_report_header(config):
    return f"_varlix from {_varlix.__file__}"


@pytest.fixture(scope="session")
def vx():
    return _varlix


@pytest.fixture(scope="session")
def probe():
    return pytest.importorskip("_varlix_testing", reason="the probe module is built only with VARLIX_BUILD_TESTS")


@pytest.fixture(scope="session")
def probe_or_none():
    try:
        import _varlix_testing
    except ImportError:
        return None
    return _varlix_testing
