import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest

import ondrel

CONTENT = b"".join(b"line %d of the python data\n" % i for i in range(200))
SIZE = len(CONTENT)
MD5 = hashlib.md5(CONTENT).hexdigest().upper()
MODULE_DIR = pathlib.Path(ondrel.__file__).resolve().parent


@pytest.fixture
def data_file(tmp_path, built_library):
    path = tmp_path / "data.bin"
    path.write_bytes(CONTENT)
    return path


PATH_FORMS = {
    "str": str,
    "bytes": os.fsencode,
    "pathlib": lambda p: p,
}
CHECKLIST_FORMS = {"str": lambda s: s, "bytes": lambda s: s.encode("ascii")}
LISTS = [
    ("size and digest", "FILESIZE=%d,MD5=%s" % (SIZE, MD5), True),
    ("size one too many", "FILESIZE=%d" % (SIZE + 1), False),
    ("digest in lower case", "MD5=%s" % MD5.lower(), False),
    ("empty list", "", True),
    ("unknown keyword", "NOPE=1", False),
]


@pytest.mark.parametrize("path_form", PATH_FORMS)
@pytest.mark.parametrize("list_form", CHECKLIST_FORMS)
@pytest.mark.parametrize("name,checklist,expected", LISTS, ids=[case[0] for case in LISTS])
def test_answers_for_every_argument_form(data_file, path_form, list_form, name, checklist, expected):
    result = ondrel.check(PATH_FORMS[path_form](data_file), CHECKLIST_FORMS[list_form](checklist))
    assert result is expected


def test_missing_file_has_size_zero(tmp_path, built_library):
    missing = tmp_path / "missing.bin"
    assert ondrel.check(missing, "FILESIZE=0") is True
    assert ondrel.check(missing, "FILESIZE>=1") is False


# File names as the file system holds them: a str name is encoded with
# os.fsencode, so the name os.listdir gives back (undecodable bytes included,
# as surrogate escapes) reaches the same file as its bytes.
@pytest.mark.skipif(sys.platform == "win32", reason="ANSI code page names on Windows")
@pytest.mark.parametrize("raw_name", [b"plain.bin", "donn\u00e9es-\u00e9t\u00e9.bin".encode("utf-8"), b"bytes-\xff\xfe.bin"])
def test_file_names_reach_the_same_file(tmp_path, built_library, raw_name):
    directory = os.fsencode(tmp_path)
    full = os.path.join(directory, raw_name)
    with open(full, "wb") as stream:
        stream.write(CONTENT)
    listed = [name for name in os.listdir(str(tmp_path)) if os.fsencode(name) == raw_name]
    assert len(listed) == 1
    expected_list = "FILESIZE=%d" % SIZE
    assert ondrel.check(full, expected_list) is True
    assert ondrel.check(os.path.join(str(tmp_path), listed[0]), expected_list) is True


@pytest.mark.skipif(sys.platform == "win32", reason="ANSI code page text on Windows")
def test_checklist_text_meets_the_file_in_the_same_encoding(tmp_path, built_library):
    ini = tmp_path / "app.ini"
    ini.write_bytes(os.fsencode("[Main]\nPath = C:\\Donn\u00e9es\\app.exe\n"))
    assert ondrel.check(ini, "INI=donn\u00e9es\\app") is True
    assert ondrel.check(ini, os.fsencode("INI=donn\u00e9es\\app")) is True
    assert ondrel.check(ini, "INI=donnees\\app") is False


@pytest.mark.parametrize(
    "path,checklist,error",
    [
        ("a\0b", "FILESIZE=0", ValueError),
        (b"a\0b", "FILESIZE=0", ValueError),
        ("a", "FILESIZE=0\0,NOPE=1", ValueError),
        (None, "FILESIZE=0", TypeError),
        (42, "FILESIZE=0", TypeError),
        ("a", None, TypeError),
        ("a", pathlib.Path("FILESIZE=0"), TypeError),
    ],
)
def test_rejected_arguments(built_library, path, checklist, error):
    with pytest.raises(error):
        ondrel.check(path, checklist)


def test_overlapping_threads_get_their_own_answers(data_file):
    # The library's caches are unguarded; the module serialises the calls.
    lists = [("FILESIZE=%d,MD5=%s" % (SIZE, MD5), True), ("MD5=%s" % ("0" * 32), False)]
    wrong = []

    def worker(index):
        for round_ in range(60):
            checklist, expected = lists[(index + round_) % 2]
            if ondrel.check(data_file, checklist) is not expected:
                wrong.append((index, round_))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []


def run_python(code, env, cwd):
    """Runs code in a fresh interpreter; returns (exit status, output)."""
    done = subprocess.run([sys.executable, "-c", code], env=env, cwd=str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    return done.returncode, done.stdout.decode("utf-8", "replace").strip()


def clean_environment(**extra):
    env = {key: value for key, value in os.environ.items()
           if key not in ("ONDREL_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(extra)
    return env


PROBE = "import ondrel, sys; print(ondrel.library_path()); sys.exit(0 if ondrel.check(%r, 'FILESIZE=%d') else 3)"


@pytest.mark.skipif(sys.platform == "win32", reason="Linux library names")
def test_where_the_library_is_found(tmp_path, data_file, built_library):
    module = tmp_path / "site" / "ondrel"
    # The module alone, also when it was installed with a library beside it.
    shutil.copytree(str(MODULE_DIR), str(module), ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll"))
    probe = PROBE % (str(data_file), SIZE)
    site = str(tmp_path / "site")

    # Not beside the module, not named, not on the search path: a clear failure.
    status, out = run_python(probe, clean_environment(PYTHONPATH=site), tmp_path)
    assert status != 0 and "ondrel library was not found" in out, out

    # On the loader's search path.
    status, out = run_python(probe, clean_environment(PYTHONPATH=site, LD_LIBRARY_PATH=os.path.dirname(built_library)), tmp_path)
    assert status == 0, out
    assert out.splitlines()[0].startswith("libondrel.so"), out

    # Named by the variable, which wins over everything else.
    status, out = run_python(probe, clean_environment(PYTHONPATH=site, ONDREL_LIBRARY=built_library), tmp_path)
    assert (status, out.splitlines()[0]) == (0, built_library), out
    missing = str(tmp_path / "nowhere" / "libondrel.so")
    status, out = run_python(probe, clean_environment(PYTHONPATH=site, ONDREL_LIBRARY=missing,
                                                      LD_LIBRARY_PATH=os.path.dirname(built_library)), tmp_path)
    assert status != 0 and missing in out, out

    # Beside the module, before a copy on the search path.
    shutil.copy(built_library, str(module / "libondrel.so.1"))
    status, out = run_python(probe, clean_environment(PYTHONPATH=site), tmp_path)
    assert (status, out.splitlines()[0]) == (0, str(module / "libondrel.so.1")), out
    status, out = run_python(probe, clean_environment(PYTHONPATH=site, LD_LIBRARY_PATH=os.path.dirname(built_library)),
                             tmp_path)
    assert (status, out.splitlines()[0]) == (0, str(module / "libondrel.so.1")), out
