"""The README's Python code blocks run as written."""

import re
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_has_the_quick_start_and_the_compatibility_example():
    assert "plix.fit(" in BLOCKS[0]
    assert any("plix_wrapper.fit_zscan(" in block for block in BLOCKS)
    assert any("Model.from_function(" in block for block in BLOCKS)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_block_runs(index, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)  # the quick start writes its files here
    exec(compile(BLOCKS[index], f"README.md python block {index + 1}", "exec"), {})
    out = capsys.readouterr().out
    if index == 0:
        assert "[[Fit Statistics]]" in out
        assert (tmp_path / "my_scan.csv").exists() and (tmp_path / "my_fit.png").stat().st_size
    if "z_r" in BLOCKS[index]:
        assert float(out.split()[-1]) == pytest.approx(4.0, rel=1e-6)  # what the comment says
    if "plix.Nuisances(" in BLOCKS[index]:
        assert "[[Nuisances]]" in out and "[[Systematic budget]]" in out
