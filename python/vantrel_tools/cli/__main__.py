"""``python -m vantrel_tools.cli``: the ``vantrel`` command."""

from . import run

run()
