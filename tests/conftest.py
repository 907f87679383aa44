import os
import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "testdata" / "pngsuite"


@pytest.fixture(scope="session")
def suite_dir():
    """The PngSuite folder beside the project; tests that need it skip without it."""
    if not (SHARED / "png").is_dir():
        pytest.skip("PngSuite test data not present")
    return SHARED


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "measures_memory: measures memory use; skipped under sanitizers and valgrind (TAVREL_SANITIZED)")


def pytest_collection_modifyitems(config, items):
    """Shadow memory, quarantine and valgrind's own allocator distort every memory figure: such tests skip there."""
    if not os.environ.get("TAVREL_SANITIZED"):
        return
    skip = pytest.mark.skip(reason="memory use is not measured under a sanitizer or valgrind")
    for item in items:
        if "measures_memory" in item.keywords:
            item.add_marker(skip)
