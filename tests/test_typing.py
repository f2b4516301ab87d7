"""The installed type stubs, checked by a static type checker as an editor would use them."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

NATIVE = [
    "zel.common.vocab",
    "zel.smt.align.emalign",
    "zel.smt.align.lexone",
    "zel.smt.align.lextwo",
    "zel.smt.align._links",
    "zel.smt.align.hmm",
    "zel.smt.trans_models.records",
    "zel.smt.trans_models.tables",
]

EXAMPLE = """
    from zel.common.vocab import StringEnumerator
    from zel.smt.align import Aligner, emalign, hmm, lexone, lextwo
    from zel.smt.trans_models.records import CoOccurrence, MosesRecord, Record, TravatarRecord
    from zel.smt.trans_models.tables import MosesTable, Search, Table, TravatarTable

    words = StringEnumerator()
    word_id: int = words.str2id("house")
    conf = {"src_path": "a.src", "trg_path": "a.trg", "iteration_limit": 5}
    trained: bool = emalign.train_emalign(conf, nbest=5)
    trainers = [lexone.Model1Trainer(conf), lextwo.Model2Trainer(conf, character=True)]
    aligner = hmm.HmmAligner("a.src", "a.trg", iterations=3, agreement=False)
    entropies: list[float] = aligner.entropies(0)
    in_memory = Aligner(decoding="viterbi", threads=2)
    links: list[list[tuple[int, int]]] = in_memory.fit(["a house"], [["une", "maison"]])
    folder = Aligner.load(in_memory.save("model")).save("copy")
    record = MosesRecord("das Haus ||| the house ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2 3 1")
    line: str = record.getReversed().to_str()
    features: dict[str, float] | None = record.features
    counts = CoOccurrence(1, 2, 1)
    share: float = counts.egfp + counts.calcEGFP()
    rule = TravatarRecord('x0:NP "a" ||| x0:NP "b" ||| p=0.5 ||| 1 2 1')
    symbols: list[str] = rule.src_symbols
    table: Table = MosesTable("phrase-table.gz", trg_key=True)
    hits: Search = table.find_src("das Haus")
    table.save("index")
    reopened: MosesTable = MosesTable.open("index")
    firsts: list[Record] = [r for r in hits] + list(TravatarTable("rules.txt").find("x"))
"""

# Each line is a wrong call the checker must report.
WRONG = """
    from zel.common.vocab import StringEnumerator
    from zel.smt.align import Aligner, lextwo
    from zel.smt.trans_models.records import MosesRecord
    from zel.smt.trans_models.tables import MosesTable

    StringEnumerator().str2id(3)
    MosesRecord(42)
    MosesTable("t.txt").find_src(["das", "Haus"])
    MosesRecord().counts = "2 3 1"
    lextwo.Model2Trainer(5)
    Aligner().align_batch("a", 3)
"""


def mypy(tmp_path, *arguments):
    command = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache")]
    # Run outside the checkout, so the installed package (stubs and py.typed) is what is read.
    result = subprocess.run(
        [*command, *arguments], cwd=tmp_path, capture_output=True, text=True, check=False
    )
    return result.returncode, result.stdout


def test_stubs_and_an_example_pass(tmp_path):
    (tmp_path / "example.py").write_text(textwrap.dedent(EXAMPLE))
    packages = [argument for module in NATIVE for argument in ("-p", module)]
    code, output = mypy(tmp_path, *packages)
    assert code == 0, output
    # Strict for the caller's code: every type it gets from the stubs is precise enough.
    code, output = mypy(tmp_path, "--strict", "example.py")
    assert code == 0, output


def test_wrong_calls_are_reported(tmp_path):
    (tmp_path / "wrong.py").write_text(textwrap.dedent(WRONG))
    code, output = mypy(tmp_path, "--strict", "wrong.py")
    assert code == 1
    reported = {int(line.split(":")[1]) for line in output.splitlines() if ": error:" in line}
    assert reported == {7, 8, 9, 10, 11, 12}, output
