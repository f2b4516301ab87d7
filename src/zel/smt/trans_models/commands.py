"""The rule-table command lines as installed: each runs its entry function under
``zel.common.command.run``, so that its exit status tells how it went and SIGTERM or SIGHUP
end it as Ctrl-C does; the modules are imported inside the run."""

import importlib

from zel.common import command


def extract():
    name = "zel.smt.trans_models.extract"

    def main():
        return importlib.import_module(name).main()

    return command.run(main, name)
