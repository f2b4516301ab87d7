import copy
import logging as std_logging
import pickle

import pytest

from zel.common.config import Config
from zel.smt.align import emalign, lexone, lextwo

REFUSAL = "^no default __reduce__ due to non-trivial __cinit__$"
MODELS = [emalign.Model, lexone.Model1, lextwo.Model2]
TRAINERS = [lexone.Model1Trainer, lextwo.Model2Trainer]


def test_class_chains():
    assert issubclass(lextwo.Model2, lexone.Model1) and issubclass(lexone.Model1, emalign.Model)
    assert issubclass(lextwo.Model2Trainer, lexone.Model1Trainer)
    assert issubclass(lexone.Model1Trainer, emalign.Trainer)
    for module in (lexone, lextwo):
        assert module.logger.logger.name == module.__name__
        assert module.dprint == module.logger.debug_print


@pytest.mark.parametrize("cls", MODELS)
def test_models_construct_and_refuse_pickling(cls, caplog):
    with caplog.at_level(std_logging.DEBUG, logger="zel"):
        model = cls()
    assert "base model cinit" in caplog.messages
    for attempt in (pickle.dumps, copy.deepcopy):
        with pytest.raises(TypeError, match=REFUSAL):
            attempt(model)
    assert not hasattr(model, "calc_entropy") and not hasattr(model, "save_trans_dist")


@pytest.mark.parametrize(
    ("cls", "messages"),
    [
        (lexone.Model1Trainer, ["base trainer __init__", "trainer 1 init", "base model cinit"]),
        (lextwo.Model2Trainer, ["base trainer __init__", "model 2", "base model cinit"]),
    ],
)
def test_trainer_construction_logs(cls, messages, caplog):
    with caplog.at_level(std_logging.DEBUG, logger="zel"):
        cls({})
    assert caplog.messages[: len(messages)] == messages


def test_bare_trainer_is_abstract(caplog):
    with caplog.at_level(std_logging.DEBUG, logger="zel"):
        with pytest.raises(NotImplementedError):
            emalign.Trainer({})
    assert caplog.messages == ["base trainer __init__"]


def state(trainer):
    _model, src, trg, _pairs, character, _cooc, _align = trainer.__getstate__()
    return src, trg, character


@pytest.mark.parametrize("cls", TRAINERS)
@pytest.mark.parametrize(
    ("conf", "others", "expected"),
    [
        ({"src_path": "a", "trg_path": "b"}, {}, ("a", "b", False)),
        ({"src_path": "a"}, {}, (None, None, False)),
        ({"src_path": "a", "trg_path": None}, {}, ("a", None, False)),
        ({"character": False}, {"character": True}, (None, None, True)),
        (Config({"character": "yes", "src_path": "s"}), {"trg_path": "t"}, ("s", "t", True)),
        ({"character": 0}, {}, (None, None, False)),
    ],
)
def test_trainer_configuration(cls, conf, others, expected):
    assert state(cls(conf, **others)) == expected


@pytest.mark.parametrize(
    "bad", [{"src_path": 1, "trg_path": "b"}, {"src_path": "a", "trg_path": b"b"}]
)
def test_paths_must_be_text(bad):
    with pytest.raises(TypeError, match=r"^Expected str, got (int|bytes)$"):
        lextwo.Model2Trainer(bad)


@pytest.mark.parametrize("cls", TRAINERS)
def test_trainer_pickles_by_fields_and_fails_on_the_vocabulary(cls):
    trainer = cls({"src_path": "a", "trg_path": "b"})
    model, *_ = trainer.__getstate__()
    assert isinstance(model, lextwo.Model2 if cls is lextwo.Model2Trainer else lexone.Model1)
    with pytest.raises(TypeError, match=REFUSAL):
        pickle.dumps(trainer)
