import copy
import gzip
import logging as std_logging
import os
import pickle
import random
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from shared_data import SHARED_DATA, needs_shared_data
from smt.trans_models.table_model import LineRecord, ModelIndex, lines_of, norm
from zel.smt.trans_models.records import MosesRecord, TravatarRecord

from zel.smt.trans_models import tables

SHARED = SHARED_DATA
NO_TARGET_KEYS = "the table was built without target keys (trg_key=False)"

MOSES = [
    "das Haus ||| the house ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2 3 1",
    "das Haus ||| the home |COL| a house ||| 0.5 1 0.25 1e-05 ||| 0-0 1-1 ||| 2 3 1",
    "das   |||the||| 0.5 0.5 0.5 0.5 ||| 0-0 ||| 9 9 9",
    "das ||| the ||| 0.5 0.5 0.5 0.5 ||| 0-0 ||| 9 9 9",
    "",
    "Haus ||| house |COL| home ||| 0.1 0.2 0.3 0.4 ||| 0-0 ||| 1 1 1",
    "the ||| das ||| 0.1 0.2 0.3 0.4 ||| 0-0 ||| 1 1 1",
]

TRAVATAR = [
    'S ( x0:NP VP ( "saw" x1:NP ) ) ||| x0 "mita" x1 |COL| x1 x0 ||| egfp=-0.5 ||| 3 2 1 ||| 0-0',
    'VP ( x0:NP "saw" x1:NP ) ||| x0 x1 ||| p=1 ||| 1 1 1 ||| 0-0 1-1',
    'NP ( "the" x0:NN ) ||| x0 ||| p=1 ||| 1 1 1 ||| 0-0',
]


def write(tmp_path, lines, name="table.txt"):
    path = tmp_path / name
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return str(path)


@pytest.fixture
def moses_path(tmp_path):
    return write(tmp_path, MOSES)


def check_against_model(table, model, queries):
    assert len(table) == len(model.lines)
    assert lines_of(table) == model.lines
    for src, trg in queries:
        assert lines_of(table.find_src(src)) == model.find_src(src), src
        assert lines_of(table.find_trg(trg)) == model.find_trg(trg), trg
        for prefix in (src, f"{src} ||| {trg}", f" {src}|||{trg} ||| ", f"{src} ||| "):
            assert lines_of(table.find(prefix)) == model.find(prefix), prefix


class TestSearches:
    def test_every_search_as_a_plain_index_answers(self, moses_path):
        table = tables.Table(moses_path, LineRecord, trg_key=True)
        model = ModelIndex(MOSES)
        queries = [line.split("|||")[:2] for line in model.lines]
        queries += [("Haus", "nowhere"), ("", ""), ("the", "house |COL| home")]
        check_against_model(table, model, queries)

    def test_lines_differing_in_blanks_are_one_record(self, moses_path):
        table = tables.Table(moses_path, LineRecord)
        assert len(table) == 5
        assert lines_of(table.find_src("das")) == [norm(MOSES[3])]

    def test_a_first_field_found_only_later_in_lines_finds_nothing(self, moses_path):
        table = tables.Table(moses_path, LineRecord)
        assert list(table.find("house")) == []
        assert list(table.find_src("0-0")) == []
        assert list(table.find("absent ||| the")) == []

    @pytest.mark.parametrize(
        ("trg", "index", "want"),
        [
            ("the home |COL| a house", None, [1]),
            ("the home", 0, [1]),
            (" a house ", 1, [1]),
            ("house", 0, [5]),
            ("home", 1, [5]),
            ("home", -1, [5]),
            ("the home", 1, []),
        ],
    )
    def test_target_columns(self, moses_path, trg, index, want):
        table = tables.Table(moses_path, LineRecord, trg_key=True)
        assert lines_of(table.find_trg(trg, index)) == sorted(norm(MOSES[i]) for i in want)

    def test_column_beyond_the_last_fails_at_once(self, moses_path):
        table = tables.Table(moses_path, LineRecord, trg_key=True)
        with pytest.raises(IndexError):
            table.find_trg("x", 2)
        with pytest.raises(IndexError):
            table.find_trg("x", 10**30)

    def test_without_target_keys(self, moses_path):
        table = tables.Table(moses_path, LineRecord)
        with pytest.raises(TypeError, match=NO_TARGET_KEYS.replace("(", r"\(").replace(")", r"\)")):
            table.find_trg("the", 0)
        search = table.find_trg("the")
        with pytest.raises(AttributeError, match="without target keys"):
            next(search)
        assert list(table.find_trg("not in the table")) == []

    def test_searches_are_lazy_and_every_item_is_new(self, moses_path):
        table = tables.MosesTable(moses_path)
        search = table.find(None)  # not text: fails only when an item is asked for
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'split'"):
            next(search)
        with pytest.raises(StopIteration):
            next(search)
        a, b = next(table.find_src("das")), next(table.find_src("das"))
        assert a is not b
        assert isinstance(a, MosesRecord)
        assert a.to_str() == MosesRecord(norm(MOSES[3])).to_str()
        assert next(iter(table.find_src("das", force=False))).src == "das"

    def test_find_key_with_a_host_dictionary(self, moses_path):
        table = tables.Table(moses_path, LineRecord)
        key_track = table.line2tracks("das")
        record_track = table.line2tracks(norm(MOSES[3]))  # any track text of a record

        class Keys:
            def find_keys(self, prefix):
                self.prefix = prefix
                return [f"{prefix} | {record_track}"]

        keys = Keys()
        with pytest.raises(ValueError):  # a field track is no record track
            list(table._Table__find_key(keys, "das"))
        assert keys.prefix == key_track
        assert list(table._Table__find_key(None, "absent")) == []
        with pytest.raises(AttributeError, match="without target keys"):
            list(table._Table__find_key(None, "das"))


