"""Start-up: the create and exec steps, re-imports, other interpreters and failed start-ups.

Most cases need an interpreter that has not imported tonesift yet, so they run in a fresh one.
"""
import builtins
import importlib
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import LINE, MODULE_FILE, run_python
import tonesift

HEADER = f"""
import sys, traceback
MODULE_BODY = {LINE["module_body"]}
def native_entries(error):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename in ("tonesift.cpp", "<stringsource>")]
"""


def fresh(source, **options):
    return run_python(HEADER + textwrap.dedent(source), **options).stdout.split()


def test_namespace_after_import():
    public = {name for name in vars(tonesift) if not name.startswith("__")}
    assert public == {"Skin", "tonesift", "_refuse_reduce", "_refuse_setstate"}
    assert tonesift.__test__ == {} and tonesift.__builtins__ is builtins
    assert tonesift.__doc__ is None and not hasattr(tonesift, "__path__")
    assert tonesift.__file__ == str(MODULE_FILE) or os.path.samefile(tonesift.__file__, MODULE_FILE)


def test_reimport_and_reload_keep_the_module_and_its_namespace():
    function = tonesift.tonesift
    tonesift.__test__["marker"] = 1
    try:
        del sys.modules["tonesift"]
        again = importlib.import_module("tonesift")
        assert again is tonesift and again.tonesift is function
        assert importlib.reload(tonesift) is tonesift and tonesift.tonesift is function
        assert tonesift.__test__ == {"marker": 1}
    finally:
        sys.modules["tonesift"] = tonesift
        tonesift.__test__.clear()


def test_no_warning_on_a_3_8_host():
    assert fresh("import tonesift; print(tonesift.tonesift(200, 150, 120))",
                 env={"PYTHONWARNINGS": "error"}) == ["True"]


def test_second_module_object_from_one_spec_is_refused():
    assert fresh("""
        import importlib.util
        spec = importlib.util.find_spec("tonesift")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(str(error).replace(" ", "_"))
        print(hasattr(second, "tonesift"), first.tonesift(200, 150, 120))
    """) == ["Module_'tonesift'_has_already_been_imported._Re-initialisation_is_not_supported.",
             "False", "True"]


@pytest.mark.parametrize("spec_fields, expected", [
    ("loader = None; parent = ''; submodule_search_locations = None",
     "__loader__=None __package__= __path__=absent"),
    ("loader = 'L'; parent = 'p'; submodule_search_locations = ['somewhere']",
     "__loader__=L __package__=p __path__=['somewhere']"),
])
def test_create_step_copies_spec_attributes(spec_fields, expected):
    output = run_python(f"""
        import _imp
        class Spec:
            name = "tonesift"
            origin = {str(MODULE_FILE)!r}
            {spec_fields}
        module = _imp.create_dynamic(Spec())
        print(" ".join(f"{{key}}={{vars(module).get(key, 'absent')}}"
                       for key in ("__loader__", "__package__", "__path__")))
        print(module.__file__ == Spec.origin)
    """).stdout.splitlines()
    assert output == [expected, "True"]


@pytest.mark.parametrize("failure, outcome", [
    ("AttributeError", "created without __file__"),
    ("ValueError", "ValueError"),
])
def test_create_step_reading_origin(failure, outcome):
    # The importer reads `origin` to find the file (twice up to 3.12, once from 3.13 on); the
    # create step reads it once more.
    importer_reads = 1 if sys.version_info >= (3, 13) else 2
    output = run_python(f"""
        import _imp
        class Spec:
            name, loader, parent, submodule_search_locations = "tonesift", None, "", None
            reads = 0
            @property
            def origin(self):
                Spec.reads += 1
                if Spec.reads > {importer_reads}:
                    raise {failure}("origin")
                return {str(MODULE_FILE)!r}
        try:
            module = _imp.create_dynamic(Spec())
            print("created" if "__file__" not in vars(module) else "copied", "without __file__")
        except ValueError:
            print("ValueError")
    """).stdout.strip()
    assert output == outcome


IMPORT_IN_OTHER = f"import sys; sys.path.insert(0, {str(MODULE_FILE.parent)!r}); import tonesift"
# Each way a program can import tonesift into a subinterpreter: the private module of 3.8 to
# 3.13, and from 3.14 the public one and its pool of interpreters.
SUBINTERPRETERS = {
    "private": f"""
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters  # its name from 3.13 on
        other = interpreters.create()
        try:
            failure = interpreters.run_string(other, {IMPORT_IN_OTHER!r})
        except interpreters.RunFailedError as error:
            failure = error
        failure = str(getattr(failure, "formatted", failure))
        interpreters.destroy(other)
    """,
    "public": f"""
        from concurrent import interpreters
        other = interpreters.create()
        try:
            other.exec({IMPORT_IN_OTHER!r})
        except interpreters.ExecutionFailed as error:
            failure = error.excinfo.type.__name__ + ": " + error.excinfo.msg
        other.close()
    """,
    "pool": f"""
        from concurrent.futures import InterpreterPoolExecutor
        with InterpreterPoolExecutor(2) as pool:
            try:
                pool.submit(exec, {IMPORT_IN_OTHER!r}).result()
            except ImportError as error:
                failure = "ImportError: " + str(error)
    """,
}


