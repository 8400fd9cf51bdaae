"""In-process workers of two fixed accounts, with chats, messages and listeners in memory.

Every entry point may be called from many threads at once; one lock guards all state.
"""

import argparse
import hashlib
import itertools
import os
import threading
import time

from qybridge4.param import VERSION

DEFAULT_NICKNAME = "alice"


class WorkerError(Exception):
    """The worker of an account cannot be reached."""


class _UsageError(Exception):
    pass


class _WordsParser(argparse.ArgumentParser):
    # A worker answers bad words with exit code 2 instead of leaving the process.
    def error(self, message):
        raise _UsageError(f"{self.prog}: error: {message}")

    def exit(self, status=0, message=None):
        raise _UsageError(message or f"{self.prog}: exited with status {status}")


class _Account:
    def __init__(self, nickname, contacts, moments):
        self.nickname = nickname
        self.instance_id = f"worker-{nickname}-1"
        self.contacts = contacts
        self.moments = moments
        self.messages = []
        self.subscriptions = {}
        self.last_error = None


_lock = threading.Lock()
_ids = itertools.count(1)
_accounts = {
    "alice": _Account(
        "alice",
        [{"name": "bob", "tags": ["friends"]}, {"name": "carol", "tags": ["work"]}],
        [{"author": "bob", "text": "sunset at the lake", "likes": 3},
         {"author": "carol", "text": "new office", "likes": 1}],
    ),
    "bob": _Account(
        "bob",
        [{"name": "alice", "tags": ["friends"]}],
        [{"author": "alice", "text": "hello moments", "likes": 0}],
    ),
}


def _account(record):
    account = _accounts.get(record.get("nickname"))
    if account is None or record.get("instance_id") != account.instance_id:
        raise WorkerError(f"worker is not running: {record.get('nickname')}")
    return account


def find_worker(nickname):
    account = _accounts.get(DEFAULT_NICKNAME if nickname is None else nickname)
    if account is None:
        return None
    return {"nickname": account.nickname, "instance_id": account.instance_id}


def list_workers():
    with _lock:
        return [
            {
                "nickname": account.nickname,
                "default": account.nickname == DEFAULT_NICKNAME,
                "state": "running",
                "package_version": VERSION,
                "pending_callbacks": sum(len(s["events"]) for s in account.subscriptions.values()),
                "active_callbacks": len(account.subscriptions),
                "last_error": account.last_error,
            }
            for account in _accounts.values()
        ]


# ---- commands ---------------------------------------------------------------

def _file_digest(path):
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(65536), b""):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def _deliver(account, chat, entry):
    """Store a sent message and queue it for every subscription to its chat."""
    account.messages.append(entry)
    for sub in account.subscriptions.values():
        if chat in sub["chats"]:
            event_id = f"{sub['subscription_id']}:{next(_ids)}"
            sub["events"].append({"event_id": event_id, "chat": chat, "type": "message",
                                  "sender": account.nickname, "text": entry.get("text", "")})


def _run(account, args, path):
    if path == ("status",):
        return {"nickname": account.nickname, "state": "running", "package_version": VERSION}
    if path == ("sessions", "list"):
        chats = [c["name"] for c in account.contacts]
        chats += [m["to"] for m in account.messages if m["to"] not in chats]
        last = {m["to"]: m.get("text", m.get("filename")) for m in account.messages}
        return [{"chat": chat, "last_message": last.get(chat)} for chat in chats][: args.limit]
    if path == ("message", "list"):
        rows = [dict(m) for m in account.messages if args.chat in (None, m["to"])]
        return rows[-args.limit:] if args.limit > 0 else []
    if path == ("message", "send"):
        entry = {"message_id": next(_ids), "to": args.to, "text": args.text}
        _deliver(account, args.to, entry)
        return dict(entry)
    if path == ("contacts", "by-tag"):
        return [dict(c) for c in account.contacts if args.tag in c["tags"]]
    if path == ("contacts", "details"):
        found = [dict(c) for c in account.contacts if c["name"] == args.name]
        if not found:
            raise LookupError(f"contact not found: {args.name}")
        return found[0]
    if path == ("moments", "list"):
        return [dict(post) for post in account.moments[: args.limit]]
    return None


def _command_path(args):
    path = (args.command,)
    sub = getattr(args, f"{args.command}_command", None)
    if sub is not None:
        path += (sub,)
    if getattr(args, "requests_command", None) is not None:
        path += (args.requests_command,)
    return path


