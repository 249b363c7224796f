import glob
import importlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quillset


def python312():
    """A Python 3.12 interpreter that really runs (PATH may hold a dead shim), or None."""
    root = subprocess.run("pyenv root", shell=True, capture_output=True, text=True).stdout
    for exe in [
        shutil.which("python3.12"),
        *sorted(
            glob.glob(os.path.join(root.strip() or "/nonexistent", "versions/3.12*/bin/python3.12"))
        ),
    ]:
        probe = exe and subprocess.run(
            [exe, "-c", "import sys; print(sys.version_info[:2])"], capture_output=True, text=True
        )
        if probe and probe.stdout.strip() == "(3, 12)":
            return exe
    return None


def test_import_refused_by_other_interpreter_version(tmp_path, run_python):
    exe = python312()
    if exe is None:
        pytest.skip("no Python 3.12 interpreter available")
    shutil.copy(quillset.__file__, tmp_path / "quillset.so")
    out = run_python(
        "import json, sys\n"
        "try:\n"
        "    import quillset\n"
        "    outcome = ['imported', '']\n"
        "except BaseException as e:\n"
        "    outcome = [type(e).__name__, str(e)]\n"
        "print(json.dumps(outcome + [sys.version]))\n",
        python=exe,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    kind, message, version = json.loads(out.stdout)
    assert version.startswith("3.12")
    assert (kind, message) == (
        "ImportError",
        "Python version mismatch: module was compiled "
        "for Python 3.13, but the interpreter version is incompatible: " + version + ".",
    )


def test_reimport_returns_same_module(monkeypatch):
    classes = [quillset.TextSize, quillset.LayoutConfig, quillset.LayoutResult, quillset.Quillset]
    monkeypatch.delitem(sys.modules, "quillset")
    again = importlib.import_module("quillset")
    assert again is quillset
    assert [again.TextSize, again.LayoutConfig, again.LayoutResult, again.Quillset] == classes
    assert sys.modules["quillset"] is quillset


SUBINTERPRETER_REFUSAL = (
    "quillset does not support sub-interpreters: import it in the main interpreter only"
)

# After the sub-interpreter's attempt, the main interpreter must still import the
# module and call a Python measuring callable (the call that used to abort).
MAIN_STILL_WORKS = (
    "import quillset\n"
    "q = quillset.Quillset(1000, 1000, lambda text, fs: quillset.TextSize(46, 12, 4))\n"
    "q.add(100, 100, 300, 200, 'main', 16)\n"
    "print('main', repr(q.layout()[0]))\n"
)
MAIN_RESULT = (
    "main <LayoutResult left=100.000000 top=80.000000 width=50 height=20 padding_x=2 "
    "padding_y=2 textAscent=12 textDescent=8 fontSize=16>"
)


@pytest.mark.parametrize("main_first", [False, True])
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_sub_interpreter_import_is_refused(run_python, kind, main_first):
    # Legacy sub-interpreters (Py_NewInterpreter's kind) skip CPython's own check of
    # the module's declaration; the module refuses them itself.
    code = (
        ("import quillset\n" if main_first else "")
        + "import _interpreters\n"
        + f"sub = _interpreters.create(_interpreters.new_config({kind!r}))\n"
        + "body = '''\n"
        + "try:\n"
        + "    import quillset\n"
        + "    quillset.Quillset(100, 100, lambda text, fs: quillset.TextSize(1, 1))\n"
        + "    print('imported', flush=True)\n"
        + "except ImportError as e:\n"
        + "    print('ImportError', e, flush=True)\n"
        + "'''\n"
        + "assert _interpreters.exec(sub, body) is None\n"
        + "_interpreters.destroy(sub)\n"
        + MAIN_STILL_WORKS
    )
    out = run_python(code, env=child_env())
    assert out.returncode == 0, out.stderr
    refusal, main = out.stdout.splitlines()
    if kind == "legacy":
        assert refusal == "ImportError " + SUBINTERPRETER_REFUSAL
    else:  # refused by CPython, from the module's declaration
        assert refusal.startswith("ImportError ") and "subinterpreters" in refusal
    assert main == MAIN_RESULT


EMBEDDING_PROGRAM = r"""
#include <Python.h>

static const char attempt[] =
    "try:\n"
    "    import quillset\n"
    "    quillset.Quillset(100, 100, lambda text, fs: quillset.TextSize(1, 1))\n"
    "    print('imported', flush=True)\n"
    "except ImportError as e:\n"
    "    print('ImportError', e, flush=True)\n";

int main(int argc, char **argv) {
    Py_Initialize();
    PyThreadState *main_state = PyThreadState_Get();
    if (argc > 1 && PyRun_SimpleString("import quillset") != 0) return 2;
    PyThreadState *sub = Py_NewInterpreter();
    if (sub == NULL || PyRun_SimpleString(attempt) != 0) return 3;
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_state);
    if (PyRun_SimpleString(MAIN_STILL_WORKS) != 0) return 4;
    return Py_FinalizeEx() < 0 ? 5 : 0;
}
"""


def child_env(**extra):
    """The environment of a child that imports this very module."""
    path = [os.path.dirname(quillset.__file__), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path)), **extra}


@pytest.fixture(scope="module")
def embedding_program(tmp_path_factory):
    """A C program that embeds this interpreter and imports quillset in the main
    interpreter and in one made by Py_NewInterpreter."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the embedding program")
    var = sysconfig.get_config_var
    src = tmp_path_factory.mktemp("embed") / "embed.c"
    main_still_works = json.dumps(MAIN_STILL_WORKS)  # a valid C string literal too
    src.write_text(EMBEDDING_PROGRAM.replace("MAIN_STILL_WORKS", main_still_works))
    exe = src.with_suffix("")
    libs = [f"-L{var('LIBDIR')}", f"-lpython{var('LDVERSION')}", f"-Wl,-rpath,{var('LIBDIR')}"]
    # The compiler must not inherit a sanitizer runtime preloaded for the tests.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    build = subprocess.run(
        [cc, str(src), f"-I{var('INCLUDEPY')}", "-o", str(exe), *libs, *var("LIBS").split()],
        capture_output=True,
        text=True,
        env=env,
    )
    assert build.returncode == 0, build.stderr
    return exe


@pytest.mark.parametrize("main_first", [False, True])
def test_py_new_interpreter_import_is_refused(embedding_program, main_first):
    args = [str(embedding_program)] + (["main-first"] if main_first else [])
    env = child_env(PYTHONHOME=sys.base_prefix)
    out = subprocess.run(args, capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ImportError " + SUBINTERPRETER_REFUSAL, MAIN_RESULT]
