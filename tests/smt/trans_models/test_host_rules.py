"""White space, characters and numbers follow the host's own str and number rules."""

import math
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zel.common.numbers import toNumber
from zel.smt.trans_models import records, tables

# Every character the host's str.isspace() accepts, and some that look alike but are not.
SPACES = [chr(c) for c in range(0x110000) if chr(c).isspace()]
NOT_SPACES = ["\u200b", "\ufeff", "_", "é", "名", "\U0001f600"]
spaces = st.text(st.sampled_from(SPACES), min_size=1, max_size=3)
words = st.text(st.sampled_from(["a", "0", "-", "é", "名", "\U0001f600", *NOT_SPACES]), min_size=1)
# Number texts the host reads: plain ones, and those only the host's int()/float() take.
numbers = st.one_of(
    st.integers(-(10**25), 10**25).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.sampled_from(
        ["1_0", "\uff11\uff12", "\u0661", "+7", "-0", "1e400", "-1e400", "2.50", " 3 ", "0x10"]
    ),
)


def joined(pieces, separators):
    return "".join(p + s for p, s in zip(pieces, separators, strict=False))


@settings(max_examples=200, deadline=None)
@given(st.lists(words, max_size=6), st.lists(spaces, min_size=7, max_size=7), spaces)
def test_fields_split_and_strip_as_str_split(pieces, separators, lead):
    field = lead + joined(pieces, separators)
    assert records.getAlignSet(field) == set(field.split())


@settings(max_examples=200, deadline=None)
@given(st.lists(numbers, min_size=1, max_size=5), st.lists(spaces, min_size=5, max_size=5))
def test_counts_are_the_toolkits_numbers_exactly(texts, separators):
    field = joined(texts, separators)
    try:
        want = [toNumber(t) for t in field.split()]
    except ValueError as e:
        with pytest.raises(type(e)):
            records.getCounts(field)
        return
    got = records.getCounts(field)
    assert [type(x) for x in got] == [type(x) for x in want]
    assert [repr(x) for x in got] == [repr(x) for x in want]


def host_get_number(text):
    x = float(text)
    n = round(x)
    return n if n == x else x


@settings(max_examples=200, deadline=None)
@given(st.lists(numbers, min_size=4, max_size=5), st.lists(spaces, min_size=5, max_size=5))
def test_scores_are_read_as_the_host_reads_floats(texts, separators):
    field = joined(texts, separators)
    try:
        want = [host_get_number(t) for t in field.split()][:4]
    except (ValueError, OverflowError) as e:
        with pytest.raises(type(e)):
            records.getMosesFeatures(field)
        return
    got = records.getMosesFeatures(field)
    assert [repr(got[k]) for k in ("fgep", "fgel", "egfp", "egfl")] == [repr(x) for x in want]
    line = f"a ||| b ||| {field} ||| 0-0 ||| 1 2 3"
    assert records.MosesRecord(line).features == got


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(words.filter(lambda k: "=" not in k), st.integers(-50, 50), max_size=4))
def test_feature_keys_count_characters(features):
    field = " ".join(f"{k}={v}" for k, v in features.items())
    got = records.getTravatarFeatures(field)
    for key, value in features.items():
        assert got[key] == (math.e**value if len(key) >= 4 else value), key


def spec_symbols(rule, hiero=False):
    """The matching symbols of a Travatar rule side, in the description's words."""
    out = []
    for token in rule.split(" "):
        if len(token) < 2:
            if token == "@":
                break
            continue
        if token[0] == token[-1] == '"':
            out.append(token[1:-1])
        elif token[0] == "x" and token[1] in "0123456789":
            out.append(f"[{token[3:]}]" if len(token) >= 4 and not hiero else "[X]")
    return out


tokens = st.sampled_from(
    ['"a"', '"名"', "x0", "x0é", "x0名", "x1:NP", "x2:名詞", "é", "@", "(", "NP"]
)


@settings(max_examples=300, deadline=None)
@given(st.lists(tokens, max_size=8), st.booleans())
def test_travatar_symbols_count_characters(rule_tokens, hiero):
    rule = " ".join(rule_tokens)
    assert records.TravatarRecord.getSymbols(rule, hiero) == spec_symbols(rule, hiero)


