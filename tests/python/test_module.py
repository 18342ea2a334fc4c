"""The extension module itself: its attributes, the engine class, and import."""

import importlib.util
import inspect
import subprocess
import sys
import weakref

import pytest

import quillmere
from quillmere import quillmere as native


def test_module_holds_only_the_engine_classes():
    public = {name: value for name, value in vars(native).items() if not name.startswith("__")}
    assert "DBEngine" in public
    assert set(public) <= {"DBEngine", "DBEngineWebServer"}
    assert all(isinstance(value, type) for value in public.values())
    assert not [name for name, value in vars(native).items() if inspect.isbuiltin(value)]
    assert native.__doc__ == ""
    assert quillmere.DBEngine is native.DBEngine


def test_engine_class_shape(engine):
    cls = native.DBEngine
    assert cls.__name__ == "DBEngine"
    assert cls.__qualname__ == "DBEngine"
    assert cls.__text_signature__ == "(path)"
    assert cls.__doc__ == ""
    assert cls.__bases__ == (object,)
    assert not {"__init__", "__repr__", "__del__", "__dict__", "__weakref__"} & set(vars(cls))
    assert cls.__module__ == "quillmere"
    assert repr(engine).startswith("<quillmere.DBEngine object at 0x")
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    assert not hasattr(engine, "__dict__")
    with pytest.raises(AttributeError):
        engine.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(engine)


def test_import_starts_no_thread_and_creates_no_file(tmp_path):
    script = (
        "import os, warnings\n"
        "warnings.simplefilter('error')\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import quillmere\n"
        "after = len(os.listdir('/proc/self/task'))\n"
        "print(before, after, sorted(os.listdir('.')))\n"
    )
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    before, after, listing = run.stdout.split(" ", 2)
    assert after == before
    assert listing.strip() == "[]"
    assert list(tmp_path.iterdir()) == []


def test_running_the_module_step_again_reuses_the_class():
    spec = importlib.util.find_spec("quillmere.quillmere")
    fresh = importlib.util.module_from_spec(spec)
    assert fresh is not native
    spec.loader.exec_module(fresh)
    assert fresh.DBEngine is native.DBEngine
    assert fresh.__doc__ == ""
