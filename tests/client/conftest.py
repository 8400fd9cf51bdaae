"""The client tests' servers and certificate (see _endpoints)."""
from _endpoints import canned, certificate, elsewhere, gateway, no_proxy, silent  # noqa: F401
