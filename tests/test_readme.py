"""The README's Python example runs as written, on the corpus that ships with the project."""

import re
import shutil
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_the_python_example_runs_as_written(tmp_path, monkeypatch, capsys):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    example = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    shutil.copytree(ROOT / "data" / "toy", tmp_path / "data" / "toy")
    monkeypatch.chdir(tmp_path)
    exec(compile(example, "README.md", "exec"), {})
    printed = capsys.readouterr().out
    aer = float(re.match(r"AER (\S+), precision", printed).group(1))
    assert 0.0 <= aer < 0.1, printed
    assert (tmp_path / "out" / "both" / "links.txt").read_text().count("\n") == 3000
