"""Command-line parser of qybridge4 and a minimal entry that shows what it parsed."""

import argparse
import json
import sys


def _add_listen(commands):
    listen = commands.add_parser("listen", help="manage chat listeners")
    actions = listen.add_subparsers(dest="listen_command", required=True)

    start = actions.add_parser("start", help="subscribe to chats")
    start.add_argument("chats", nargs="+", metavar="CHAT")
    start.add_argument("--callback-file", dest="callback_file", default=None)
    start.add_argument("--callback-code", dest="callback_code", default=None)

    actions.add_parser("list", help="list subscriptions")

    status = actions.add_parser("status", help="show one subscription")
    status.add_argument("subscription_id")

    pull = actions.add_parser("pull", help="lease pending events")
    pull.add_argument("subscription_id", nargs="?", default=None)
    pull.add_argument("--all", action="store_true")
    pull.add_argument("--limit", type=int, default=50)
    pull.add_argument("--lease-seconds", dest="lease_seconds", type=float, default=60.0)

    ack = actions.add_parser("ack", help="acknowledge events")
    ack.add_argument("subscription_id")
    ack.add_argument("event_ids", nargs="+", metavar="EVENT_ID")

    stop = actions.add_parser("stop", help="end subscriptions")
    stop.add_argument("subscription_id", nargs="?", default=None)
    stop.add_argument("--all", action="store_true")


def _group(commands, name, actions):
    """Add a two-word command group; ``actions`` maps each action to an option adder."""
    group = commands.add_parser(name)
    sub = group.add_subparsers(dest=f"{name}_command", required=True)
    for action, add_options in actions.items():
        add_options(sub.add_parser(action))
    return sub


def _chat_options(parser):
    parser.add_argument("--chat", default=None)
    parser.add_argument("--limit", type=int, default=20)


def _build_parser(parser_class=argparse.ArgumentParser):
    parser = parser_class(prog="qybridge4", description="Automate the WeChat desktop client.")
    parser.add_argument("--json", action="store_true", help="print JSON")
    parser.add_argument("--local", action="store_true", help="ignore remote settings")
    parser.add_argument("--nickname", default=None, help="account to use")
    parser.add_argument("--remote", default=None, help="named remote connection")
    parser.add_argument("--base-url", dest="base_url", default=None, help="gateway URL")
    commands = parser.add_subparsers(dest="command", required=True)

    commands.add_parser("status")

    def send_options(p):
        p.add_argument("--to", required=True)
        p.add_argument("--text", required=True)

    def send_file_options(p):
        p.add_argument("--to", required=True)
        p.add_argument("--file", required=True)

    def at_all_options(p):
        p.add_argument("--to", required=True)
        p.add_argument("--text", default="")

    def contact_options(p):
        p.add_argument("--name", default=None)
        p.add_argument("--tag", default=None)

    _group(commands, "sessions", {"list": _chat_options})
    _group(commands, "chat", {"open": _chat_options, "info": _chat_options,
                              "load-more": _chat_options})
    _group(commands, "message", {
        "list": _chat_options, "next": _chat_options, "history": _chat_options,
        "send": send_options, "send-file": send_file_options, "at-all": at_all_options,
    })
    requests = _group(commands, "contact", {"requests": lambda p: None})
    # "contact requests" is the only group with a third word.
    requests_parser = requests.choices["requests"]
    requests_parser.add_subparsers(dest="requests_command", required=True).add_parser("list")
    _group(commands, "contacts", {"details": contact_options, "by-tag": contact_options})
    _group(commands, "group", {"recent": _chat_options})
    _group(commands, "moments", {"list": _chat_options})
    _add_listen(commands)
    return parser


def main(argv=None):
    args = _build_parser().parse_args(argv)
    print(json.dumps(vars(args), ensure_ascii=False, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
