"""The type stubs beside the native modules (quillmoth/*.pyi) against the modules as built: mypy's
stubtest imports each module and compares every class, function, parameter (name, kind, default),
attribute and constant with its stub. It runs in a child interpreter that imports the same
quillmoth as this test run, so an installed package is checked with the stubs it ships."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy (a dev extra) runs the stub check")

import quillmoth  # noqa: E402

PACKAGE = Path(quillmoth.__file__).resolve().parent
ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"

# Every native module whose stub is written; the modules still being written join once their stub
# lands beside them.
STUBBED = ["headers", "messages", "routing", "cookies", "url", "_contents", "_exceptions"]
LATER = ["keystone", "scribe", "multipart"]

# The stubs import a few pure-Python modules for their types (quillmoth.sessions, vellumgate); those
# are read for their types only, and what mypy thinks of their code is not this test's business.
MYPY_CONFIG = textwrap.dedent(
    """\
    [mypy]
    follow_imports = silent
    """
)


def stubbed_modules():
    later = [name for name in LATER if (PACKAGE / f"{name}.pyi").is_file()]
    return [f"quillmoth.{name}" for name in STUBBED + later]


def run_stubtest(tmp_path, modules, *extra_args, **env):
    """stubtest in a child interpreter importing the same quillmoth as this run. For a checkout it
    runs from the checkout (where mypy finds the stubs beside the sources); for an installed package
    from an empty directory, so that mypy reads no other file of site-packages as the user's code
    and finds the stubs the package ships."""
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    argv = ["stubtest", "--mypy-config-file", str(config), "--allowlist", str(ALLOWLIST), *extra_args, *modules]
    code = f"import runpy, sys\nsys.argv = {argv!r}\nrunpy.run_module('mypy.stubtest', run_name='__main__')\n"
    root = PACKAGE.parent
    installed = root.name in ("site-packages", "dist-packages")
    cwd = tmp_path / "run" if installed else root
    cwd.mkdir(exist_ok=True)
    child_env = dict(os.environ, **env)
    child_env.pop("PYTHONPATH", None)
    if not installed:
        child_env["PYTHONPATH"] = str(root)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env, cwd=cwd,
                          timeout=600)


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()
    missing = [name for name in STUBBED if not (PACKAGE / f"{name}.pyi").is_file()]
    assert missing == []


def test_stubs_match_the_built_modules(tmp_path):
    modules = stubbed_modules()
    done = run_stubtest(tmp_path, modules)
    report = done.stdout + done.stderr
    assert done.returncode == 0, report
    # Every module was checked against a stub (a module without one is an error, not a skip).
    assert f"Success: no issues found in {len(modules)} modules" in done.stdout, report


def test_a_stub_that_differs_from_its_module_fails_the_check(tmp_path):
    """The same check over copies of the stubs with three faults put in: a renamed parameter, a
    wrong default and a method left out. Each must be reported, whatever the allowlist says."""
    stubs = tmp_path / "stubs" / "quillmoth"
    stubs.mkdir(parents=True)
    (stubs / "__init__.pyi").write_text("")
    for path in PACKAGE.glob("*.pyi"):
        shutil.copy(path, stubs / path.name)
    headers = stubs / "headers.pyi"
    faults = [
        ("def get_first(self, key: bytes)", "def get_first(self, name: bytes)"),
        ("def __init__(self, values: list[_Pair] | None = None)", "def __init__(self, values: list[_Pair] | None = [])"),
        ("    def clone(self) -> Headers: ...\n", ""),
    ]
    text = headers.read_text()
    for old, new in faults:
        assert text.count(old) == 1, old
        text = text.replace(old, new)
    headers.write_text(text)

    done = run_stubtest(tmp_path, ["quillmoth.headers"], "--ignore-unused-allowlist",
                        MYPYPATH=str(tmp_path / "stubs"))
    report = done.stdout + done.stderr
    assert done.returncode == 1, report
    assert 'quillmoth.headers.Headers.get_first is inconsistent, stub parameter "name" differs from runtime ' \
           'parameter "key"' in report
    assert "quillmoth.headers.Headers.__init__ is inconsistent, runtime parameter \"values\" has a default " \
           "value of None, which is different from stub parameter default []" in report
    assert "quillmoth.headers.Headers.clone is not present in stub" in report
    assert "Found 3 errors (checked 1 module)" in report
