"""Base class of the client's sub-windows."""


class SubWndMeta(type):
    """Builds the sub-window classes and records each one in ``created``, in order."""

    created = []

    def __new__(mcls, name, bases, namespace, **kwargs):
        cls = super().__new__(mcls, name, bases, namespace, **kwargs)
        mcls.created.append(cls)
        return cls


class BaseUISubWnd(metaclass=SubWndMeta):
    _ui_cls_name = None
    _ui_name = None

    def __init__(self, *args, **kwargs):
        raise RuntimeError("BaseUISubWnd.__init__ is not meant to be called by sub-windows")
