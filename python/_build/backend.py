# SPDX-License-Identifier: MIT
"""A PEP 517 build backend for this one pure-Python package, with nothing to
fetch: it zips quillbar/ into a wheel with its metadata, or tars the tree
into a source distribution."""
import base64
import hashlib
import os
import tarfile
import zipfile

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _version():
    with open(os.path.join(_HERE, "quillbar", "__init__.py"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("__version__"):
                return line.split('"')[1]
    raise RuntimeError("no __version__ in quillbar/__init__.py")


def _metadata(version):
    return (
        "Metadata-Version: 2.1\n"
        "Name: quillbar\n"
        "Version: %s\n"
        "Summary: Print labels on EPL2 thermal label printers through the quillbar C library\n"
        "License: MIT\n"
        "Requires-Python: >=3.7\n" % version
    )


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    name = "quillbar-%s-py3-none-any.whl" % version
    dist_info = "quillbar-%s.dist-info" % version
    files = []
    for folder, _dirs, names in os.walk(os.path.join(_HERE, "quillbar")):
        for n in sorted(names):
            if n.endswith((".py", ".typed")):
                full = os.path.join(folder, n)
                with open(full, "rb") as f:
                    files.append((os.path.relpath(full, _HERE).replace(os.sep, "/"), f.read()))
    files.append((dist_info + "/METADATA", _metadata(version).encode()))
    files.append((dist_info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: quillbar\nRoot-Is-Purelib: true\nTag: py3-none-any\n"))
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            wheel.writestr(path, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append("%s,sha256=%s,%d" % (path, digest, len(data)))
        record.append(dist_info + "/RECORD,,")
        wheel.writestr(dist_info + "/RECORD", "\n".join(record) + "\n")
    return name


def build_sdist(sdist_directory, config_settings=None):
    base = "quillbar-%s" % _version()
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as tar:
        for entry in ("pyproject.toml", "quillbar", "_build"):
            tar.add(os.path.join(_HERE, entry), arcname=base + "/" + entry,
                    filter=lambda t: None if "__pycache__" in t.name else t)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata(_version()).encode()
        info.size = len(data)
        import io
        tar.addfile(info, io.BytesIO(data))
    return name
