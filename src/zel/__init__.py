"""zel: statistical machine translation toolkit (word alignment and rule tables)."""

__version__ = "0.1.0"
