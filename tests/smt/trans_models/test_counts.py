import pickle

import pytest
from zel.smt.trans_models.records import CoOccurrence

REFUSAL = r"^no default __reduce__ due to non-trivial __cinit__$"


def test_defaults_and_derived_probabilities():
    c = CoOccurrence()
    assert (c.src, c.trg, c.cooc) == (0.0, 0.0, 0.0)
    with pytest.raises(ZeroDivisionError, match=r"^float division$"):
        _ = c.egfp
    c = CoOccurrence(4, 2, 1)
    assert (c.calcEGFP(), c.calcFGEP(), c.egfp, c.fgep) == (0.25, 0.5, 0.25, 0.5)
    r = c.getReversed()
    assert (r.src, r.trg, r.cooc) == (2.0, 4.0, 1.0) and type(r) is CoOccurrence


def test_fields_are_32_bit():
    c = CoOccurrence(src=0.1, cooc=3)
    assert c.src == 0.10000000149011612 and type(c.src) is float
    c.round()
    assert c.src == 0.10000000149011612
    c.trg = 0.333333
    assert c.trg == 0.33333298563957214
    # Division happens in 32 bits.
    assert CoOccurrence(3, 3, 1).calcEGFP() == 0.3333333432674408


@pytest.mark.parametrize("value", ["3", None, [1], object()])
def test_writes_need_real_numbers(value):
    c = CoOccurrence(1, 1, 1)
    with pytest.raises(TypeError):
        c.src = value
    assert c.src == 1.0
    with pytest.raises(TypeError):
        CoOccurrence(value)


def test_too_many_arguments():
    with pytest.raises(TypeError):
        CoOccurrence(1, 2, 3, 4)


@pytest.mark.parametrize("name", ["src", "trg", "cooc"])
def test_deleting_a_count_is_refused(name):
    with pytest.raises(NotImplementedError, match=r"^__del__$"):
        delattr(CoOccurrence(), name)


@pytest.mark.parametrize("name", ["egfp", "fgep"])
def test_derived_attributes_are_read_only(name):
    with pytest.raises(AttributeError):
        setattr(CoOccurrence(1, 1, 1), name, 0.5)


def test_set_counts_never_sets_zero():
    c = CoOccurrence(5, 5, 5)
    c.setCounts(trg=2, src=0)
    assert (c.src, c.trg, c.cooc) == (5.0, 2.0, 5.0)
    c.setCounts(None, None, 7)
    assert c.cooc == 7.0
    with pytest.raises(TypeError):
        c.setCounts(src=1, trg="3")
    assert c.src == 1.0, "fields set before the failing one stay set"


@pytest.mark.parametrize(
    ("counts", "margin", "text"),
    [
        ((3, 2, 1), 0, "CoOccurrence(src = 3, trg = 2, cooc = 1)"),
        ((0.5, 2, 1), 0, "CoOccurrence(src = 0.5, trg = 2, cooc = 1)"),
        ((2.0001, 2, 1), 0.01, "CoOccurrence(src = 2, trg = 2, cooc = 1)"),
    ],
)
def test_text_form(counts, margin, text):
    c = CoOccurrence(*counts)
    assert c.to_str(margin) == "zel.smt.trans_models.records." + text
    if margin == 0:
        assert str(c) == c.to_str()


def test_rounding_to_digits():
    c = CoOccurrence(1.23456789, 2.5, 1e-7)
    c.round(2)
    assert (c.src, c.trg, c.cooc) == (
        float(CoOccurrence(1.23).src),
        2.5,
        0.0,
    )
    with pytest.raises(TypeError):
        c.round(1.5)


def test_pickling_refused():
    with pytest.raises(TypeError, match=REFUSAL):
        pickle.dumps(CoOccurrence())


def test_overrides_reach_internal_callers():
    class Doubled(CoOccurrence):
        def calcEGFP(self):
            return 2.0

        def to_str(self, margin=0):
            return "doubled"

    d = Doubled(1, 1, 1)
    assert d.egfp == 2.0 and str(d) == "doubled"
    assert d.to_str() == "doubled"
