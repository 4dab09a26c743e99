"""korvane.Error, kept apart so that the compiled module can raise it."""


class Error(Exception):
    """Korvane could not do what was asked.

    ``str(error)`` is the library's message, which names the file and line.
    ``file`` is the file concerned (None when none is), ``line`` its 1-based
    line (None when no line is), and ``kind`` one of "cannot_open", "io",
    "invalid_number", "number_out_of_range", "refused" or "internal".
    """

    def __init__(self, message, file=None, line=None, kind="internal"):
        super().__init__(message)
        self.message = message
        self.file = file
        self.line = line
        self.kind = kind

    def __reduce__(self):
        # Exceptions pickle their args only; the fields must cross to a Dask client too.
        return (type(self), (self.message, self.file, self.line, self.kind))
