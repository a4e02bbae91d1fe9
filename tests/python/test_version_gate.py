"""The interpreter version gate and the refusal of isolated sub-interpreters.

The decision on version strings alone is tested in C++; here the built module
is loaded into real interpreters.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tarvelinCXX as tc
from conftest import find_other_pythons

OTHER_PYTHONS = find_other_pythons()

LOAD_SCRIPT = textwrap.dedent(
    """
    import importlib.machinery, importlib.util, os, sys
    sys.setdlopenflags(os.RTLD_LAZY)
    path = sys.argv[1]
    loader = importlib.machinery.ExtensionFileLoader("tarvelinCXX", path)
    spec = importlib.util.spec_from_file_location("tarvelinCXX", path, loader=loader)
    try:
        importlib.util.module_from_spec(spec)
    except ImportError as e:
        expected = (
            "Python version mismatch: module was compiled for Python 3.13, "
            "but the interpreter version is incompatible: " + sys.version + "."
        )
        sys.stdout.write("IMPORTERROR\\n")
        sys.stdout.write(repr(str(e)) + "\\n")
        sys.stdout.write(repr(expected) + "\\n")
        sys.exit(0 if str(e) == expected else 3)
    sys.stdout.write("LOADED\\n")
    sys.exit(4)
    """
)


@pytest.mark.skipif(not OTHER_PYTHONS, reason="no CPython other than 3.13 is installed")
@pytest.mark.parametrize("python", OTHER_PYTHONS or [None], ids=lambda p: os.path.basename(p or "none"))
def test_other_interpreter_refused_with_exact_message(python):
    r = subprocess.run(
        [python, "-c", LOAD_SCRIPT, tc.__file__], capture_output=True, text=True, timeout=120
    )
    assert r.stdout.startswith("IMPORTERROR"), (r.stdout, r.stderr)
    assert r.returncode == 0, (r.stdout, r.stderr)


def test_loads_into_this_313_interpreter_by_path():
    # The same loader steps succeed in a 3.13 interpreter (the control case).
    r = subprocess.run(
        [
            sys.executable,
            "-c",
            "import importlib.machinery, importlib.util, sys\n"
            "path = sys.argv[1]\n"
            "loader = importlib.machinery.ExtensionFileLoader('tarvelinCXX', path)\n"
            "spec = importlib.util.spec_from_file_location('tarvelinCXX', path, loader=loader)\n"
            "m = importlib.util.module_from_spec(spec)\n"
            "loader.exec_module(m)\n"
            "print(sorted(m.TokenType.__members__)[0], int(m.RUWORD))\n",
            tc.__file__,
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["ENWORD", "16"]


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys
    paths = {paths!r}
    try:
        import _interpreters
    except ImportError:
        _interpreters = None
    setup = "import sys\\nsys.path[:] = " + repr(paths) + "\\n"

    def run(code):
        # Returns (exception type name, message) or None.
        if _interpreters is not None and hasattr(_interpreters, "new_config"):
            iid = _interpreters.create("isolated")
            try:
                cfg = _interpreters.get_config(iid)
                assert cfg.check_multi_interp_extensions, cfg
                exc = _interpreters.run_string(iid, setup + code)
            finally:
                _interpreters.destroy(iid)
            return None if exc is None else (exc.type.__name__, exc.msg)
        from test.support import interpreters
        interp = interpreters.create()
        try:
            interp.exec(setup + code)
        except interpreters.ExecutionFailed as e:
            return (e.excinfo.type.__name__, e.excinfo.msg)
        finally:
            interp.close()
        return None

    print("CONTROL", run("import json, math"))
    print("MODULE", run("import tarvelinCXX"))
    """
)


def _subinterpreters_available():
    try:
        import _interpreters  # noqa: F401

        return hasattr(_interpreters, "new_config")
    except ImportError:
        pass
    try:
        from test.support import interpreters  # noqa: F401

        return True
    except ImportError:
        return False


@pytest.mark.skipif(not _subinterpreters_available(), reason="no sub-interpreter API")
def test_isolated_subinterpreter_refuses_the_module():
    code = SUBINTERPRETER_SCRIPT.format(paths=[os.path.dirname(tc.__file__), *sys.path])
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, (r.stdout, r.stderr)
    lines = dict(line.split(" ", 1) for line in r.stdout.splitlines())
    assert lines["CONTROL"] == "None"
    assert lines["MODULE"].startswith("('ImportError', "), lines["MODULE"]
    assert "tarvelinCXX" in lines["MODULE"]
    assert "subinterpreter" in lines["MODULE"]
