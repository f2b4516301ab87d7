import copy
import pickle

import pytest
from zel.smt.trans_models.records import CoOccurrence, Record

from zel.smt.trans_models import records

REFUSAL = r"^no default __reduce__ due to non-trivial __cinit__$"


def test_new_record_defaults():
    r = Record("ignored", key="ignored")
    assert (r.src, r.trg, r.features, r.aligns, r.data) == ("", "", {}, set(), None)
    assert (r.counts.src, r.counts.trg, r.counts.cooc) == (0, 0, 0)
    assert r.alignMap == {} and r.alignMapRev == {}
    assert r.getReversed().features == {"w": 1}
    assert not hasattr(r, "__dict__")
    with pytest.raises(AttributeError):
        r.anything = 1


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        ("src", 5, "Expected str, got int"),
        ("trg", b"x", "Expected str, got bytes"),
        ("features", [], "Expected dict, got list"),
        ("aligns", frozenset(), "Expected set, got frozenset"),
        ("counts", 5, "Cannot convert int to zel.smt.trans_models.records.CoOccurrence"),
    ],
)
def test_typed_fields(name, value, message):
    r = Record()
    before = getattr(r, name)
    with pytest.raises(TypeError) as error:
        setattr(r, name, value)
    assert str(error.value) == message
    assert getattr(r, name) is before
    setattr(r, name, None)
    assert getattr(r, name) is None


@pytest.mark.parametrize("name", ["src", "trg", "features", "counts", "aligns", "data"])
def test_deleting_sets_none(name):
    r = Record()
    delattr(r, name)
    assert getattr(r, name) is None


def test_counts_accept_subclasses_and_data_anything():
    class Counts(CoOccurrence):
        pass

    r = Record()
    r.counts = Counts(1, 2, 3)
    r.data = object()
    assert r.counts.trg == 2


@pytest.mark.parametrize(
    ("phrase", "expected"), [("a  b", ["a", "", "b"]), ("", [""]), (" a", ["", "a"])]
)
def test_symbols_and_terms_split_at_every_blank(phrase, expected):
    assert Record.getSymbols(phrase) == expected
    assert Record.getTerms(phrase) == expected


def test_sequences_come_back_as_they_are():
    words = ["a", "b"]
    assert Record.getSymbols(words, True) is words
    assert Record.getTerms(words) is words


ALIGNS = {"0-1", "0-2", "1-1"}


def test_align_maps():
    m = records.getAlignMap(ALIGNS)
    assert {k: sorted(v) for k, v in m.items()} == {0: [1, 2], 1: [1]}
    m = records.getAlignMap(ALIGNS, reverse=True)
    assert {k: sorted(v) for k, v in m.items()} == {1: [0, 1], 2: [0]}
    assert records.getAlignMap(["3-1", " 2-0 ", "3-0"]) == {3: [1, 0], 2: [0]}
    r = Record()
    r.aligns = set(ALIGNS)
    assert {k: sorted(v) for k, v in r.alignMap.items()} == {0: [1, 2], 1: [1]}


@pytest.mark.parametrize(
    ("point", "error", "message"),
    [
        ("01", ValueError, "need more than 1 value to unpack"),
        ("0-1-2", ValueError, r"too many values to unpack \(expected 2\)"),
        ("a-1", ValueError, "invalid literal for int"),
        (3, AttributeError, "split"),
    ],
)
def test_bad_points(point, error, message):
    with pytest.raises(error, match=message):
        records.getAlignMap([point])
    with pytest.raises(error, match=message):
        records.getRevAlignSet([point])


def test_rev_align_set_and_align_set():
    assert records.getRevAlignSet({"0-1", "2-0"}) == {"1-0", "0-2"}
    assert records.getRevAlignSet([" 3-01"]) == {"1-3"}
    assert records.getRevAlignSet(set()) == set()
    assert records.getAlignSet("  0-0 1-2\t1-2 ") == {"0-0", "1-2"}
    assert records.getAlignSet("") == set()


def test_get_reversed():
    r = Record()
    r.src, r.trg = "a b c", "x y"
    r.features = {"egfp": 0.5, "fgep": 0.25, "p": 1, "lm": 3, "egfl": 0.1, "fgel": 0.2}
    r.counts = CoOccurrence(4, 2, 1)
    r.aligns = {"0-1", "2-0"}
    rev = r.getReversed()
    assert (rev.src, rev.trg) == ("x y", "a b c")
    assert rev.features == {"fgep": 0.5, "fgel": 0.1, "egfp": 0.25, "egfl": 0.2, "p": 1, "w": 3}
    assert (rev.counts.src, rev.counts.trg, rev.counts.cooc) == (2, 4, 1)
    assert rev.aligns == {"1-0", "0-2"}
    assert r.src == "a b c" and r.aligns == {"0-1", "2-0"}, "the original is unchanged"


@pytest.mark.parametrize(
    ("field", "message"),
    [
        ("aligns", "not iterable"),
        ("features", "not iterable"),
        ("src", "len"),
        ("counts", "NoneType"),
    ],
)
def test_get_reversed_with_missing_fields(field, message):
    r = Record()
    setattr(r, field, None)
    with pytest.raises(TypeError, match=message):
        r.getReversed()


@pytest.mark.parametrize("how", [pickle.dumps, copy.copy])
def test_pickling_refused(how):
    with pytest.raises(TypeError, match=REFUSAL):
        how(Record())


def test_overrides_reach_the_derived_attributes():
    class Custom(Record):
        def getAlignMap(self):
            return "mine"

        @staticmethod
        def getSymbols(phrase, hiero=False):
            return ["sym", phrase]

        @staticmethod
        def getTerms(phrase):
            return ["t1", "t2", "t3", "t4"]

    c = Custom()
    c.src = "a"
    assert c.alignMap == "mine"
    assert c.src_symbols == ["sym", "a"] and c.trgSymbols == ["sym", ""]
    rev = c.getReversed()
    assert type(rev) is Custom and rev.features == {"w": 4}


def test_counts_overrides_are_reached_by_records():
    from zel.smt.trans_models.records import MosesRecord, TravatarRecord

    calls = []

    class Counts(CoOccurrence):
        def round(self, digits=6):
            calls.append("round")

        def getReversed(self):
            calls.append("getReversed")
            return Counts(9, 9, 9)

        def setCounts(self, src=None, trg=None, cooc=None):
            calls.append(("setCounts", src, trg, cooc))

    for cls, line in (
        (MosesRecord, "a ||| b ||| 1 1 1 1 ||| 0-0 ||| 2 3 4"),
        (TravatarRecord, "a ||| b ||| p=1 ||| 4 3 2 ||| 0-0"),
    ):
        calls.clear()
        r = cls()
        r.counts = Counts()
        r.loadLine(line)
        r.to_str()
        rev = r.getReversed()
        assert calls == [("setCounts", 3, 2, 4), "round", "getReversed"]
        assert rev.counts.src == 9
    # Counts beyond 2**53 reach the override as the exact integers their texts give.
    calls.clear()
    r = MosesRecord()
    r.counts = Counts()
    r.loadLine("a ||| b ||| 1 1 1 1 ||| 0-0 ||| 9007199254740993 2 1e16")
    assert calls == [("setCounts", 2, 9007199254740993, 10**16)]
