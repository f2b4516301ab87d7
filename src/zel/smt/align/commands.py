"""The alignment command lines as installed: each runs its entry function under
``zel.common.command.run``, so that its exit status tells how it went and SIGTERM or SIGHUP
end it as Ctrl-C does. The modules are imported inside the run: an interrupt while they load
ends the command quietly too."""

import importlib

from zel.common import command


def _entry(module, function, failure_note=None):
    name = f"zel.smt.align.{module}"

    def main():
        return getattr(importlib.import_module(name), function)()

    return command.run(main, name, failure_note)


def train():
    return _entry(
        "emalign",
        "main_train",
        "training ended by the error above: the files written hold the model as it was then",
    )


def score():
    return _entry("emalign", "main_score")


def align():
    return _entry("bidirectional", "main")


def symmetrize():
    return _entry("symmetrize", "main")


def evaluate():
    return _entry("evaluate", "main")


def show():
    return _entry("show", "main")