def _answer(account, exit_code, result=None, stderr="", error=None):
    response = {"instance_id": account.instance_id, "nickname": account.nickname,
                "exit_code": exit_code, "result": result, "stderr": stderr}
    if error is not None:
        response["error"] = error
    return response


def execute_worker(record, argv, timeout=60.0):
    deadline = time.monotonic() + timeout
    account = _account(record)
    from qybridge4.cli.main import _build_parser

    try:
        args = _build_parser(parser_class=_WordsParser).parse_args(list(argv))
    except _UsageError as exc:
        return _answer(account, 2, stderr=str(exc).rstrip("\n") + "\n")
    path = _command_path(args)
    try:
        if path == ("message", "send-file"):
            size, sha256 = _file_digest(args.file)
            entry = {"message_id": None, "to": args.to, "file": args.file,
                     "filename": os.path.basename(args.file), "size": size, "sha256": sha256}
            with _lock:
                entry["message_id"] = next(_ids)
                _deliver(account, args.to, entry)
            result = dict(entry)
        else:
            with _lock:
                result = _run(account, args, path)
            if result is None:
                return _answer(account, 2, stderr=f"unsupported command: {' '.join(path)}\n")
    except (OSError, LookupError) as exc:
        with _lock:
            account.last_error = str(exc)
        return _answer(account, 1, error=str(exc))
    if time.monotonic() >= deadline:
        raise TimeoutError(f"command did not end within {timeout} s")
    return _answer(account, 0, result)


# ---- listeners --------------------------------------------------------------

def _subscription(account, subscription_id):
    sub = account.subscriptions.get(subscription_id)
    if sub is None:
        raise LookupError(f"subscription not found: {subscription_id}")
    return sub


def _summary(sub):
    return {"subscription_id": sub["subscription_id"], "chats": list(sub["chats"]),
            "pending_events": len(sub["events"]), "has_callback": sub["has_callback"]}


def _listen(account, action, kw):
    if action == "start":
        chats = list(kw["chats"])
        if not chats or not all(isinstance(c, str) and c for c in chats):
            raise ValueError("listen start requires chat names")
        callback = kw.get("callback")
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable")
        sid = f"{account.nickname}-sub-{next(_ids)}"
        # A new subscription starts with one greeting event per chat.
        events = [{"event_id": f"{sid}:{next(_ids)}", "chat": chat, "type": "subscribed",
                   "sender": None, "text": f"listening to {chat}"} for chat in chats]
        sub = {"subscription_id": sid, "chats": chats, "events": events, "leases": {},
               "has_callback": callback is not None}
        account.subscriptions[sid] = sub
        return _summary(sub)
    if action == "list":
        return [_summary(s) for s in account.subscriptions.values()]
    if action == "status":
        return _summary(_subscription(account, kw["subscription_id"]))
    if action == "pull":
        sub = _subscription(account, kw["subscription_id"])
        limit, lease = kw["limit"], float(kw["lease_seconds"])
        now = time.time()
        free = [e for e in sub["events"] if sub["leases"].get(e["event_id"], 0.0) <= now]
        batch = free[: max(int(limit), 0)] if limit is not None else free
        for event in batch:
            sub["leases"][event["event_id"]] = now + lease
        return {"subscription_id": sub["subscription_id"],
                "events": [dict(e) for e in batch], "lease_seconds": lease}
    if action == "ack":
        sub = _subscription(account, kw["subscription_id"])
        wanted = set(kw["event_ids"])
        acked = [e["event_id"] for e in sub["events"] if e["event_id"] in wanted]
        sub["events"] = [e for e in sub["events"] if e["event_id"] not in wanted]
        for event_id in acked:
            sub["leases"].pop(event_id, None)
        return {"subscription_id": sub["subscription_id"], "acked": acked,
                "unknown": sorted(wanted.difference(acked))}
    if action == "stop":
        if kw["all"]:
            stopped = list(account.subscriptions)
        elif kw["subscription_id"]:
            stopped = [_subscription(account, kw["subscription_id"])["subscription_id"]]
        else:
            raise ValueError("listen stop requires a subscription ID or --all")
        for sid in stopped:
            del account.subscriptions[sid]
        return {"stopped": stopped}
    raise ValueError(f"unknown listener action: {action}")


def remote_listener_request(record, action, **kwargs):
    account = _account(record)
    with _lock:
        return _listen(account, action, kwargs)
