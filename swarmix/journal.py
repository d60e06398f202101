"""Journals of fits: ``read_journal`` and what it gives, and the command line:
``python -m swarmix.journal PATH`` summarises the journal at PATH (class, evaluations,
failures, best value and point, how the fit ended); ``python -m swarmix.journal repair PATH
OUT`` writes the valid records of a damaged journal to OUT. The file format is in
docs/journal.md.
"""

import sys

from swarmix._journal_cli import main, summary
from swarmix._journal_file import Journal, RecordedError, read_journal

__all__ = ["Journal", "RecordedError", "read_journal", "summary", "main"]

if __name__ == "__main__":
    sys.exit(main())
