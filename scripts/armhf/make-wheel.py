#!/usr/bin/env python3
"""Assembles a wheel from a cross-built CMake install tree.

The wheel holds what the project's own build would put in one: the files of
the Python package and the built extension modules, with METADATA taken from
pyproject.toml.

    make-wheel.py --project DIR --install-tree DIR --ext-suffix SUFFIX
                  --tag cp311-cp311-linux_armv7l --out DIR
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import io
import re
import sys
import tomllib
import zipfile
from pathlib import Path

# Anything a local build may have left in the source tree.
EXCLUDED_SUFFIXES = (".pyc", ".so", ".o")
# Fixed timestamp (the earliest a zip can hold) so that equal inputs give equal wheels.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def normalise(name: str) -> str:
    return re.sub(r"[-_.]+", "_", name).lower()


def metadata(project: dict, readme: Path | None) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    licence = project.get("license", {})
    if isinstance(licence, dict) and "text" in licence:
        lines.append(f"License: {licence['text']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for requirement in requirements:
            lines.append(f'Requires-Dist: {requirement}; extra == "{extra}"')
    if readme is not None:
        lines.append("Description-Content-Type: text/markdown")
    text = "\n".join(lines) + "\n"
    if readme is not None:
        text += "\n" + readme.read_text(encoding="utf-8")
    return text


def package_files(src: Path) -> dict[str, bytes]:
    files = {}
    for path in sorted(src.rglob("*")):
        if path.is_dir() or "__pycache__" in path.parts:
            continue
        if path.name.endswith(EXCLUDED_SUFFIXES):
            continue
        files[path.relative_to(src).as_posix()] = path.read_bytes()
    return files


def extension_files(tree: Path, ext_suffix: str) -> dict[str, bytes]:
    """The install tree's files; a module named plain NAME.so gets the target's suffix."""
    files = {}
    for path in sorted(tree.rglob("*")):
        if path.is_dir():
            continue
        name = path.relative_to(tree).as_posix()
        if name.endswith(".so") and not name.endswith(ext_suffix):
            stem = path.name.split(".", 1)[0]
            name = path.relative_to(tree).with_name(stem + ext_suffix).as_posix()
        files[name] = path.read_bytes()
    modules = sorted(name.rsplit("/", 1)[-1].split(".", 1)[0] for name in files if name.endswith(ext_suffix))
    missing = {"keyword", "sparse"} - set(modules)
    if missing:
        sys.exit(f"make-wheel.py: no {' or '.join(sorted(missing))} extension module in {tree} (found {modules})")
    return files


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--project", type=Path, required=True)
    parser.add_argument("--install-tree", type=Path, required=True)
    parser.add_argument("--ext-suffix", required=True)
    parser.add_argument("--tag", required=True)
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()

    pyproject = tomllib.loads((args.project / "pyproject.toml").read_text(encoding="utf-8"))
    project = pyproject["project"]
    readme = args.project / project["readme"] if "readme" in project else None

    files: dict[str, bytes] = {}
    for package in pyproject["tool"]["scikit-build"]["wheel"]["packages"]:
        package_dir = args.project / package
        for name, data in package_files(package_dir).items():
            files[f"{package_dir.name}/{name}"] = data
    files.update(extension_files(args.install_tree, args.ext_suffix))

    dist = f"{normalise(project['name'])}-{project['version']}"
    info = f"{dist}.dist-info"
    files[f"{info}/METADATA"] = metadata(project, readme).encode()
    for licence in sorted(args.project.glob("LICEN[CS]E*")):
        files[f"{info}/{licence.name}"] = licence.read_bytes()
    scripts = project.get("scripts", {})
    if scripts:
        lines = ["[console_scripts]"] + [f"{name} = {target}" for name, target in scripts.items()]
        files[f"{info}/entry_points.txt"] = ("\n".join(lines) + "\n").encode()
    files[f"{info}/WHEEL"] = (
        "Wheel-Version: 1.0\n"
        "Generator: tallowmere-make-wheel\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {args.tag}\n"
    ).encode()
    record = [record_line(name, data) for name, data in files.items()]
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()

    args.out.mkdir(parents=True, exist_ok=True)
    wheel = args.out / f"{dist}-{args.tag}.whl"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, ZIP_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            archive.writestr(entry, data)
    wheel.write_bytes(buffer.getvalue())
    print(wheel)


if __name__ == "__main__":
    main()
