"""The exceptions of the command: a failure the user should see, and a signal that ends it."""


class CliError(Exception):
    """A failure to report as one line on stderr."""


class Interrupted(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the command is, so that it cleans up as after Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