class TestTracks:
    def test_tracks_round_trip(self, moses_path):
        table = tables.Table(moses_path, LineRecord)
        tracks = table.line2tracks(" das Haus|||the house |||  ")
        parts = tracks.split(" | ")
        assert len(parts) == 3 and parts[2] == ""
        assert all(p.startswith("(") and p.endswith(")") and "," in p for p in parts[:2])
        assert table.tracks2line(tracks) == "das Haus ||| the house ||| "
        assert table.line2tracks("das ||| nowhere").endswith(" | (-1,-1)")
        assert table.line2tracks("") == "" and table.tracks2line("") == ""

    @pytest.mark.parametrize("tracks", ["(-1,-1)", "(1,2", "(a,b)", "(0,0) | x", "(99999,1)"])
    def test_tracks_that_name_no_field_fail_as_conversions(self, moses_path, tracks):
        table = tables.Table(moses_path, LineRecord)
        with pytest.raises(ValueError):
            table.tracks2line(tracks)

    @pytest.mark.parametrize("method", ["line2tracks", "tracks2line"])
    def test_non_text(self, moses_path, method):
        table = tables.Table(moses_path, LineRecord)
        with pytest.raises(AttributeError, match="'int' object has no attribute 'split'"):
            getattr(table, method)(5)

    @pytest.mark.parametrize(
        ("key_type", "src", "key"),
        [
            ("src", " a  b ", " a  b "),
            ("src_hiero", 'S ( x0:NP "saw" )', "[X] saw"),
            ("src_symbols", 'S ( x0:NP "saw" )', "[NP] saw"),
            ("src_tree", ' S  (x0:NP\t"saw" ) ', 'S (x0:NP "saw" )'),
            ("other", "a", None),
            (None, "a", None),
        ],
    )
    def test_source_keys(self, tmp_path, key_type, src, key):
        table = tables.TravatarTable(write(tmp_path, []), key_type=key_type)
        assert table.format_src_key(src) == key


