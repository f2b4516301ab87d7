import logging as std_logging
import math

import pytest
from shared_data import SHARED_DATA, needs_shared_data
from zel.smt.trans_models.records import TravatarRecord

from zel.smt.trans_models import records

DATA = SHARED_DATA / "travatar"
TREE = 'S ( x0:NP VP ( VBD ( "saw" ) x1:NP ) )'


def test_symbols_and_terms():
    assert TravatarRecord.getSymbols(TREE) == ["[NP]", "saw", "[NP]"]
    assert TravatarRecord.getSymbols(TREE, True) == ["[X]", "saw", "[X]"]
    assert TravatarRecord.getTerms(TREE) == ["saw"]
    assert records.isTree(TREE.split(" "))
    assert TravatarRecord.getSymbols('x0 "of" x1 @ NP') == ["[X]", "of", "[X]"]
    assert TravatarRecord.getTerms('x0 "of" x1 @ NP') == ["of"]
    assert TravatarRecord.getTerms(['"a"', "x0", '"b"']) == ["a", "b"]
    assert TravatarRecord.getSymbols("x10:NP") == ["[:NP]"]
    with pytest.raises(AttributeError):
        TravatarRecord.getSymbols(None)


def test_fix_order():
    src, trg = "S ( x1:NP VP ( x0:VB ) )", 'x0 "a" x1'
    assert TravatarRecord.fixOrderStrings(src, trg) == ("S ( x0:NP VP ( x1:VB ) )", 'x1 "a" x0')
    ordered = ("S ( x0:NP x1:VB )", 'x1 "a" x0')
    same = TravatarRecord.fixOrderStrings(*ordered)
    assert same[0] is ordered[0] and same[1] is ordered[1]
    r = TravatarRecord(f"{src} ||| {trg} ||| p=1 ||| ||| ")
    assert r.fixOrder() is True and r.src == "S ( x0:NP VP ( x1:VB ) )"
    assert r.fixOrder() is False


@pytest.mark.parametrize(
    ("src", "trg", "error"),
    [
        ("a  b", "x", IndexError),
        ("x y", "z", IndexError),
        ("x1 x0", "x2", KeyError),
        (None, "x0", AttributeError),
        ("x1 x0", None, AttributeError),
    ],
)
def test_fix_order_errors(src, trg, error):
    with pytest.raises(error, match=r"string index out of range|'2'|has no attribute 'split'"):
        TravatarRecord.fixOrderStrings(src, trg)


def test_an_ordered_source_needs_no_target_side():
    src = "S ( x0:NP x1:VB )"
    assert TravatarRecord.fixOrderStrings(src, None) == (src, None)


def test_features_both_ways(caplog):
    f = records.getTravatarFeatures("egfp=-0.693147 p=1 w=2")
    assert f["egfp"] == pytest.approx(0.5, rel=1e-6) and f["p"] == 1 and f["w"] == 2
    assert f["egfp"] == math.e**-0.693147
    assert records.getStrTravatarFeatures({"w": 2, "egfp": 0.5, "p": 1}) == "egfp=-0.693147 p=1 w=2"
    with caplog.at_level(std_logging.WARNING):
        assert records.getStrTravatarFeatures({"egfp": 0}) == "egfp=0"
    assert caplog.records[0].msg == ("egfp", 0)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        records.getStrTravatarFeatures(None)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        records.getStrTravatarFeatures({1: 2})
    with pytest.raises(TypeError, match=r"^Argument 'dict_features' has incorrect type"):
        records.getStrTravatarFeatures([])
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        records.getTravatarFeatures("p")
    with pytest.raises(ValueError, match="too many values"):
        records.getTravatarFeatures("p=1=2")


LINE = f'{TREE} ||| x0 "mita" x1 ||| egfp=-0.5 p=1 ||| 3 2 1 ||| 1-1 0-0'


def test_line_round_trip():
    r = TravatarRecord(LINE)
    assert (r.src, r.trg) == (TREE, 'x0 "mita" x1')
    assert (r.counts.cooc, r.counts.src, r.counts.trg) == (3, 2, 1)
    assert r.to_str() == f'{TREE} ||| x0 "mita" x1 ||| egfp=-0.5 p=1 ||| 3.0 2.0 1.0 ||| 0-0 1-1'
    assert TravatarRecord(r.to_str()).to_str() == r.to_str()


@pytest.mark.parametrize("counts", ["", "1 2"])
def test_counts_need_three_numbers(counts):
    r = TravatarRecord(f"a ||| b ||| p=1 ||| {counts} ||| 0-0")
    assert r.counts.cooc == 0
    assert " |||  ||| " in r.to_str()


