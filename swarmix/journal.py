"""Journals of fits: ``read_journal`` and what it gives, and ``python -m swarmix.journal PATH``,
a summary of the journal at PATH (class, evaluations, failures, best value and point, whether
complete). The file format is in docs/journal.md.
"""

import sys

from swarmix._journal_file import Journal, RecordedError, main, read_journal, summary

__all__ = ["Journal", "RecordedError", "read_journal", "summary", "main"]

if __name__ == "__main__":
    sys.exit(main())
