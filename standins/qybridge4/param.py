"""Package-wide constants and the result objects of user-level operations."""

VERSION = "4.0.0"


class QyResponse:
    """The outcome of an operation: its ``kind`` ("success", "error" or "failure") and message."""

    __slots__ = ("kind", "message")

    def __init__(self, kind, message=None):
        self.kind = kind
        self.message = message

    @classmethod
    def success(cls, message=None):
        return cls("success", message)

    @classmethod
    def error(cls, message):
        return cls("error", message)

    @classmethod
    def failure(cls, message):
        return cls("failure", message)

    def __eq__(self, other):
        if not isinstance(other, QyResponse):
            return NotImplemented
        return (self.kind, self.message) == (other.kind, other.message)

    __hash__ = None

    def __repr__(self):
        return f"QyResponse.{self.kind}({self.message!r})"


class QyParam(dict):
    """Named parameters of an operation, read as attributes."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None
