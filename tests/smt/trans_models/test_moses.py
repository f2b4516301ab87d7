import gzip
import sys

import pytest
from shared_data import SHARED_DATA, needs_shared_data
from zel.smt.trans_models.records import MosesRecord

from zel.smt.trans_models import records

DATA = SHARED_DATA / "moses"
LINE = "das Haus ||| the house ||| 0.5 1.0 0.25 1e-05 2.718 ||| 1-1 0-0 ||| 2 3 1"


@pytest.mark.parametrize("line", [LINE, LINE.replace(" ||| ", "|||")])
def test_reads_and_prints_a_line(line):
    r = MosesRecord(line)
    assert (r.src, r.trg) == ("das Haus", "the house")
    assert r.features == {"fgep": 0.5, "fgel": 1, "egfp": 0.25, "egfl": 1e-05}
    assert type(r.features["fgel"]) is int
    assert r.aligns == {"0-0", "1-1"}
    assert (r.counts.trg, r.counts.src, r.counts.cooc) == (2, 3, 1)
    assert r.delim == "|||"
    assert r.to_str() == "das Haus ||| the house ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2.0 3.0 1.0"
    assert r.to_str("\t") == "das Haus\tthe house\t0.5 1 0.25 1e-05\t0-0 1-1\t2.0 3.0 1.0"


def test_phrases_are_interned():
    a, b = MosesRecord(LINE), MosesRecord(LINE)
    assert a.src is b.src and a.trg is b.trg


def test_empty_record_and_empty_line():
    r = MosesRecord()
    assert (r.src, r.trg, r.features, r.aligns, r.delim) == ("", "", {}, set(), "|||")
    r = MosesRecord(LINE, delim="|||")
    r.loadLine("")
    assert r.src == "das Haus"
    r.extra = "instances have a dictionary"
    assert r.extra


def test_zero_count_leaves_the_stored_one():
    r = MosesRecord("a ||| b ||| 1 1 1 1 ||| ||| 0 3 1")
    assert (r.counts.trg, r.counts.src, r.counts.cooc) == (0, 3, 1)


@pytest.mark.parametrize(
    ("line", "assigned"),
    [
        ("a ||| b ||| 1 1 1 1 ||| 0-0", ["src", "trg", "features", "aligns"]),
        ("a ||| b ||| 1 1 1 ||| 0-0 ||| 1 1 1", ["src", "trg"]),
        ("a ||| b ||| 1 1 1 1 ||| 0-0 ||| 1 1", ["src", "trg", "features", "aligns"]),
    ],
)
def test_short_lines_fail_after_the_fields_before(line, assigned):
    r = MosesRecord()
    with pytest.raises(IndexError):
        r.loadLine(line)
    assert r.src == "a"
    assert ("features" in assigned) == (r.features != {})


@pytest.mark.parametrize(
    ("score", "error"), [("x", ValueError), ("inf", OverflowError), ("nan", ValueError)]
)
def test_bad_scores(score, error):
    with pytest.raises(error):
        MosesRecord(f"a ||| b ||| {score} 1 1 1 ||| ||| 1 1 1")


@pytest.mark.parametrize(
    ("value", "margin", "expected"),
    [
        ("2.5", 0, 2.5),
        (2.5, 0.6, 2),
        ("3.0000001", 0.001, 3),
        ("-0.0", 0, 0),
        ("1.0", 0, 1),
        ("1", 0, 1),
        (1.0, 0, 1),
        ("0.5", 0, 0.5),
        ("2.004", 0.01, 2),
        (b"7", 0, 7),
        ("1e20", 0, 10**20),
    ],
)
def test_get_number(value, margin, expected):
    result = records.getNumber(value, margin)
    assert result == expected and type(result) is type(expected)


def test_feature_and_count_fields():
    assert records.getStrMosesFeatures({}) == "0 0 0 0"
    assert records.getStrMosesFeatures({"egfp": 0.1, "fgep": 2}) == "2 0 0.1 0"
    assert records.getCounts(" 1.5599e+06  2 0.5") == [1559900, 2, 0.5]
    with pytest.raises(IndexError):
        records.getMosesFeatures("1 2 3")
    keys = list(records.getMosesFeatures("1 2 3 4")) + list(MosesRecord(LINE).features)
    assert all(k is sys.intern(k) for k in keys), "feature keys are interned"


def test_to_str_arguments_and_rounding():
    r = MosesRecord(LINE)
    r.counts.src = 0.1234567
    assert r.to_str().endswith("||| 2.0 0.12345699965953827 1.0")
    with pytest.raises(TypeError, match="descriptor 'join' requires a 'str' object"):
        r.to_str(None)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        r.to_str(5)
    r.counts = None
    with pytest.raises(TypeError):
        r.to_str()
    with pytest.raises(TypeError):
        r.loadLine(LINE)


def test_subclass_overrides_are_reached():
    class Lower(MosesRecord):
        def loadLine(self, line, delim="|||"):
            super().loadLine(line.lower(), delim)

        def to_str(self, s=" ||| "):
            return "custom"

    r = Lower(LINE.upper().replace("E-05", "e-05"))
    assert r.src == "das haus"
    assert r.to_str() == "custom"


def table_lines(name):
    opener = gzip.open if name.endswith(".gz") else open
    with opener(DATA / name, "rt", encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f]


@needs_shared_data
@pytest.mark.parametrize(
    "name", ["multimodel-model2.phrase-table.gz", "phrase.2fac.phrase-table.gz"]
)
def test_real_tables_round_trip(name):
    lines = table_lines(name)
    assert len(lines) > 1000
    for line in lines:
        r = MosesRecord(line)
        again = MosesRecord(r.to_str())
        assert (again.src, again.trg, again.features, again.aligns) == (
            r.src,
            r.trg,
            r.features,
            r.aligns,
        )
        assert (again.counts.src, again.counts.trg, again.counts.cooc) == (
            r.counts.src,
            r.counts.trg,
            r.counts.cooc,
        )
        back = r.getReversed().getReversed()
        assert (back.src, back.trg, back.aligns) == (r.src, r.trg, r.aligns)
        assert (back.counts.src, back.counts.trg, back.counts.cooc) == (
            r.counts.src,
            r.counts.trg,
            r.counts.cooc,
        )


@needs_shared_data
@pytest.mark.parametrize(
    "name",
    [
        "ptable-with-alignment.old-format.phrase-table.gz",
        "sparse-phrase-table.gz",
        "hierarchical.rule-table.txt",
        "target-syntax.rule-table.txt",
    ],
)
def test_other_formats_fail_on_missing_fields(name):
    for line in table_lines(name):
        r = MosesRecord()
        with pytest.raises(IndexError, match="list index out of range"):
            r.loadLine(line)
        assert r.src == line.split("|||")[0].strip()
