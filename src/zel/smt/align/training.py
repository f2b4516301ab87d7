"""What every training road keeps, in one process or on a cluster: train, then write the
model's files. Ctrl-C during training keeps the model of the last complete step and writes its
files, or, before there is one, writes nothing and says so; Ctrl-C while the files are written
starts the writing again once, and a second one stops it."""

from zel.common import command
from zel.common import logging as zlogging

logger = zlogging.getColorLogger(__name__)

# What the HMM's roads, in one process or on a cluster, say of an interrupt in training.
HMM_KEPT = "interrupted by keyboard: writing the model of the last iteration done"
HMM_UNTRAINED = "interrupted by keyboard before the first HMM iteration: no model"


def train_then_write(train, trained, write, *, on_interrupt, untrained):
    """Runs `train()`, then returns `write()`. After Ctrl-C in training, when `trained()` says a
    model exists, `on_interrupt()` (which says what is written, and readies the model of the
    last complete step) runs before writing, and command.Interrupted is raised once the files
    are written; else `untrained` is logged and the interrupt raised again."""
    interrupted = None
    try:
        train()
    except KeyboardInterrupt as e:
        if not trained():
            logger.warning("%s", untrained)
            raise
        interrupted = e
        on_interrupt()
    while True:
        try:
            result = write()
            break
        except KeyboardInterrupt as e:
            if interrupted is not None:
                raise
            logger.warning("interrupted by keyboard: writing the files of the trained model")
            interrupted = e
    if interrupted is not None:
        raise command.Interrupted() from interrupted
    return result
