"""``python -m vantrel_tools``: the ``vantrel`` command."""

from .cli import main

raise SystemExit(main())
