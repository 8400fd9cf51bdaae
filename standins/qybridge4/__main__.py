"""Entry of ``python -m qybridge4``."""

import sys

_GATEWAY_WORD = "__remote_gateway__"


def _route(argv):
    if argv[:1] == [_GATEWAY_WORD]:
        # Imported only here: the remote module is needed by the gateway child alone.
        from qybridge4.cli.remote import _remote_gateway_child_main

        return _remote_gateway_child_main(argv[1:])
    from qybridge4.cli.main import main

    return main(argv)


if __name__ == "__main__":
    sys.exit(_route(sys.argv[1:]))
