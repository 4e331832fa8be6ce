"""The build backend of the ondrel module (PEP 517), kept in this folder so that
building needs nothing from a package index: `pip install python/` works
offline, with build isolation or without it.

    pip wheel --no-deps -w DIR python/
        ondrel-VERSION-py3-none-any.whl: the module alone; it loads the
        system's library
    pip wheel --no-deps -w DIR python/ --config-settings library=PATH
        ondrel-VERSION-py3-none-PLATFORM.whl: the module with the library PATH
        beside it, which the module loads before any other copy

PATH must be named as the module looks for it: libondrel.so.1 or libondrel.so
(Linux) or ondrel.dll. The variable ONDREL_WHEEL_LIBRARY names it too; the
setting "plat-name" replaces the platform tag taken from this interpreter
(linux_x86_64). Name, version and description come from pyproject.toml.
"""

import base64
import hashlib
import io
import os
import sysconfig
import tarfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "ondrel"
LIBRARY_NAMES = ("libondrel.so.1", "libondrel.so", "ondrel.dll")
# Wheel entries carry this time (or SOURCE_DATE_EPOCH), so that one source and
# library give the same wheel twice.
DEFAULT_TIME = 315532800  # 1980-01-01, the earliest a zip can hold


def _toml():
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        import tomli as tomllib
    return tomllib


def _requires(config_settings=None):
    try:
        import tomllib  # noqa: F401
        return []
    except ImportError:
        return ["tomli"]


get_requires_for_build_wheel = _requires
get_requires_for_build_sdist = _requires


def _project():
    with open(os.path.join(HERE, "pyproject.toml"), "rb") as stream:
        return _toml().load(stream)["project"]


def _dist_name(project):
    return "%s-%s" % (project["name"], project["version"])


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
        "Summary: " + project["description"],
        "License: " + project.get("license", {}).get("text", "UNKNOWN"),
    ]
    lines += ["Author: " + author["name"] for author in project.get("authors", [])]
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    lines += ["Classifier: " + item for item in project.get("classifiers", [])]
    text = ""
    if "readme" in project:
        lines.append("Description-Content-Type: text/markdown")
        with open(os.path.join(HERE, project["readme"]), encoding="utf-8") as stream:
            text = stream.read()
    return ("\n".join(lines) + "\n\n" + text).encode("utf-8")


def _time():
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_TIME)), DEFAULT_TIME)


def _module_files():
    folder = os.path.join(HERE, PACKAGE)
    return sorted("%s/%s" % (PACKAGE, name) for name in os.listdir(folder) if name.endswith(".py"))


def _setting(config_settings, key, variable=None):
    value = (config_settings or {}).get(key)
    if value is None and variable:
        value = os.environ.get(variable)
    return value or None


def _library(config_settings):
    """(path, name in the wheel) of the library to bundle, or None."""
    path = _setting(config_settings, "library", "ONDREL_WHEEL_LIBRARY")
    if path is None:
        return None
    name = os.path.basename(path)
    if name not in LIBRARY_NAMES:
        raise ValueError("the library must be named %s, not %s" % (" or ".join(LIBRARY_NAMES), name))
    if not os.path.isfile(path):
        raise FileNotFoundError("no library at %s" % path)
    return path, name


def _platform_tag(config_settings):
    tag = _setting(config_settings, "plat-name") or sysconfig.get_platform()
    return tag.replace("-", "_").replace(".", "_")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _write_wheel(path, entries):
    """entries: (name in the archive, bytes, executable), in order."""
    stamp = time.gmtime(_time())[:6]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, executable in entries:
            info = zipfile.ZipInfo(name, stamp)
            info.external_attr = (0o755 if executable else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    dist = _dist_name(project)
    library = _library(config_settings)
    tag = "py3-none-" + (_platform_tag(config_settings) if library else "any")
    entries = []
    for name in _module_files():
        with open(os.path.join(HERE, name), "rb") as stream:
            entries.append((name, stream.read(), False))
    if library:
        with open(library[0], "rb") as stream:
            entries.append(("%s/%s" % (PACKAGE, library[1]), stream.read(), True))
    info = dist + ".dist-info"
    wheel_text = "Wheel-Version: 1.0\nGenerator: ondrel build_backend\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        "false" if library else "true", tag)
    entries += [
        (info + "/METADATA", _metadata(project), False),
        (info + "/WHEEL", wheel_text.encode("ascii"), False),
    ]
    record = "".join(_record_line(name, data) + "\n" for name, data, _ in entries) + info + "/RECORD,,\n"
    entries.append((info + "/RECORD", record.encode("utf-8"), False))
    file_name = "%s-%s.whl" % (dist, tag)
    _write_wheel(os.path.join(wheel_directory, file_name), entries)
    return file_name


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    dist = _dist_name(project)
    names = ["pyproject.toml", "build_backend.py", project.get("readme", "README.md")] + _module_files()
    tests = os.path.join(HERE, "tests")
    names += sorted("tests/" + name for name in os.listdir(tests) if name.endswith(".py"))
    file_name = dist + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, file_name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        files = [("PKG-INFO", _metadata(project))]
        for name in names:
            with open(os.path.join(HERE, name), "rb") as stream:
                files.append((name, stream.read()))
        for name, data in files:
            info = tarfile.TarInfo("%s/%s" % (dist, name))
            info.size, info.mtime, info.mode = len(data), _time(), 0o644
            archive.addfile(info, io.BytesIO(data))
    return file_name
