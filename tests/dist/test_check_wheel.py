"""tools/lib/check_wheel.py, the wheel contents check of tools/dist, on wheels made here: what a
release wheel may hold (any velkarin* module with its stubs, the two programs, the dist-info) and
what it must refuse."""

from __future__ import annotations

import importlib.util
import zipfile
from pathlib import Path

import pytest

spec = importlib.util.spec_from_file_location(
    "check_wheel", Path(__file__).resolve().parents[2] / "tools" / "lib" / "check_wheel.py")
assert spec is not None and spec.loader is not None
check_wheel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_wheel)

NAME = "velkarin-1.2.0-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"


def elf(machine: int) -> bytes:
    return b"\x7fELF" + bytes(14) + machine.to_bytes(2, "little") + bytes(44)


X86_64, AARCH64 = elf(62), elf(183)
RELEASE = {
    "velkarin.cpython-311-x86_64-linux-gnu.so": X86_64,
    "velkarin_group.cpython-311-x86_64-linux-gnu.so": X86_64,
    "velkarin-stubs/__init__.pyi": b"",
    "velkarin_group-stubs/__init__.pyi": b"",
    "velkarin_ros2/__init__.py": b"",
    "velkarin_ros2/node.py": b"",
    "velkarin_view/server.py": b"",
    "velkarin_view/static/view.js": b"",
    "velkarin_view/static/dygraphs/LICENSE": b"",
    "velkarin-1.2.0.data/scripts/velkarin-sim": X86_64,
    "velkarin-1.2.0.data/scripts/velkarin-tool": X86_64,
    "velkarin-1.2.0.dist-info/METADATA": b"",
    "velkarin-1.2.0.dist-info/RECORD": b"",
}


def problems(tmp_path: Path, files: dict[str, bytes], name: str = NAME) -> list[str]:
    path = tmp_path / name
    with zipfile.ZipFile(path, "w") as wheel:
        for file, data in files.items():
            wheel.writestr(file, data)
    return check_wheel.problems(str(path))


def test_a_wheel_with_every_module_its_stubs_and_the_two_programs_passes(tmp_path):
    assert problems(tmp_path, RELEASE) == []


@pytest.mark.parametrize(("change", "reason"), [
    ({"velkarin/__init__.py": b""}, "velkarin/__init__.py does not belong"),
    ({"velkarin_ros2/node.pyc": b""}, "velkarin_ros2/node.pyc does not belong"),
    ({"velkarin_view/static/shot.png": b""}, "velkarin_view/static/shot.png does not belong"),
    ({"velkarin.libs/libstdc++.so.6": X86_64}, "velkarin.libs/libstdc++.so.6 does not belong"),
    ({"velkarin-1.2.0.data/scripts/velkarin-other": X86_64}, "scripts/velkarin-other does not belong"),
    ({"velkarin-1.2.0.data/scripts/velkarin-tool": None}, "velkarin-tool is missing"),
    ({"velkarin.cpython-311-x86_64-linux-gnu.so": None, "velkarin-stubs/__init__.pyi": None},
     "the module velkarin is missing"),
    ({"velkarin_group-stubs/__init__.pyi": None}, "module velkarin_group has no velkarin_group-stubs"),
    ({"velkarin_extra-stubs/__init__.pyi": b""}, "velkarin_extra-stubs has no module"),
    ({"velkarin_group.cpython-311-x86_64-linux-gnu.so": AARCH64}, "is not an x86_64 ELF file"),
    ({"velkarin-1.2.0.data/scripts/velkarin-sim": b"#!/bin/sh\n"}, "is not an x86_64 ELF file"),
    ({"velkarin.cpython-312-x86_64-linux-gnu.so": X86_64}, "cpython-312-x86_64-linux-gnu.so does not"),
])  # fmt: skip
def test_a_wheel_with_anything_else_or_anything_missing_fails(tmp_path, change, reason):
    files = {k: v for k, v in {**RELEASE, **change}.items() if v is not None}
    found = problems(tmp_path, files)
    assert len(found) == 1 and reason in found[0], found


def test_an_aarch64_wheel_needs_aarch64_binaries(tmp_path):
    name = NAME.replace("x86_64", "aarch64")
    files = {k.replace("x86_64", "aarch64"): (AARCH64 if v == X86_64 else v) for k, v in RELEASE.items()}
    assert problems(tmp_path, files, name) == []
    files["velkarin-1.2.0.data/scripts/velkarin-sim"] = X86_64
    assert problems(tmp_path, files, name) == [f"{name}: velkarin-1.2.0.data/scripts/velkarin-sim "
                                               "is not an aarch64 ELF file (e_machine 62)"]