@pytest.mark.parametrize("bad", [5, b"|||"])
def test_delimiter_type(bad):
    with pytest.raises(
        TypeError, match=r"^Argument 'delim' has incorrect type \(expected str, got"
    ):
        TravatarRecord("", bad)
    with pytest.raises(TypeError, match=r"^Argument 'line' has incorrect type"):
        TravatarRecord().loadLine(5)


def test_reversed_is_travatar_with_quoted_word_count():
    class Sub(TravatarRecord):
        pass

    rev = Sub(LINE).getReversed()
    assert type(rev) is TravatarRecord
    assert rev.features["w"] == 1 and rev.features["fgep"] == pytest.approx(math.e**-0.5)


def test_side_conversions():
    tree = 'NP ( x0:NN "of" x1:NP )'.split(" ")
    assert records.getFlattenSymbols(tree) == ["x0:NN", '"of"', "x1:NP", "@", "NP"]
    assert records.getFlattenSymbols(tree, "hiero") == ["x0:X", '"of"', "x1:X", "@", "X"]
    flat = ["a", "b"]
    assert records.getFlattenSymbols(flat) is flat
    assert records.syncTags(tree, ["x1", '"de"', "x0"], "scfg")[1] == [
        "x1:NP",
        '"de"',
        "x0:NN",
        "@",
        "NP",
    ]
    assert records.syncTags(tree, ["x1", '"de"', "x0"], "hiero")[1] == [
        "x1:X",
        '"de"',
        "x0:X",
        "@",
        "X",
    ]
    tagged = ["x0", "@", "NP"]
    assert records.syncTags(tree, tagged, "scfg")[1] is tagged and tagged == ["x0", "@", "NP"]
    assert records.syncTags(tree, ["x12"], "scfg")[1][0] == "x1:NP"
    with pytest.raises(IndexError):
        records.syncTags(tree, ["x5"], "scfg")
    assert not records.isTree(["S", "(", ")"]) and not records.isTree(["S", "x", "(", ")"])


def test_record_sync_tags():
    r = TravatarRecord('NP ( x0:NN "of" x1:NP ) ||| x1 "de" x0 ||| p=1 ||| ||| ')
    r.syncTags()
    assert r.trg == 'x1:X "de" x0:X @ X' and r.sync is False
    r = TravatarRecord("x0:NP @ NP ||| x0 ||| p=1 ||| ||| ")
    r.syncTags()
    assert r.src == "x0:NP @ NP" and r.trg == "x0"


def read_rules(name):
    with open(DATA / name, encoding="utf-8") as f:
        return [line.rstrip("\n").split(" ||| ") for line in f if line.strip()]


def independent_symbols(side, hiero=False):
    out = []
    for token in side.split(" "):
        if token == "@":
            break
        if len(token) >= 2 and token[0] == token[-1] == '"':
            out.append(token[1:-1])
        elif len(token) >= 2 and token[0] == "x" and token[1].isdigit():
            out.append("[X]" if hiero or len(token) < 4 else f"[{token[3:]}]")
    return out


@needs_shared_data
@pytest.mark.parametrize("name", ["kftt-enja.t2s-rules.txt", "kftt-jaen.t2s-rules.txt"])
def test_real_rules(name):
    rules = read_rules(name)
    assert len(rules) > 1000
    for src, trg in rules:
        r = TravatarRecord(f"{src} ||| {trg} ||| egfp=-1 p=1 ||| 2 1 1 ||| 0-0")
        assert r.src_symbols == independent_symbols(src)
        assert r.trgSymbols == independent_symbols(trg)
        assert r.srcTerms == [s for s in independent_symbols(src) if not s.startswith("[")]
        tokens = src.split(" ")
        assert records.isTree(tokens) == (len(tokens) >= 4 and tokens[1] == "(")
        flat = records.getFlattenSymbols(tokens)
        if records.isTree(tokens):
            kept = [t for t in tokens if t[:1] in ('"', "x")]
            assert flat == [*kept, "@", tokens[0]]
        variables = [t for t in tokens if len(t) >= 2 and t[0] == "x" and t[1].isdigit()]
        fixed_src, _ = TravatarRecord.fixOrderStrings(src, trg)
        renumbered = [
            t for t in fixed_src.split(" ") if len(t) >= 2 and t[0] == "x" and t[1].isdigit()
        ]
        assert [t[1] for t in renumbered] == [str(i) for i in range(len(variables))]
        assert TravatarRecord(r.to_str()).to_str() == r.to_str()
