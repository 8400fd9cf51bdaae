"""The suite's own machinery for Windows: the posix marker skips there, saying what a test needs,
and runs everywhere else; every test module is collected without what Windows lacks; set_home
points Windows' home lookup as well."""
import ntpath
import os
import posixpath
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest_plugins = ["pytester"]

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent

# Rebinds os.name while the collection's items are modified, where our hook reads it. Only
# there: pathlib on this system cannot make Windows paths.
AS_PLATFORM = """
import os
import pytest

@pytest.hookimpl(hookwrapper=True)
def pytest_collection_modifyitems():
    real, os.name = os.name, {name!r}
    try:
        yield
    finally:
        os.name = real
"""

SUITE = """
import pytest

@pytest.mark.posix("os.fork")
def test_forks():
    pass

@pytest.mark.posix("/proc")
class TestProc:
    @pytest.mark.posix("signal.SIGKILL")
    def test_kills(self):
        pass

def test_portable():
    pass
"""


@pytest.fixture
def suite(pytester):
    """runs(os_name, source): pytest over `source` under our conftest and ini, os.name as given."""
    pytester.makeconftest((TESTS / "conftest.py").read_text(encoding="utf-8"))
    pytester.makeini((ROOT / "pytest.ini").read_text(encoding="utf-8"))

    def run(os_name, source=SUITE):
        pytester.makepyfile(as_platform=AS_PLATFORM.format(name=os_name), test_suite=source)
        return pytester.runpytest_subprocess("-p", "as_platform", "--strict-markers", "-rs", "test_suite.py",
                                             timeout=60)
    return run


def skip_reasons(result):
    return sorted(re.findall(r"^SKIPPED \[1\] test_suite\.py:\d+: (.*)$", result.stdout.str(), re.M))


def test_on_windows_marked_tests_are_skipped_with_what_they_need(suite):
    result = suite("nt")
    result.assert_outcomes(passed=1, skipped=2)
    assert skip_reasons(result) == ["needs POSIX: os.fork", "needs POSIX: signal.SIGKILL; /proc"]


def test_elsewhere_marked_tests_run(suite):
    result = suite("posix")
    result.assert_outcomes(passed=3)
    assert skip_reasons(result) == []


@pytest.mark.parametrize("os_name", ["nt", "posix"])
@pytest.mark.parametrize("mark", ["@pytest.mark.posix", "@pytest.mark.posix()", '@pytest.mark.posix("a", "b")',
                                  "@pytest.mark.posix(needs='fork')"])
def test_a_mark_without_its_one_reason_is_refused_everywhere(suite, os_name, mark):
    result = suite(os_name, f"import pytest\n\n{mark}\ndef test_x():\n    pass\n")
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    assert 'mark it posix("what it needs")' in result.stderr.str()


# What Windows' CPython lacks and a test module could touch while it is imported. The locking
# module that `remote` imports here needs fcntl: imported first, as Windows has its own.
WITHOUT_POSIX = """
import os, signal, sys
import psutil, qybridge4.cli.remote

for name in ("fork", "forkpty", "register_at_fork", "getsid", "setsid", "getpgid", "setpgid", "killpg",
             "getuid", "geteuid", "getgid", "getegid", "WIFSIGNALED", "WTERMSIG", "WEXITSTATUS",
             "WIFEXITED", "WNOHANG", "wait3", "wait4", "uname", "sync", "mkfifo", "openpty", "fchmod",
             "chown", "getloadavg", "sched_getaffinity", "nice"):
    if hasattr(os, name):
        delattr(os, name)
WINDOWS_SIGNAL = {"SIGABRT", "SIGFPE", "SIGILL", "SIGINT", "SIGSEGV", "SIGTERM", "SIGBREAK", "CTRL_C_EVENT",
                  "CTRL_BREAK_EVENT", "SIG_DFL", "SIG_IGN", "NSIG", "Signals", "Handlers", "default_int_handler",
                  "getsignal", "signal", "raise_signal", "set_wakeup_fd", "strsignal", "valid_signals"}
for name in [n for n in vars(signal) if not n.startswith("_") and n not in WINDOWS_SIGNAL]:
    delattr(signal, name)
sys.modules.pop("qyb_msvcrt", None)
for name in ("fcntl", "resource", "pwd", "grp", "termios", "pty", "tty"):
    sys.modules[name] = None
"""
COLLECT = """
import sys, pytest
sys.exit(pytest.main(["--collect-only", "-q", "-p", "no:cacheprovider", *sys.argv[1:]]))
"""


def collect(path, cwd, shim=WITHOUT_POSIX):
    return subprocess.run([sys.executable, "-c", shim + COLLECT, str(path)], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def collected(done):
    return re.findall(r"^(\d+) tests collected in ", done.stdout, re.M)


def test_every_test_module_is_collected_without_posix():
    done = collect(TESTS, ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    assert collected(done) and collected(done) == collected(collect(TESTS, ROOT, shim="")), done.stdout[-2000:]


def test_the_collection_without_posix_finds_a_module_that_needs_it(tmp_path):
    uses = {"fcntl": "import fcntl", "fork": "FORK = os.fork",
            "sigkill": "@pytest.mark.parametrize('sig', [signal.SIGKILL])\ndef test_sig(sig):\n    pass"}
    for name, code in {**uses, "portable": "SIGTERM = signal.SIGTERM"}.items():
        (tmp_path / f"test_{name}.py").write_text(f"import os, signal, pytest\n{code}\n\ndef test_x():\n    pass\n")
    done = collect(tmp_path, tmp_path)
    assert done.returncode == pytest.ExitCode.INTERRUPTED
    errors = re.findall(r"^ERROR (?:collecting )?test_(\w+)\.py", done.stdout, re.M)
    assert sorted(set(errors)) == sorted(uses), done.stdout


def test_set_home_points_the_home_that_windows_looks_up_too(set_home, tmp_path):
    set_home(tmp_path)
    assert posixpath.expanduser("~") == ntpath.expanduser("~") == str(tmp_path)
    assert Path.home() == tmp_path