@pytest.mark.parametrize("how", SUBINTERPRETERS)
def test_second_interpreter_is_refused_and_the_first_keeps_working(how):
    if how != "private" and sys.version_info < (3, 14):
        pytest.skip("concurrent.interpreters arrived in 3.14")
    # From 3.12 on the interpreter itself refuses, before start-up runs, a module that does not
    # declare support for isolated subinterpreters; before, start-up's own check refuses.
    ours = sys.version_info < (3, 12)
    assert fresh("import tonesift\n" + textwrap.dedent(SUBINTERPRETERS[how]) + textwrap.dedent("""
        print("ImportError" in failure, "Interpreter change detected" in failure,
              "module tonesift does not support loading in subinterpreters" in failure)
        print(tonesift.tonesift(200, 150, 120), tonesift.Skin(1, 2, 3, 4, 5, 6)._replace(7).region)
    """)) == ["True", str(ours), str(not ours), "True", "7"]


def test_module_is_main_set_by_an_embedding_host():
    assert fresh(f"""
        import ctypes
        library = ctypes.CDLL({str(MODULE_FILE)!r})
        flag = ctypes.c_int32.in_dll(library, "module_is_main_tonesift")
        print(flag.value)
        flag.value = 1
        import tonesift
        print(tonesift.__name__, sys.modules["tonesift"] is tonesift)
    """) == ["0", "__main__", "True"]


