"""Texts of the WeChat client's interface."""

__all__ = ["LANGUAGE", "MOMENTS", "PUBLISH", "REFRESH", "CLOSE", "LIKE", "COMMENT", "SEND"]

LANGUAGE = "zh_CN"
MOMENTS = "朋友圈"
PUBLISH = "发表"
REFRESH = "刷新"
CLOSE = "关闭"
LIKE = "赞"
COMMENT = "评论"
SEND = "发送"

_TEXTS = {name: globals()[name] for name in __all__[1:]}


def text_of(key):
    """The interface text of a key such as "MOMENTS"; not exported."""
    return _TEXTS[key]
