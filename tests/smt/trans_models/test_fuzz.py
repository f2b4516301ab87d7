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


ODD_VALUES = [
    None,
    0,
    1.5,
    "",
    "x0",
    b"x",
    [],
    ["x0", "("],
    {1: 2},
    {"fgep": object()},
    {1, 2},
    set(),
    object(),
]
FIELDS = ["src", "trg", "features", "aligns", "counts", "data"]
OPERATIONS = [
    "to_str",
    "getReversed",
    "fixOrder",
    "alignMap",
    "src_symbols",
    "srcTerms",
    "trgSymbols",
]


@settings(max_examples=300, deadline=None)
@given(
    cls=st.sampled_from([MosesRecord, TravatarRecord]),
    field=st.sampled_from(FIELDS),
    value=st.sampled_from(ODD_VALUES),
    operation=st.sampled_from(OPERATIONS),
)
def test_odd_field_values_fail_cleanly(cls, field, value, operation):
    record = cls(
        "a b ||| x0 y ||| 1 1 1 1 ||| 0-0 ||| 1 1 1"
        if cls is MosesRecord
        else 'S ( x0:NP "a" ) ||| x0 "b" ||| p=1 ||| 1 1 1 ||| 0-0'
    )
    try:
        setattr(record, field, value)
    except TypeError:
        return
    try:
        result = getattr(record, operation)
        if callable(result):
            result()
    except (*ALLOWED, AttributeError, KeyError):
        pass
