"""Word alignment for Python programs: train on sentences in memory or in files, align new
pairs in memory, and keep the model in the folder zel-align writes.

    aligner = Aligner()
    aligner.fit(["a house", "the house"], ["une maison", "la maison"])
    aligner.align("the house", "la maison")      # [(0, 0), (1, 1)]
    aligner.save("model")                        # zel-align --score-only model reads it
    Aligner.load("model").align_batch(src_sentences, trg_sentences)

A sentence is a string (split at single spaces, as zel-align splits a corpus line; with
``character=True`` into characters) or a list of word strings. Links are (source position,
target position) pairs, 0-based, in ascending order.
"""

import itertools
import os
import shutil
import tempfile
import weakref
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from zel.common import logging as zlogging
from zel.common import threads

from . import bidirectional, emalign, evaluate, hmm, hmm_road

Sentence = str | Sequence[str]
Link = tuple[int, int]
ScoredLink = tuple[int, int, float]

_SIDES = ("src", "trg")
# zel-align's settings that an Aligner takes (the others name its files and folders).
SETTINGS = (
    "model",
    "iteration_limit",
    "hmm_iterations",
    "agreement",
    "prior",
    "prune",
    "sampling_iterations",
    "chains",
    "seed",
    "decoding",
    "posterior_threshold",
    "heuristic",
    "threshold",
    "nbest",
    "character",
    "workers",
    "scheduler",
    "shard_size",
    "save_scores",
    "write_link_posteriors",
    "debug",
    "quiet",
)


