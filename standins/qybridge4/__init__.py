"""qybridge4: automation of the WeChat desktop client (development stand-in package)."""
