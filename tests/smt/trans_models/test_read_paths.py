"""The native whole-line readers and the field-by-field road give the same records."""

import gzip

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from shared_data import SHARED_DATA, needs_shared_data

from zel.smt.trans_models import records

SHARED = SHARED_DATA


class Text(str):
    """A line the native readers do not take whole: it goes field by field."""


class PlainMoses(records.MosesRecord):
    pass


class PlainTravatar(records.TravatarRecord):
    pass


def outcome(cls, line):
    record = cls.__new__(cls)
    try:
        cls.__init__(record, line)
        # Printed first: a plain line's points are printed from its text until they are read.
        printed = record.to_str()
        fields = (record.src, record.trg, record.features, sorted(record.aligns))
        counts = (record.counts.src, record.counts.trg, record.counts.cooc)
        # repr: NaN fields compare equal by their text.
        return repr((fields, counts, printed, record.getReversed().to_str()))
    except Exception as e:
        return type(e), str(e)


def check_alike(base, subclass, lines):
    for line in lines:
        want = outcome(base, line)
        assert outcome(base, Text(line)) == want, line
        assert outcome(subclass, line) == want, line


def real_lines(folder, pattern):
    for path in sorted((SHARED / folder).glob(pattern)):
        opener = gzip.open if path.suffix == ".gz" else open
        with opener(path, "rt", encoding="utf-8") as f:
            yield from (line.rstrip("\n") for line in f)


@needs_shared_data
def test_real_tables_read_alike():
    check_alike(records.MosesRecord, PlainMoses, real_lines("moses", "*"))
    travatar = [f"{r} ||| egfp=-0.5 p=1 ||| 3 2 1 ||| 0-0" for r in real_lines("travatar", "*")]
    check_alike(records.TravatarRecord, PlainTravatar, travatar)


spaces = st.sampled_from([" ", "  ", "\t", "\xa0", "\u3000", "\u2028"])
numbers = st.sampled_from(
    ["1", "0.5", "1e-05", "2.0", "1_0", "\uff12", "-3", "nan", "x", "", "710", "1e400"]
)


@settings(max_examples=300, deadline=None)
@given(
    st.lists(numbers, min_size=3, max_size=6),
    st.lists(numbers, min_size=2, max_size=4),
    st.lists(st.sampled_from(["0-0", "1-2", "0-10", "x-1", "2"]), max_size=3),
    spaces,
)
def test_generated_lines_read_alike(scores, counts, points, space):
    moses = " ||| ".join(
        ["das Haus", "the house", space.join(scores), space.join(points), space.join(counts)]
    )
    check_alike(records.MosesRecord, PlainMoses, [moses])
    features = space.join(
        f"{k}={v}" for k, v in zip(["egfp", "p", "w", "éé"], scores, strict=False)
    )
    travatar = " ||| ".join(
        ['x0:NP "a"', 'x0 "b"', features, space.join(counts), space.join(points)]
    )
    check_alike(records.TravatarRecord, PlainTravatar, [travatar])


@pytest.mark.parametrize("cls", [records.MosesRecord, PlainMoses])
@pytest.mark.parametrize("read_between", [False, True])
def test_second_line_keeps_zero_counts_and_replaces_points(cls, read_between):
    # A line's counts and points become objects only when read; a second line read into the
    # record must give what it gives when they were read in between.
    record = cls("a ||| b ||| 1 2 3 4 ||| 0-0 1-1 ||| 5 6 7")
    if read_between:
        assert (record.counts.src, sorted(record.aligns)) == (6.0, ["0-0", "1-1"])
    record.loadLine("c ||| d ||| 1 2 3 4 ||| 2-2 ||| 0 9 0")
    assert (record.counts.trg, record.counts.src, record.counts.cooc) == (5.0, 9.0, 7.0)
    assert record.to_str() == "c ||| d ||| 1 2 3 4 ||| 2-2 ||| 5.0 9.0 7.0"
    assert record.aligns == {"2-2"}