class Aligner:
    """A word aligner: zel-align's settings as keywords (see SETTINGS; the defaults are
    zel-align's) and ``threads`` (the threads training uses; None: the process's setting)."""

    def __init__(self, *, threads: int | None = None, **settings: Any) -> None:
        unknown = sorted(set(settings) - set(SETTINGS))
        if unknown:
            raise TypeError(f"Aligner() got unknown settings: {', '.join(unknown)}")
        if threads is not None and (
            isinstance(threads, bool) or not isinstance(threads, int) or threads < 1
        ):
            raise ValueError(f"threads must be a whole number >= 1 or None, not {threads!r}")
        self._settings = _settings(settings)
        self._given = settings
        self._threads = threads
        self._folder: Path | None = None
        self._pairs: Any = None

    @property
    def settings(self) -> dict[str, Any]:
        """The settings in force, defaults included."""
        return {k: self._settings[k] for k in SETTINGS}

    @property
    def fitted(self) -> bool:
        """Whether there is a model: fit() or load() ran."""
        return self._folder is not None

    def fit(
        self,
        src: Sequence[Sentence] | os.PathLike | str,
        trg: Sequence[Sentence] | os.PathLike | str,
    ) -> list[list[Link]]:
        """Trains on two lists of sentences, or two corpus files of a sentence a line, as
        zel-align does (with its log and progress); returns the links of every pair, those of
        zel-align's links.txt."""
        work = Path(tempfile.mkdtemp(prefix="zel-aligner-"))
        weakref.finalize(self, shutil.rmtree, work, True)
        paths = []
        for side, given in zip(_SIDES, (src, trg), strict=True):
            if isinstance(given, (str, os.PathLike)):
                paths.append(os.fspath(given))
            else:
                path = work / f"corpus.{side}"
                path.write_text(self._text(given, side), encoding="utf-8")
                paths.append(path)
        if not isinstance(src, (str, os.PathLike)) and not isinstance(trg, (str, os.PathLike)):
            _same_length(src, trg)
            if not src:
                raise ValueError("fit() needs at least one sentence pair")
        folder = work / "model"
        saved = threads.get_threads()
        if self._threads is not None:
            threads.set_threads(self._threads)
        conf = {**self._given, "src_path": paths[0], "trg_path": paths[1], "outdir": folder}
        try:
            with self._logging():
                written = bidirectional.align_both(conf)
                if written["links"] is None:
                    raise RuntimeError("training stopped before both directions were trained")
                hmm_model = self._settings["model"] in hmm_road.MODELS
                self._pairs = self._read_model(folder) if hmm_model else None
        finally:
            threads.set_threads(saved)
        self._folder = folder
        return _read_links(Path(written["final"]))

    def align(
        self, src_sentence: Sentence, trg_sentence: Sentence, *, posteriors: bool = False
    ) -> list[Link] | list[ScoredLink]:
        """The links of one pair under the model; with `posteriors`, (i, j, posterior)."""
        return self.align_batch([src_sentence], [trg_sentence], posteriors=posteriors)[0]

    def align_batch(
        self,
        src_sentences: Sequence[Sentence],
        trg_sentences: Sequence[Sentence],
        *,
        posteriors: bool = False,
    ) -> list[list[Link]] | list[list[ScoredLink]]:
        """The links of each pair, aligned on every core as zel-align --score-only aligns a
        corpus of them with the model's files; with `posteriors`, (i, j, posterior) each.
        The interpreter lock is released meanwhile, so threads may align at once."""
        pairs = self._require_pairs()
        src_text = self._text(src_sentences, "src_sentences")
        trg_text = self._text(trg_sentences, "trg_sentences")
        _same_length(src_sentences, trg_sentences)
        posterior = self._settings["decoding"] == "posterior"
        starts, links, probs = pairs.align(
            src_text,
            trg_text,
            threshold=self._new_pairs_threshold() if posterior else None,
            heuristic=self._settings["heuristic"],
            posteriors=posteriors,
        )
        flat = [tuple(link) for link in links.tolist()]
        if posteriors:
            flat = [(i, j, p) for (i, j), p in zip(flat, probs.tolist(), strict=True)]
        bounds = starts.tolist()
        return [flat[a:b] for a, b in itertools.pairwise(bounds)]

    def save(self, folder: os.PathLike | str) -> Path:
        """Writes the model's files (those zel-align writes) into `folder`, made when missing;
        zel-align --score-only and Aligner.load read it. Returns the folder."""
        if self._folder is None:
            raise ValueError("no model yet: fit() or load() first")
        target = Path(folder)
        target.mkdir(parents=True, exist_ok=True)
        for path in sorted(self._folder.iterdir()):
            if path.is_file() and path.resolve() != (target / path.name).resolve():
                shutil.copyfile(path, target / path.name)
        return target

    @classmethod
    def load(cls, folder: os.PathLike | str, **settings: Any) -> "Aligner":
        """An Aligner of the HMM files zel-align (or save) wrote in `folder`; `settings` as
        Aligner's (decoding, posterior_threshold, heuristic, character: as trained)."""
        aligner = cls(**settings)
        if aligner._settings["model"] not in hmm_road.MODELS:
            raise ValueError(
                f"load reads the HMM's files: it takes no model but {' or '.join(hmm_road.MODELS)}"
            )
        folder = Path(folder)
        if not folder.is_dir():
            raise FileNotFoundError(f"no such model folder: {os.fspath(folder)}")
        with aligner._logging():
            aligner._pairs = aligner._read_model(folder)
        aligner._folder = folder
        return aligner

    def __reduce__(self):
        raise TypeError("an Aligner does not pickle: save(folder), then Aligner.load(folder)")

    def _logging(self):
        switches = {"debug": self._settings["debug"], "quiet": self._settings["quiet"]}
        names = [*bidirectional.loggers(), emalign.__name__, hmm.__name__]
        return zlogging.using_config(names, **switches)

    def _read_model(self, folder):
        for path in hmm_road.model_files(folder):
            if not path.is_file():
                raise FileNotFoundError(f"{os.fspath(folder)}: no model file {path.name}")
        return hmm.PairAligner(*hmm_road.model_files(folder), character=self._settings["character"])

    def _new_pairs_threshold(self):
        # New pairs are aligned with the HMM's posteriors under the model's tables, as
        # --score-only aligns them, whatever model made the tables.
        given = self._given.get("posterior_threshold")
        if given is None:
            return hmm_road.default_posterior_threshold(self._settings["model"], score_only=True)
        return float(given)

    def _require_pairs(self):
        if self._pairs is not None:
            return self._pairs
        if self._folder is None:
            raise ValueError("no model yet: fit() or load() first")
        raise ValueError(
            "aligning new pairs needs the HMM: this Aligner trained model="
            f"{self._settings['model']!r} (its links are fit()'s)"
        )

    def _text(self, sentences, name):
        if isinstance(sentences, (str, bytes)) or not isinstance(sentences, Sequence):
            raise TypeError(f"{name}: not a list of sentences ({type(sentences).__name__})")
        character = self._settings["character"]
        lines = [_line(s, f"{name}[{n}]", character) for n, s in enumerate(sentences)]
        return "".join(line + "\n" for line in lines)


def _settings(given):
    return bidirectional.settings_of({**given, "src_path": "-", "trg_path": "-", "outdir": "-"})


def _same_length(src, trg):
    if len(src) != len(trg):
        raise ValueError(f"{len(src)} source sentences but {len(trg)} target sentences")


def _line(sentence, where, character):
    """A sentence as a corpus line."""
    if isinstance(sentence, str):
        line = sentence.strip("\r\n")
        if "\n" in line or "\r" in line:
            raise ValueError(f"{where}: a sentence holds a line break")
    elif isinstance(sentence, Sequence) and not isinstance(sentence, bytes):
        if character:
            raise TypeError(f"{where}: with character=True a sentence is a string")
        for word in sentence:
            if not isinstance(word, str):
                raise TypeError(f"{where}: a word is not a string ({type(word).__name__})")
            if not word or any(c in word for c in " \r\n"):
                raise ValueError(
                    f"{where}: {word!r} is not a word (empty, or holds a space or line break)"
                )
        line = " ".join(sentence)
    else:
        raise TypeError(f"{where}: not a string or a list of words ({type(sentence).__name__})")
    try:
        line.encode("utf-8")
    except UnicodeEncodeError as e:
        raise ValueError(f"{where}: not text ({e.reason} at character {e.start})") from None
    return line


def _read_links(path):
    # Each line of a links file is sorted, so a pair's sorted set is the line's order.
    return [sorted(pair) for pair in evaluate.read_links(path)]
