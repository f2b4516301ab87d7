"""A plain-Python index of a rule table: what every search of the native index must answer.

Lines are compared as the index rebuilds them: every field stripped, joined by " ||| ".
"""


def norm(line):
    return " ||| ".join(p.strip() for p in line.split("|||"))


class LineRecord:
    """A record class that keeps the rebuilt line it is given, to compare searches by text."""

    def __init__(self, line):
        self.line = line

    @staticmethod
    def getSymbols(phrase, hiero=False):
        return phrase.split(" ")


class ModelIndex:
    def __init__(self, table_lines, src_key=lambda src: src):
        self.lines = sorted({norm(line) for line in table_lines if line.strip()})
        self.fields = {f for line in self.lines for f in line.split(" ||| ") if f}
        self.src_key = src_key
        self.by_first, self.by_key, self.by_trg = {}, {}, {}
        for line in self.lines:
            fields = line.split(" ||| ")
            self.by_first.setdefault(fields[0], []).append(line)
            self.by_key.setdefault(src_key(fields[0]), []).append(line)
            if len(fields) > 1:
                self.by_trg.setdefault(fields[1], []).append(line)

    def _fields(self, line):
        return line.split(" ||| ")

    def find(self, prefix):
        want = [p.strip() for p in prefix.split("|||")]
        if any(p and p not in self.fields for p in want):
            return []
        out = []
        for line in self.by_first.get(want[0], []) if want[0] else self.lines:
            have = self._fields(line)
            head, last = want[:-1], want[-1]
            if len(have) < len(want) or have[: len(head)] != head:
                continue
            if last == "" or have[len(head)] == last:
                out.append(line)
        return out

    # An empty key is the prefix of every pair key: it finds every line that has such a key.
    def find_src(self, src):
        key = self.src_key(src).strip()
        return list(self.lines) if key == "" else self.by_key.get(key, [])

    def find_trg(self, trg, target_index=None):
        key = trg.strip()
        if target_index is None:
            return (
                [line for line in self.lines if "|||" in line]
                if key == ""
                else self.by_trg.get(key, [])
            )
        out = []
        for line in self.lines:
            side = self._fields(line)[1]
            if "|COL|" in side:
                columns = [c.strip() for c in side.split("|COL|")]
                if target_index < len(columns) and key in ("", columns[target_index]):
                    out.append(line)
        return out


def lines_of(records):
    """The sorted lines of a search's records (records of LineRecord)."""
    return sorted(r.line for r in records)
