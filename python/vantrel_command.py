"""The ``vantrel`` command's entry point, kept outside the package: importing ``vantrel_tools``
takes a moment (NumPy, the codec), and Ctrl-C in that moment must end the command as it does at
any other time, in one line and status 130, not with a traceback."""

from __future__ import annotations

import signal
import sys


def main() -> int:
    try:
        from vantrel_tools.cli import main as command
    except KeyboardInterrupt:
        sys.stderr.write("vantrel: error: interrupted\n")
        return 128 + signal.SIGINT
    return command()


if __name__ == "__main__":
    sys.exit(main())
