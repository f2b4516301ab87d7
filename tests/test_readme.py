"""The README's Python example runs as written, on the corpus that ships with the project."""

import re
import shutil
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_the_python_example_runs_as_written(tmp_path, monkeypatch, capsys):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    run, in_memory = re.findall(r"```python\n(.*?)```", text, re.S)[:2]
    shutil.copytree(ROOT / "data" / "toy", tmp_path / "data" / "toy")
    monkeypatch.chdir(tmp_path)
    exec(compile(run, "README.md", "exec"), {})
    printed = capsys.readouterr().out
    aer = float(re.match(r"AER (\S+), precision", printed).group(1))
    assert 0.0 <= aer < 0.1, printed
    assert (tmp_path / "out" / "both" / "links.txt").read_text().count("\n") == 3000
    names = {}
    exec(compile(in_memory, "README.md", "exec"), names)
    assert len(names["links"]) == 3000
    assert capsys.readouterr().out.startswith("[(0, 0, 0.99")
