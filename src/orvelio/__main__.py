"""python -m orvelio: the orvelio command line (`python -m orvelio FILE...` lists datablocks)."""
import sys

from orvelio.cli import main

if __name__ == "__main__":
    sys.exit(main())
