"""Package-wide constants."""

VERSION = "4.0.0"
