import copy
import pickle

import pytest

from zel.smt.align import emalign

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


def test_constants():
    assert (emalign.ITERATION_LIMIT, emalign.THRESHOLD, emalign.NBEST) == (5, 0.001, 100)
    assert emalign.NULL_SYMBOL == "__NULL__"
    assert type(emalign.ITERATION_LIMIT) is int and type(emalign.THRESHOLD) is float


def test_vocab_is_constructible_and_opaque():
    v = emalign.Vocab()
    assert isinstance(v, emalign.Vocab)
    assert not hasattr(v, "load_sent_pairs") and not hasattr(v, "src_enum")
    with pytest.raises(TypeError):
        emalign.Vocab("unexpected")


@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy])
def test_vocab_refuses_pickling(how):
    with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
        how(emalign.Vocab())


def test_helpers_are_not_host_functions():
    for name in ("grid_indices", "sub_matrix", "normalize", "load_sent_pairs"):
        assert not hasattr(emalign, name)
        assert name in emalign.__capi__
