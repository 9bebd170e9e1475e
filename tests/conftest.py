"""Shared fixtures: stand-in sibling modules compiled from tests/native/ against the declaration
headers, the way the package's own modules use each other's native tables and exports."""

import ctypes
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from hypothesis import settings

# CI runs the property tests with a fixed seed sequence, so a landing is judged on the same examples
# every time; local runs keep exploring new ones.
settings.register_profile("ci", derandomize=True, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

# Under the sanitizers every call costs several times more: the property tests run a quarter of
# their examples there (the release run keeps them all).
_EXAMPLE_SHARE = 0.25 if os.environ.get("QM_SANITIZER_RUN") == "1" else 1.0


def examples(count):
    """The number of examples a property test asks for, scaled down under the sanitizers."""
    return max(10, int(count * _EXAMPLE_SHARE))

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def compile_native(tmp_path_factory):
    """Compiles tests/native/<name>.cpp into an extension module; returns the path of the built file."""
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build a native stand-in module")
    out_dir = tmp_path_factory.mktemp("native")

    def build(name):
        target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
        if not target.exists():
            subprocess.run(
                [compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror", "-fno-exceptions",
                 "-I" + sysconfig.get_paths()["include"], "-I" + str(ROOT / "quillmoth"),
                 str(ROOT / "tests" / "native" / f"{name}.cpp"), "-o", str(target)],
                check=True,
            )
        return target

    return build


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# --- Native export tables through ctypes -----------------------------------------------------------

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype, _capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def export_signature(module, name):
    """The signature text under which `module` exports `name` (the capsule's name), as bytes."""
    return _capsule_name(module.__quillmoth_api__[name])


def bind_export(module, name, restype, *argtypes):
    """Binds the native export `name` of `module` as a ctypes function, the way a sibling module binds
    it. PYFUNCTYPE keeps the interpreter lock and raises the exception the function left pending."""
    capsule = module.__quillmoth_api__[name]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(_capsule_pointer(capsule, _capsule_name(capsule)))


# --- Child interpreters --------------------------------------------------------------------------

def run_python(code, *, extra_paths=(), timeout=120, **env):
    """Runs `code` in a fresh interpreter that imports the same quillmoth build as this test run (the
    checkout's or the installed one): it starts in the package's parent directory, with that on its
    path, so the checkout's sources never shadow an installed package. Returns the CompletedProcess."""
    import quillmoth

    root = os.path.dirname(os.path.dirname(os.path.abspath(quillmoth.__file__)))
    child_env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, *extra_paths]), **env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env, cwd=root,
                          timeout=timeout)
