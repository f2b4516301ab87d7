"""Word alignment: IBM Models 1 and 2 and the HMM trained with expectation maximisation, and
``Aligner``, which trains and aligns sentences in memory."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .aligner import Aligner


def __getattr__(name):
    # Aligner brings in every road; the modules that do not need it stay quick to import.
    if name == "Aligner":
        from .aligner import Aligner

        return Aligner
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["Aligner"]
