"""``python -m tallowmere.vellumcrest``: the ``vellumcrest-keywords`` command."""

from .cli import run

if __name__ == "__main__":
    run(prog="python -m tallowmere.vellumcrest")
