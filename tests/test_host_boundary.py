"""Where native code meets the host: imports, wrong types, uninitialised and subclassed objects,
raising truth tests, reference cycles. Failures must be the host's own errors, never a crash or
a native exception's name."""

import copy
import gc
import itertools
import pickle
import re
import subprocess
import sys
import weakref

import pytest

from zel.smt.align import emalign, lexone, lextwo
from zel.smt.trans_models import records, tables

ALIGN = ["zel.smt.align.emalign", "zel.smt.align.lexone", "zel.smt.align.lextwo"]
OTHERS = ["zel.smt.trans_models.records", "zel.smt.trans_models.tables", "zel.common.vocab"]
NATIVE_TEXTS = re.compile(
    r"std::|bad_cast|bad_alloc|nanobind|incompatible function arguments|"
    r"Unable to convert function return value"
)
MOSES_LINE = "das Haus ||| the house ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2 3 1"


def run_python(code, cwd=None):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, timeout=120
    )


@pytest.mark.parametrize(
    "order",
    [list(p) for p in itertools.permutations(ALIGN)] + [[m, *ALIGN] for m in OTHERS],
    ids=lambda order: ">".join(m.rsplit(".", 1)[1] for m in order),
)
def test_every_import_order_works_in_a_fresh_interpreter(order):
    code = "".join(f"import {m}\n" for m in order)
    code += "from zel.smt.align import lextwo\nassert lextwo.Model2Trainer.__mro__[2].__name__"
    result = run_python(code)
    assert result.returncode == 0, result.stderr


class Raising:
    """A value whose truth test raises, as a two-element NumPy array's does."""

    def __bool__(self):
        raise ValueError("truth value is ambiguous")


WRONG_VALUES = [5, None, object(), Raising(), records.Record()]
SKIPPED = {"main_train", "main_score", "train_model", "score_model"}  # they read sys.argv


def arities(function):
    """The numbers of positional arguments a native function takes (self included), read from
    its signature text."""
    if not hasattr(function, "__nb_signature__"):
        return range(0, 3)  # a slot wrapper: the class has no constructor of its own
    text = function.__nb_signature__[0][0]
    inside = text[text.index("(") + 1 : text.rindex(") ->")]
    params = [p.strip() for p in re.split(r",(?![^\[]*\])", inside)]  # commas not in [...]
    params = [p for p in params if p and p not in ("/", "*") and not p.startswith("**")]
    fixed = [p for p in params if not p.startswith("*")]
    required = sum("=" not in p for p in fixed)
    return range(required, (required + 3) if len(fixed) < len(params) else len(fixed) + 1)


def fresh_instances(cls):
    """Instances of a native class that no __init__ has run on, and of a subclass skipping it."""
    skipping = type(f"Skipping{cls.__name__}", (cls,), {"__init__": lambda self, *a, **k: None})
    return [cls.__new__(cls), skipping()]


def native_callables():
    """(name, callable, class whose instances it takes as self, or None)."""
    for module in (emalign, lexone, lextwo, records, tables):
        for name, value in vars(module).items():
            if hasattr(value, "__nb_signature__") and name not in SKIPPED:
                yield f"{module.__name__}.{name}", value, None
            if isinstance(value, type) and value.__module__ == module.__name__:
                yield value.__name__, value, None
                for attr, method in vars(value).items():
                    if hasattr(method, "__nb_signature__") and attr != "__init__":
                        method = getattr(value, attr)
                        takes_self = "(self" in method.__nb_signature__[0][0]
                        yield f"{value.__name__}.{attr}", method, value if takes_self else None


def argument_tuples(function, owner):
    counts = arities(function.__init__ if isinstance(function, type) else function)
    if isinstance(function, type):
        counts = range(max(counts.start - 1, 0), counts.stop - 1)  # self is not passed
    if owner is None:
        for n in counts:
            for wrong in WRONG_VALUES:
                yield (wrong,) * n
        return
    # A method called through its class: self is a fresh instance or an object of another type.
    for selfish in [*fresh_instances(owner), 5, object(), records.CoOccurrence()]:
        for n in counts:
            for wrong in WRONG_VALUES if n > 1 else [None]:
                yield (selfish, *((wrong,) * (n - 1)))[:n]


