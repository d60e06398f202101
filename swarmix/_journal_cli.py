"""``python -m swarmix.journal``: the command line of journals.

    python -m swarmix.journal PATH              a summary of the journal at PATH
    python -m swarmix.journal repair PATH OUT   the valid records of a damaged journal, to OUT
"""

from __future__ import annotations

import math
import os
import sys

from swarmix._journal_file import Journal, journal_of, read_journal, salvage

__all__ = ["main", "summary", "ending", "repair"]


def ending(journal: Journal) -> str:
    """How the fit ended: "finished", "stopped early (REASON) after ..." or "not ended"."""
    if not journal.complete:
        return "not ended"
    if journal.stop_reason is None:
        return "finished"
    completed, planned = journal.iterations or (0, 0)
    return (f"stopped early ({journal.stop_reason}) after {len(journal.points)} evaluations, "
            f"{completed} of {planned} planned iterations")


def summary(journal: Journal) -> str:
    # failures as the fit counts them: errors, non-numbers and NaN values
    failures = sum(value is None or any(math.isnan(v) for v in (value if isinstance(value, list) else [value]))
                   for value in journal.values)
    lines = [f"class        {journal.cls} (random_state={journal.random_state})",
             f"evaluations  {len(journal.points)}",
             f"failures     {failures}"]
    if journal.kind == "scalar":
        found = [(v, i) for i, v in enumerate(journal.values) if v is not None and not math.isnan(v)]
        if found:
            value, i = min(found)
            lines += [f"best value   {value!r}", f"best point   {journal.points[i]!r}"]
    else:
        lines.append("best         (several objectives)")
    lines.append(f"complete     {'yes' if journal.complete else 'no'}")
    lines.append(ending(journal))
    return "\n".join(lines)


def repair(path: str, out: str) -> tuple[int, int]:
    """Write the valid records of the journal at ``path`` to ``out`` (a new file): how many
    evaluations were kept and how many intact records past the damage held (dropped)."""
    with open(path, "rb") as f:
        data = f.read()
    parsed, dropped = salvage(data, os.fspath(path))
    kept = sum(run.count for run in parsed.records)
    with open(out, "xb") as f:
        f.write(data[:parsed.end])
    return kept, dropped


USAGE = "\n  python -m swarmix.journal [-h] PATH\n  python -m swarmix.journal repair [-h] PATH OUT"


def main(argv: list[str] | None = None) -> int:
    import argparse

    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv[:1] == ["repair"]:
            ap = argparse.ArgumentParser(prog="python -m swarmix.journal repair",
                                         description="Write the valid records of a damaged journal (those before "
                                                     "the damage) to the new file OUT.")
            ap.add_argument("path", metavar="PATH", help="the damaged journal (left as it is)")
            ap.add_argument("out", metavar="OUT", help="the file to write (it must not exist)")
            args = ap.parse_args(argv[1:])
            kept, dropped = repair(args.path, args.out)
            print(f"kept {kept} evaluations, dropped {dropped}")
            return 0
        ap = argparse.ArgumentParser(
            prog="python -m swarmix.journal", usage=USAGE, formatter_class=argparse.RawDescriptionHelpFormatter,
            description="Summarise a swarmix journal: its fit, evaluations, failures, best value and point, and "
                        "how the fit ended.",
            epilog="commands:\n  repair PATH OUT  write the valid records of a damaged journal at PATH (those before "
                   "the damage)\n                   to the new file OUT; say how many evaluations were kept and "
                   "dropped")
        ap.add_argument("path", metavar="PATH", help="the journal to summarise")
        args = ap.parse_args(argv)
        print(summary(read_journal(args.path)))
        return 0
    except (OSError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1


__all__ += ["journal_of"]
