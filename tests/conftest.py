import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "testdata" / "pngsuite"


@pytest.fixture(scope="session")
def suite_dir():
    """The PngSuite folder beside the project; tests that need it skip without it."""
    if not (SHARED / "png").is_dir():
        pytest.skip("PngSuite test data not present")
    return SHARED
