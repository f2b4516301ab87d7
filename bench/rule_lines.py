"""Generated rule-table lines shaped like real tables, shared by the rule benchmarks."""


def phrase_pool(rng, words, size):
    return [" ".join(rng.choices(words, k=rng.randint(1, 5))) for _ in range(size)]


def moses_lines(n, rng):
    # As in real phrase tables, a source phrase comes with many translations (20 lines on
    # average here), listed together, and target phrases recur too.
    words = [f"w{i}" for i in range(5000)]
    sources = sorted(phrase_pool(rng, words, max(n // 20, 1)))
    targets = phrase_pool(rng, words, max(n // 5, 1))
    out = []
    for k in range(n):
        src, trg = sources[k * len(sources) // n], rng.choice(targets)
        ls, lt = src.count(" ") + 1, trg.count(" ") + 1
        scores = " ".join(f"{rng.random():.6g}" for _ in range(4))
        points = " ".join(
            f"{rng.randrange(ls)}-{rng.randrange(lt)}" for _ in range(rng.randint(1, 4))
        )
        counts = f"{rng.randint(1, 99)} {rng.randint(1, 99)} {rng.randint(1, 9)}"
        out.append(f"{src} ||| {trg} ||| {scores} ||| {points} ||| {counts}")
    return out


def travatar_lines(n, rng, columns=False):
    """Tree-to-string rules; with `columns`, every fourth target has two "|COL|" columns."""
    words = [f"w{i}" for i in range(5000)]
    tags = ["NP", "VP", "PP", "NN", "JJ"]
    out = []
    for k in range(n):
        a, b = rng.choice(words), rng.choice(words)
        src = f'{rng.choice(tags)} ( x0:{rng.choice(tags)} "{a}" x1:{rng.choice(tags)} )'
        trg = f'x1 "{b}" x0'
        if columns and k % 4 == 0:
            trg += f' |COL| x0 "{rng.choice(words)}" x1'
        feats = f"egfp={-rng.random():.6g} egfl={-rng.random():.6g} p=1 w=1"
        out.append(f"{src} ||| {trg} ||| {feats} ||| 3 2 1 ||| 0-0 1-1")
    return out
