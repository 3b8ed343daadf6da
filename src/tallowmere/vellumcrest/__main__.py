"""``python -m tallowmere.vellumcrest``: the ``vellumcrest-keywords`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m tallowmere.vellumcrest"))
