"""The client tests' servers and certificate (see _endpoints)."""
from _endpoints import canned, certificate, gateway, no_proxy, silent  # noqa: F401