def test_unicode_lines_and_host_errors():
    moses = records.MosesRecord("a\u3000||| b ||| 1\xa02 3 4 ||| 0-0\u20281-1 ||| 1 2\u30003")
    assert moses.to_str() == "a ||| b ||| 1 2 3 4 ||| 0-0 1-1 ||| 1.0 2.0 3.0"
    rule = records.TravatarRecord('x0é ||| x0é "b" ||| p=1\xa0éé=2 ||| 1 2 3 ||| 0-0\x851-1')
    assert (rule.features, sorted(rule.aligns)) == ({"p": 1, "éé": 2}, ["0-0", "1-1"])
    _, trg = records.syncTags(["S", "(", "x0:NP", ")"], ["x0é", '"b"'], "hiero")
    assert trg == ["x0é:X", '"b"', "@", "X"]
    with pytest.raises(OverflowError) as e:
        records.getTravatarFeatures("egfp=710")
    with pytest.raises(OverflowError) as host:
        math.e**710
    assert e.value.args == host.value.args


def test_symbol_keys_of_non_ascii_tags_are_found(tmp_path):
    from zel.smt.trans_models import tables

    path = tmp_path / "rules.txt"
    path.write_text('S ( x0:名詞 "a" x1é ) ||| x0 "b" ||| p=1 ||| 1 1 1 ||| 0-0\n', "utf-8")
    table = tables.TravatarTable(str(path), key_type="src_symbols")
    assert [r.trg for r in table.find_src('S ( x0:名詞 "a" x1é )')] == ['x0 "b"']


point_parts = st.one_of(
    st.integers(0, 10**20).map(str), st.sampled_from(["1_0", "\uff11", "\u0662\u0663", "x", ""])
)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.lists(point_parts, min_size=1, max_size=3).map("-".join), max_size=4))
def test_alignment_points_are_read_with_the_hosts_int(points):
    try:
        want = {f"{t}-{s}" for s, t in (map(int, p.split("-")) for p in points)}
    except ValueError:
        with pytest.raises(ValueError):
            records.getRevAlignSet(set(points))
        return
    assert records.getRevAlignSet(set(points)) == want


@pytest.mark.parametrize(
    ("cls", "line"),
    [
        (records.MosesRecord, "a ||| b ||| 1 2 3 4 ||| 0-0 ||| 2 3 1"),
        (records.TravatarRecord, "a ||| b ||| p=1 ||| 3 2 1 ||| 0-0"),
    ],
)
def test_to_str_steps_before_the_join_have_their_effects(cls, line):
    # A None separator fails at the join, after the counts were rounded in place; any other
    # non-text is refused as an argument, before anything happens.
    for separator, rounded in ((None, True), (5, False)):
        record = cls(line)
        record.counts = records.CoOccurrence(1.23456789, 2, 3)
        before = record.counts.src
        with pytest.raises(TypeError):
            record.to_str(separator)
        assert (record.counts.src != before) == rounded


# Lone surrogates, as surrogateescape decoding and os.listdir give them for bytes that are not
# UTF-8: records hold and print such text as the host's str operations do.
ODD = "caf\udce9"


@pytest.mark.parametrize(
    ("cls", "line"),
    [
        (
            records.MosesRecord,
            f"{ODD} ||| the {ODD} ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2.0 3.0 1.0",
        ),
        (records.TravatarRecord, f'X ( "{ODD}" ) ||| x0 "{ODD}" ||| p=1 ||| 1.0 1.0 1.0 ||| 0-0'),
    ],
)
def test_text_with_lone_surrogates_round_trips(cls, line):
    record = cls(line)
    assert record.to_str() == line
    plain = cls(line.replace(ODD, "cafe")).getReversed().to_str()
    assert record.getReversed().to_str() == plain.replace("cafe", ODD)
    assert any(ODD in symbol for symbol in cls.getSymbols(record.src))


def test_tables_take_file_names_that_are_not_utf8(tmp_path):
    name = tmp_path / os.fsdecode(b"t\xe9.txt")
    name.write_text("a ||| b ||| 0.5 1 0.25 1e-05 ||| 0-0 ||| 1 1 1\n")
    table = tables.MosesTable(str(name))
    table.save(str(name) + ".idx")
    assert len(tables.MosesTable.open(str(name) + ".idx")) == len(table) == 1
