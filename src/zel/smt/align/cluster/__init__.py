"""Training on a Dask cluster, IBM Models 1 and 2 (``train``) or the HMM in both directions
(``align_hmm``): the corpus cut into shards, each shard's E-steps on the workers, the whole's
rows cut into ranges re-estimated on the workers too.

The corpus is cut into shards of ``shard_size`` pairs (the last one shorter). A worker reads
its shards itself when it can open the input files (a shared file system; compressed files are
always read here and sent); each shard's pairs and tables stay on its worker across iterations.
The whole's translation table is cut into ranges of rows (one per worker, more when a range
would pass 2^31 cells): each iteration every shard sends each range the counts of its cells
there, the range adds them up, re-estimates its rows and sends every shard the values of its own
cells back. A row's re-estimation reads only its own counts, so the cut does not change a value.
A worker re-estimates the alignment table the same way, and each range writes its own lines of
the translation file; this process reads the entropies (and the HMM's jump counts, whose small
tables it re-estimates) and writes the files. The HMM's shards hold both directions' tables,
and each of its E-steps reads both directions' values, as one process's by agreement does.

Word ids are those one process gives the whole corpus (each shard's first appearances
registered in shard order), and a shard's E-step is one process's arithmetic pair for pair.
The counts of a cell are added up in shard order (within a shard in pair order), and the
entropy is the sum of the shards' sums, in shard order, over the number of pairs (or, for the
HMM, of target words; its jump counts are added up the same way). So for a
given corpus, settings and shard size every file is the same bytes whatever the number of
workers and the order in which they finish; with one shard they are one process's files. With
several shards a cell's count is ``((0 + c_1) + c_2) + ...`` over the shards' partial sums
instead of one running sum over all pairs, which can differ from one process's in the last
bits.

The shards are planned in ``shards``, the workers' tasks are in ``tasks``, the client of a
cluster and what both models' drivers share in ``client``, the drivers in ``ibm`` and ``hmm``,
and the roads that train and write the files in ``roads``. Dask is an optional dependency:
``pip install 'zel[distributed]'``.
"""

from .client import Cluster
from .roads import SHARD_SIZE, Interrupted, align_hmm, open_for, plan_shards, train, wanted

__all__ = [
    "SHARD_SIZE",
    "Cluster",
    "Interrupted",
    "align_hmm",
    "open_for",
    "plan_shards",
    "train",
    "wanted",
]