class TestLoading:
    def test_blank_lines_are_skipped_and_line_numbers_count_them(self, tmp_path, caplog):
        path = write(tmp_path, ["a ||| b", "", "   ", "c"])
        assert len(tables.Table(path, LineRecord)) == 2
        with caplog.at_level(std_logging.WARNING), pytest.raises(IndexError):
            tables.Table(path, LineRecord, trg_key=True)
        messages = [str(r.msg) for r in caplog.records]
        assert messages[0] == f"file: {path}, line: 4"
        assert isinstance(caplog.records[1].msg, IndexError)

    def test_bytes_that_are_not_utf8(self, tmp_path, caplog):
        path = tmp_path / "t.txt"
        path.write_bytes(b"a ||| b\n\xff ||| c\n")
        with caplog.at_level(std_logging.WARNING), pytest.raises(UnicodeDecodeError) as error:
            tables.Table(str(path), LineRecord)
        assert caplog.records[0].msg == f"file: {path}, line: 2"
        assert f"({path}, line 2)" in str(error.value)

    def test_unknown_key_type_fails_on_the_first_line(self, moses_path, caplog):
        with caplog.at_level(std_logging.WARNING), pytest.raises(AttributeError, match="'other'"):
            tables.MosesTable(moses_path, key_type="other")
        assert caplog.records[0].msg == f"file: {moses_path}, line: 1"

    @pytest.mark.parametrize(
        ("args", "options"),
        [((5, LineRecord), {}), (("t", LineRecord), {"key_type": 3}), ((b"t", LineRecord), {})],
    )
    def test_wrong_types(self, args, options):
        with pytest.raises(TypeError, match=r"^Expected str, got "):
            tables.Table(*args, **options)

    def test_missing_and_empty_files(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            tables.MosesTable(str(tmp_path / "none.txt"))
        table = tables.MosesTable(write(tmp_path, []), key_type=None, trg_key=True)
        assert len(table) == 0 and list(table) == [] and list(table.find_trg("")) == []

    def test_compressed_table(self, tmp_path):
        path = tmp_path / "t.gz"
        with gzip.open(path, "wt", encoding="utf-8") as f:
            f.write("\n".join(MOSES))
        assert lines_of(tables.Table(str(path), LineRecord)) == ModelIndex(MOSES).lines

    def test_progress_labels(self, moses_path, monkeypatch):
        from zel.common import progress

        labels = []
        reader, bar = progress.FileReader, progress.Bar

        def record_reader(path, header=""):
            labels.append(header)
            return reader(path, header)

        def record_bar(header, total, unit=""):
            if unit != "B":
                labels.append((header, total))
            return bar(header, total, unit)

        monkeypatch.setattr(progress, "FileReader", record_reader)
        monkeypatch.setattr(progress, "Bar", record_bar)
        tables.Table(moses_path, LineRecord)
        assert labels == [
            "building trie of all fields",
            ("building trie of all records", 6),
            ("registering pair of (key,record)", 5),
        ]


class Lowered(tables.Table):
    """Source keys in lower case, and every call of the replaceable steps counted."""

    def __init__(self, path, **options):
        self.calls = {"format_src_key": 0, "line2tracks": 0, "tracks2line": 0}
        tables.Table.__init__(self, path, LineRecord, **options)

    def format_src_key(self, src):
        self.calls["format_src_key"] += 1
        return src.lower()

    def line2tracks(self, line):
        self.calls["line2tracks"] += 1
        return super().line2tracks(line)

    def tracks2line(self, tracks):
        self.calls["tracks2line"] += 1
        return super().tracks2line(tracks)


class TestSubclasses:
    def test_overrides_reach_loading_and_searches(self, moses_path):
        table = Lowered(moses_path)
        model = ModelIndex(MOSES, src_key=str.lower)
        # Pass 1 and pass 3 key every line and record; pass 2 and 3 convert each once.
        assert table.calls == {"format_src_key": 6 + 5, "line2tracks": 6, "tracks2line": 5}
        assert lines_of(table.find_src("DAS")) == model.find_src("DAS") != []
        assert lines_of(table) == model.lines

    def test_steps_giving_wrong_types(self, moses_path, caplog):
        class Bad(tables.Table):
            def line2tracks(self, line):
                return 5

        with caplog.at_level(std_logging.WARNING), pytest.raises(TypeError, match="got int"):
            Bad(moses_path, LineRecord)
        assert caplog.records[0].msg == f"file: {moses_path}, line: 1"

    def test_record_class_symbols_of_its_own(self, moses_path):
        class FirstWord(LineRecord):
            @staticmethod
            def getSymbols(phrase, hiero=False):
                return phrase.split(" ")[:1]

        table = tables.Table(moses_path, FirstWord, key_type="src_symbols")
        want = [MOSES[i] for i in (0, 1, 3)]
        assert lines_of(table.find_src("das Auto")) == sorted(norm(w) for w in want)


class TestPickling:
    @pytest.mark.parametrize(
        ("cls", "options"),
        [
            (tables.MosesTable, {}),
            (tables.MosesTable, {"trg_key": True}),
            (tables.TravatarTable, {"trg_key": True, "key_type": "src_symbols"}),
        ],
    )
    def test_unpickled_table_answers_alike_without_the_file(self, tmp_path, cls, options):
        lines = MOSES if cls is tables.MosesTable else TRAVATAR
        path = write(tmp_path, lines)
        table = cls(path, **options)
        back = pickle.loads(pickle.dumps(table))
        Path(path).unlink()
        assert type(back) is cls and len(back) == len(table)

        def texts(records):
            return sorted(r.to_str() for r in records)

        assert texts(back) == texts(table)
        for src, trg in (line.split("|||")[:2] for line in ModelIndex(lines).lines):
            assert texts(back.find_src(src)) == texts(table.find_src(src))
            if options.get("trg_key"):
                assert texts(back.find_trg(trg)) == texts(table.find_trg(trg))
                assert texts(back.find_trg(trg.strip(), 0)) == texts(table.find_trg(trg, 0))

    def test_host_subclass_and_copies(self, moses_path):
        table = Lowered(moses_path)
        for back in (pickle.loads(pickle.dumps(table)), copy.deepcopy(table)):
            assert type(back) is Lowered
            assert lines_of(back.find_src("DAS")) == lines_of(table.find_src("DAS"))

    def test_state_is_checked(self, moses_path):
        state = tables.Table(moses_path, LineRecord).__getstate__()
        assert len(state) == 10 and state[0] is LineRecord and state[1] == moses_path
        damaged = bytearray(state[5])
        damaged[len(damaged) // 2] ^= 0x10
        for bad in (b"garbage", bytes(damaged), state[5][:-1]):
            with pytest.raises(ValueError, match="not a stored trie"):
                tables.Table.__new__(tables.Table).__setstate__((*state[:5], bad, *state[6:]))
        with pytest.raises(TypeError):
            tables.Table.__new__(tables.Table).__setstate__((*state[:4], 5, *state[5:]))

    def test_searches_are_not_picklable(self, moses_path):
        with pytest.raises(TypeError):
            pickle.dumps(tables.Table(moses_path, LineRecord).find(""))


def gz_lines(path):
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return f.read().split("\n")


@needs_shared_data
@pytest.mark.parametrize(
    ("name", "trg_key"),
    [
        ("moses/multimodel-model2.phrase-table.gz", True),
        ("moses/phrase.2fac.phrase-table.gz", False),
        ("moses/target-syntax.rule-table.txt", True),
        ("moses/hierarchical.rule-table.txt", True),
    ],
)
def test_real_moses_tables(name, trg_key):
    path = SHARED / name
    lines = gz_lines(path) if name.endswith(".gz") else path.read_text("utf-8").split("\n")
    model = ModelIndex(lines)
    table = tables.Table(str(path), LineRecord, trg_key=trg_key)
    picks = random.Random(3).sample(model.lines, min(60, len(model.lines)))
    queries = [tuple(p.strip() for p in line.split("|||")[:2]) for line in picks]
    assert len(table) == len(model.lines)
    assert lines_of(table) == model.lines
    for src, trg in queries:
        assert lines_of(table.find_src(src)) == model.find_src(src)
        assert lines_of(table.find(f"{src} ||| {trg}")) == model.find(f"{src} ||| {trg}")
        if trg_key:
            assert lines_of(table.find_trg(trg)) == model.find_trg(trg)


@needs_shared_data
@pytest.mark.parametrize("name", ["kftt-enja.t2s-rules.txt", "kftt-jaen.t2s-rules.txt"])
@pytest.mark.parametrize("key_type", ["src_symbols", "src_hiero", "src_tree"])
def test_real_travatar_rules(tmp_path, name, key_type):
    rules = (SHARED / "travatar" / name).read_text("utf-8").split("\n")
    lines = [f"{r} ||| p=0.5 ||| 1 1 1 ||| 0-0" for r in rules if r.strip()]
    hiero = key_type == "src_hiero"

    def key(src):
        if key_type == "src_tree":
            return " ".join(src.split())
        return " ".join(TravatarRecord.getSymbols(src, hiero=hiero))

    model = ModelIndex(lines, src_key=key)
    path = write(tmp_path, lines)
    table = tables.TravatarTable(path, key_type=key_type, trg_key=True)

    class TravatarLine(LineRecord):
        getSymbols = staticmethod(TravatarRecord.getSymbols)  # noqa: N815 (the record API)

    plain = tables.Table(path, TravatarLine, key_type=key_type)
    assert len(table) == len(model.lines)
    for line in random.Random(5).sample(model.lines, 150):
        src, trg = (p.strip() for p in line.split("|||")[:2])
        want = model.find_src(src)
        got = sorted(r.to_str() for r in table.find_src(src))
        assert got == sorted(TravatarRecord(w).to_str() for w in want)
        assert lines_of(plain.find_src(src)) == want
        assert sorted(r.src for r in table.find_trg(trg)) == sorted(
            w.split(" ||| ")[0] for w in model.find_trg(trg)
        )


table_pieces = st.sampled_from(["|||", "|COL|", " ", "a", "b c", "|", "\t", "\u3000", "\r", ""])
table_lines = st.lists(st.lists(table_pieces, max_size=12).map("".join), max_size=8)


@settings(max_examples=150, deadline=None)
@given(lines=table_lines, trg_key=st.booleans())
def test_random_tables_load_as_the_model_says_or_fail_cleanly(lines, trg_key):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "t.txt")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write("\n".join(lines))
        try:
            table = tables.Table(path, LineRecord, trg_key=trg_key)
        except IndexError:
            return  # a line without a target side
        model = ModelIndex(lines)
        assert lines_of(table) == model.lines
        for line in model.lines:
            fields = line.split(" ||| ")
            assert lines_of(table.find_src(fields[0])) == model.find_src(fields[0])
            assert lines_of(table.find(line)) == model.find(line)
            if trg_key:
                assert lines_of(table.find_trg(fields[1])) == model.find_trg(fields[1])
                for i, column in enumerate(fields[1].split("|COL|")):
                    if "|COL|" in fields[1]:
                        got = lines_of(table.find_trg(column, i))
                        assert got == model.find_trg(column, i)


@pytest.mark.parametrize("again", ["__init__", "__setstate__"])
def test_a_live_search_goes_on_after_the_table_is_made_again(tmp_path, again):
    table = tables.MosesTable(write(tmp_path, MOSES), trg_key=True)
    other = write(tmp_path, ["x ||| y ||| 0.5 1 0.25 1e-05 ||| 0-0 ||| 1 1 1"], "other.txt")
    searches = [iter(table), table.find_src("das Haus"), table.find_trg("the")]
    first = [next(s).to_str() for s in searches]
    want = [
        [r.to_str() for r in table],
        [r.to_str() for r in table.find_src("das Haus")],
        [r.to_str() for r in table.find_trg("the")],
    ]
    if again == "__init__":
        table.__init__(other)
    else:
        table.__setstate__(tables.MosesTable(other).__getstate__())
    assert [[f, *(r.to_str() for r in s)] for f, s in zip(first, searches, strict=True)] == want
    assert [r.src for r in table] == ["x"]


@pytest.mark.parametrize(
    ("lines", "options"),
    [
        ([" ||| x ||| 1", "a ||| y ||| 1"], {}),
        ([" ||| x ||| 1", "a ||| y ||| 1"], {"trg_key": True}),
        (["a |||  ||| c", "b ||| d ||| c"], {"trg_key": True}),
        (["a ||| b |COL| ", " ||| c", "a ||| |COL| b"], {"trg_key": True}),
        (
            ['X ( "a" ) |||  ||| p=1 ||| 1 1 1', 'X ( "b" ) ||| b ||| p=1 ||| 1 1 1'],
            {"trg_key": True},
        ),
        (["a ||| b ||| 1", "c ||| d ||| 1"], {"key_type": "src_symbols"}),
    ],
)
def test_empty_sides_and_keys_load_and_search_as_the_model_says(tmp_path, lines, options):
    class EmptyKeys(LineRecord):
        # Symbols of "a" are none at all: its key is the empty text.
        @staticmethod
        def getSymbols(phrase, hiero=False):
            return [] if phrase == "a" else phrase.split(" ")

    table = tables.Table(write(tmp_path, lines), EmptyKeys, **options)
    model = ModelIndex(lines, src_key=lambda s: " ".join(EmptyKeys.getSymbols(s)))
    if "key_type" not in options:
        model = ModelIndex(lines)
    assert lines_of(table) == model.lines
    for line in model.lines:
        src, trg = line.split(" ||| ")[:2]
        assert lines_of(table.find_src(src)) == model.find_src(src)
        if options.get("trg_key"):
            assert lines_of(table.find_trg(trg)) == model.find_trg(trg)
