"""The one exception the command's parts raise for a failure the user should see."""


class CliError(Exception):
    """A failure to report as one line on stderr."""
