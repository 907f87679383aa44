"""Every kept input that once broke something opens with its recorded outcome."""
import json
import pathlib

import pytest

from Vorlant.tavrel_ext import Tavrel

HERE = pathlib.Path(__file__).parent / "regressions"
CASES = json.loads((HERE / "cases.json").read_text())


def test_every_kept_input_is_listed():
    assert sorted(p.name for p in HERE.iterdir() if p.suffix in {".png", ".bmp"}) == sorted(c["file"] for c in CASES)


@pytest.mark.parametrize("case", CASES, ids=[c["file"] for c in CASES])
def test_regression_input(case, capsys):
    data = (HERE / case["file"]).read_bytes()
    try:
        Tavrel.open(data)
        outcome = ["ok", ""]
    except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
        outcome = [type(e).__name__, str(e)]
    assert outcome == case["outcome"], case["broke"]
