import pickle

import pytest
from zel.common.vocab import StringEnumerator


def test_ids_in_order_of_first_registration():
    e = StringEnumerator()
    assert [e.str2id(w) for w in ["b", "a", "b", "", "日本", "a"]] == [0, 1, 0, 2, 3, 1]
    assert len(e) == 4
    assert [e.id2str(i) for i in range(4)] == ["b", "a", "", "日本"]


def test_append_of_a_registered_word_keeps_its_id():
    e = StringEnumerator()
    e.append("__NULL__")
    e.append("x")
    e.append("__NULL__")
    assert len(e) == 2
    assert e.str2id("__NULL__") == 0
    assert "x" in e and "y" not in e


@pytest.mark.parametrize("bad_id", [-1, 2, 10**12])
def test_unknown_id_is_an_index_error(bad_id):
    e = StringEnumerator()
    e.append("a")
    e.append("b")
    with pytest.raises(IndexError):
        e.id2str(bad_id)


@pytest.mark.parametrize("bad_word", [None, 3, b"bytes"])
def test_words_must_be_text(bad_word):
    with pytest.raises(TypeError):
        StringEnumerator().str2id(bad_word)


def test_pickles_by_its_words():
    e = StringEnumerator()
    for w in ["z", "y", "x\x00nul", "x"]:
        e.append(w)
    copy = pickle.loads(pickle.dumps(e))
    assert [copy.id2str(i) for i in range(len(copy))] == ["z", "y", "x\x00nul", "x"]
    assert copy.str2id("new") == 4
