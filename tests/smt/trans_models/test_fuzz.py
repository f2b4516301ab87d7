from hypothesis import given, settings
from hypothesis import strategies as st
from zel.smt.trans_models.records import MosesRecord, TravatarRecord

ALLOWED = (IndexError, ValueError, OverflowError, TypeError)

pieces = st.sampled_from(
    [
        "|||",
        " ",
        "a",
        '"w"',
        "x0",
        "x1:NP",
        "(",
        ")",
        "@",
        "0-1",
        "1e5",
        "-0.5",
        "=",
        "p=1",
        "egfp=-1",
        "nan",
        "inf",
        "\t",
        "é",
        "x",
        "",
    ]
)
lines = st.lists(pieces, max_size=30).map("".join)
decoded = st.binary(max_size=80).map(lambda b: b.decode("utf-8", "replace"))


def exercise(cls, line):
    try:
        record = cls(line)
    except ALLOWED:
        return
    try:
        text = record.to_str()
    except ALLOWED:
        return
    assert isinstance(text, str)
    try:
        record.getReversed()
    except ALLOWED:
        pass


@settings(max_examples=400, deadline=None)
@given(st.one_of(lines, decoded))
def test_moses_lines_load_or_fail_cleanly(line):
    exercise(MosesRecord, line)


@settings(max_examples=400, deadline=None)
@given(st.one_of(lines, decoded))
def test_travatar_lines_load_or_fail_cleanly(line):
    exercise(TravatarRecord, line)
    try:
        record = TravatarRecord(line)
        record.fixOrder()
        record.syncTags()
    except (*ALLOWED, KeyError, AttributeError):
        pass