def test_imported_as_a_submodule(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(MODULE_FILE, package / MODULE_FILE.name)
    assert fresh("""
        import pkg.tonesift as inner
        print(inner.__name__, inner.__package__, sys.modules["tonesift"] is inner)
    """, path=[tmp_path]) == ["pkg.tonesift", "pkg", "True"]


@pytest.mark.parametrize("already_there", [False, True])
def test_a_failed_start_up_as_a_submodule_takes_back_its_own_entry(tmp_path, already_there):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(MODULE_FILE, package / MODULE_FILE.name)
    output = fresh(f"""
        import builtins
        placeholder = type(sys)("someone else's")
        if {already_there}:
            sys.modules["tonesift"] = placeholder
        saved = builtins.TypeError
        del builtins.TypeError
        try:
            import pkg.tonesift
        except NameError as error:
            print("failed:", error)
        finally:
            builtins.TypeError = saved
        entry = sys.modules.get("tonesift")
        print("after failure:", "none" if entry is None else entry is placeholder)
        import pkg.tonesift as inner
        import tonesift
        print("after success:", tonesift is inner, tonesift is placeholder)
    """, path=[tmp_path])
    assert " ".join(output) == " ".join([
        "failed: name 'TypeError' is not defined",
        "after failure: " + ("True" if already_there else "none"),
        "after success: " + ("False True" if already_there else "True False")])


BUILT_FOR = sys.version_info[:2]


def find_python(version):
    # pyenv's shell scripts only find the interpreter, so they run without a preloaded sanitizer:
    # its leak checker would fail them, now and then, on what the shell leaves behind.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS")}
    try:
        return subprocess.run(["pyenv", "which", f"python{version}"],
                              env=dict(environment, PYENV_VERSION=version),
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return shutil.which(f"python{version}")


# Another version to play the mismatched host: the next one where there is one, else the one
# before (3.13's next, say, lives in another system than 3.13 does).
OTHER, OTHER_PYTHON = next(
    ((version, path) for version in [(3, BUILT_FOR[1] + 1), (3, BUILT_FOR[1] - 1)]
     if (path := find_python("%d.%d" % version))), ((3, BUILT_FOR[1] + 1), None))


def other_python():
    return OTHER_PYTHON or pytest.skip("no CPython %d.%d to play the mismatched host" % OTHER)


@pytest.mark.parametrize("warning_filter, expected", [
    ("always", ["warned", "True"]),
    ("error", ["failed", "[]"]),
])
def test_mismatched_host_version(tmp_path, warning_filter, expected):
    # The build loaded on purpose into a host of another version, as if installed there. Past
    # the warning a build runs on another version's ABI, which only 3.8 and 3.9 share; for the
    # other builds only the refusal under the `error` filter is safe to watch.
    if warning_filter != "error" and BUILT_FOR != (3, 8):
        pytest.skip(f"a {'%d.%d' % BUILT_FOR} build cannot run on {'%d.%d' % OTHER}")
    # The other version's name for the module, on this machine's architecture.
    shutil.copy(MODULE_FILE, tmp_path / re.sub(r"cpython-\d+t?-", "cpython-%d%d-" % OTHER,
                                                MODULE_FILE.name))
    output = run_python(HEADER + textwrap.dedent(f"""
        import warnings
        message = ("compile time Python version {'%d.%d' % BUILT_FOR} of module 'tonesift' does "
                   "not match runtime version {'%d.%d' % OTHER}")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter({warning_filter!r})
            try:
                import tonesift
            except RuntimeWarning as error:
                assert str(error) == message, error
                print("failed", native_entries(error))
            else:
                assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, message)]
                print("warned", tonesift.tonesift(200, 150, 120))
    """), python=other_python(), path=[tmp_path], check=False)
    if BUILT_FOR != (3, 8) and "undefined symbol" in output.stderr:
        pytest.skip(f"the {'%d.%d' % BUILT_FOR} build does not even load into {'%d.%d' % OTHER}")
    assert output.returncode == 0, output.stderr
    assert [part.strip() for part in output.stdout.split(maxsplit=1)] == expected


@pytest.mark.parametrize("enabled", [True, False])
def test_import_leaves_the_collector_as_it_was(enabled):
    action = "enable" if enabled else "disable"
    assert fresh(f"""
        import gc
        gc.{action}()
        import tonesift
        print(gc.isenabled())
    """) == [str(enabled)]


def test_failed_start_up_then_a_clean_retry():
    assert fresh("""
        import builtins
        saved = builtins.TypeError
        del builtins.TypeError
        try:
            import tonesift
        except NameError as error:
            print(str(error).replace(" ", "_"), native_entries(error) == [("init tonesift", "tonesift.cpp", MODULE_BODY)])
        builtins.TypeError = saved
        import tonesift, pickle
        print(tonesift.tonesift(200, 150, 120))
        try:
            pickle.dumps(tonesift.Skin(1, 2, 3, 4, 5, 6))
        except TypeError as error:
            print(type(error) is saved)
    """) == ["name_'TypeError'_is_not_defined", "True", "True", "True"]


def test_collector_failure_during_readying():
    assert fresh("""
        import gc
        class FakeCollector:
            def isenabled(self): return 1          # truthy, not True
            def disable(self): pass
            def enable(self): raise OSError("enable")
        sys.modules["gc"] = FakeCollector()
        try:
            import tonesift
        except OSError as error:
            print(error, native_entries(error) == [("init tonesift", "tonesift.cpp", MODULE_BODY)])
        sys.modules["gc"] = gc
        import tonesift
        print(tonesift.Skin(1, 2, 3, 4, 5, 6)._replace(9).region)
    """) == ["enable", "True", "9"]


@pytest.mark.parametrize("key, line", [
    ("tonesift", ("init tonesift", "tonesift.cpp", LINE["tonesift"])),
    ("_refuse_reduce", ("init tonesift", "<stringsource>", LINE["bind_refuse_reduce"])),
    ("_refuse_setstate", ("init tonesift", "<stringsource>", LINE["refuse_setstate"])),
])
def test_failure_after_the_hooks_are_installed_then_retry(key, line):
    # A key whose hash collides with the name being stored, and that cannot be compared,
    # makes that store fail after the pickling hooks were moved into place.
    assert fresh(f"""
        import importlib.util, pickle
        class Collides:
            def __hash__(self): return hash({key!r})
            def __eq__(self, other): raise LookupError("collision")
        spec = importlib.util.find_spec("tonesift")
        module = importlib.util.module_from_spec(spec)
        vars(module)[Collides()] = None
        try:
            spec.loader.exec_module(module)
        except LookupError as error:
            print(native_entries(error) == [{line!r}])
        print("tonesift" not in sys.modules)  # the failed start-up took back its own entry
        import tonesift
        print(tonesift is not module)
        try:
            pickle.dumps(tonesift.Skin(1, 2, 3, 4, 5, 6))
        except TypeError as error:
            print("refused")
        print(sorted(n for n in vars(tonesift.Skin) if "refuse" in n))
    """) == ["True", "True", "True", "refused", "[]"]


def test_only_the_two_entry_symbols_are_exported():
    nm = shutil.which("nm") or pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", str(MODULE_FILE)],
                             capture_output=True, text=True, check=True).stdout
    # A sanitizer build adds its own __odr_asan markers beside exported data, and GCC 16's
    # instrumentation exports the C++ library's inline variables it touches (std::...).
    sanitized = "ASAN_OPTIONS" in os.environ
    symbols = [line.split()[-1] for line in listing.splitlines()]
    assert sorted(s for s in symbols if not s.startswith("__odr_asan")
                  and not (sanitized and s.startswith("_ZSt"))) == [
        "PyInit_tonesift", "module_is_main_tonesift"]