def test_host_api_with_wrong_values_and_fresh_instances_gives_host_errors(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # anything a call writes stays in the test's folder
    seen = 0
    for name, function, owner in native_callables():
        for args in argument_tuples(function, owner):
            try:
                result = function(*args)
                if hasattr(result, "__next__"):
                    list(result)
            except Exception as e:
                # RuntimeError itself and SystemError are what unknown native failures become.
                assert type(e) not in (RuntimeError, SystemError), f"{name}{args!r}: {e!r}"
                assert not NATIVE_TEXTS.search(str(e)), f"{name}{args!r}: {e}"
            seen += 1
    for cls in (records.Record, records.MosesRecord, records.TravatarRecord):
        for record in fresh_instances(cls):
            for attr in ("src_symbols", "srcTerms", "trgSymbols", "trgTerms", "alignMap"):
                getattr(record, attr)
            for field in ("src", "trg", "features", "counts", "aligns"):
                with pytest.raises(TypeError) as e:
                    setattr(record, field, 5)
                assert not NATIVE_TEXTS.search(str(e.value))
    assert seen > 500, "the walk reached the API"


@pytest.mark.parametrize("cls", [records.Record, records.MosesRecord, records.TravatarRecord])
def test_records_have_their_defaults_before_any_init(cls):
    class ReadsFirst(cls):
        def __init__(self, line):
            self.before = (self.src, self.features, self.counts.src, self.aligns, self.data)
            cls.__init__(self, line)
            records.Record.__init__(self)  # does nothing, however often it is called

    for record in fresh_instances(cls):
        assert (record.src, record.trg, record.features, record.aligns) == ("", "", {}, set())
        assert record.getReversed().trg == "" and record.counts.cooc == 0
    line = MOSES_LINE if cls is not records.TravatarRecord else "a ||| b ||| p=1 ||| 1 2 3 ||| 0-0"
    record = ReadsFirst(line)
    assert record.before == ("", {}, 0, set(), None)
    assert record.src == ("" if cls is records.Record else line.split(" ||| ")[0])


class Keeping(lextwo.Model2Trainer):
    """A host subclass of a trainer, importable so that pickling can find it."""


def test_trainers_copy_and_pickle_by_their_fields(tmp_path):
    fresh = Keeping.__new__(Keeping)
    fresh.note = "kept"
    assert fresh.__getstate__() == (None, None, None, None, False, None, None, {"note": "kept"})
    for restored in (pickle.loads(pickle.dumps(fresh)), copy.deepcopy(fresh)):
        assert restored.__getstate__() == fresh.__getstate__()
    src, trg = tmp_path / "s", tmp_path / "t"
    src.write_text("a b\nb\n")
    trg.write_text("x y\ny\n")
    built = lextwo.Model2Trainer({"src_path": str(src), "trg_path": str(trg), "character": 1})
    twin = copy.copy(built)
    assert twin.__getstate__()[:5] == (built.__getstate__()[0], str(src), str(trg), None, True)
    with pytest.raises(TypeError, match="non-trivial __cinit__"):  # the model's Vocab refuses
        pickle.dumps(built)
    with pytest.raises(ValueError, match="7 fields"):
        twin.__setstate__((None,) * 3)


@pytest.mark.parametrize(
    "call",
    [
        lambda: lextwo.Model2Trainer({"character": Raising()}),
        lambda: records.getAlignMap({"0-1"}, Raising()),
        lambda: records.TravatarRecord.getSymbols("x0:NP", Raising()),
        lambda: records.CoOccurrence().setCounts(src=Raising()),
        lambda: records.MosesRecord(Raising()),
        lambda: tables.MosesTable("missing-table", trg_key=Raising()),
        lambda: emalign.check_test_config({"save_scores": Raising()}),
    ],
)
def test_a_raising_truth_test_raises_its_own_error(call):
    with pytest.raises(ValueError, match="truth value is ambiguous"):
        call()


@pytest.fixture
def moses_table(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text(MOSES_LINE + "\n")
    return str(path)


class Marker:
    """Put into a cycle: its weak reference dies when the collector frees the cycle."""


def test_reference_cycles_through_native_objects_are_collected(moses_table):
    def cycles():
        class Reaching(records.MosesRecord):
            pass

        class Linked(tables.Table):
            pass

        moses = records.MosesRecord(MOSES_LINE)
        moses.data = [moses, Marker()]
        base = records.Record()
        base.features = {"self": base, "marker": Marker()}
        travatar = records.TravatarRecord()
        travatar.data = (Marker(), [travatar])
        counts = records.CoOccurrence()
        base.data = counts
        # The record class reaches the table, the table (a subclass) its pending search.
        table = Linked(moses_table, Reaching)
        Reaching.table, table.marker = table, Marker()
        table.search = table.find("")
        return [
            weakref.ref(moses.data[1]),
            weakref.ref(base.features["marker"]),
            weakref.ref(travatar.data[0]),
            weakref.ref(table.marker),
            weakref.ref(moses),
        ]

    refs = cycles()
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_an_ordinary_script_leaves_nothing_behind_at_exit(tmp_path, moses_table):
    script = f"""
from zel.smt.trans_models import records, tables
from zel.smt.align import lextwo
class Rec(records.MosesRecord):
    def reach(self):
        return TABLE
class MyTable(tables.MosesTable):
    pass
TABLE = MyTable({moses_table!r}, trg_key=True)
OTHER = tables.Table({moses_table!r}, Rec)
HITS = list(TABLE.find_src("das Haus"))
PENDING = OTHER.find("")
RECORD = Rec({MOSES_LINE!r})
RECORD.data = RECORD
TRAINER = lextwo.Model2Trainer({{}})
"""
    result = run_python(script, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == "", result.stderr


def test_moses_records_are_ordinary_host_instances():
    record = records.MosesRecord(MOSES_LINE, "|||")
    assert vars(record) == {"delim": "|||"}
    del record.delim
    with pytest.raises(AttributeError, match="delim"):
        _ = record.delim
    record.extra = 1
    assert weakref.ref(record)() is record and vars(record) == {"extra": 1}
