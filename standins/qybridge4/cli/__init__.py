"""Command-line interface of qybridge4."""
