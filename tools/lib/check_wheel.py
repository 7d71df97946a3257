"""check_wheel.py WHEEL...: each velkarin wheel holds its extension modules (velkarin*.so at the
top level, built for the wheel's architecture), a stub package for each (velkarin*-stubs/), the
pure-Python packages velkarin_ros2 (its .py files) and velkarin_view (its .py files and the
page's assets under static/), the programs velkarin-sim and velkarin-tool, and its dist-info:
nothing else. Prints every problem and
exits 1 when there is one."""

from __future__ import annotations

import re
import sys
import zipfile
from pathlib import PurePosixPath

SCRIPTS = {"velkarin-sim", "velkarin-tool"}
# ELF e_machine of each wheel architecture.
ELF_MACHINE = {"x86_64": 62, "aarch64": 183}
WHEEL_NAME = re.compile(
    r"(?P<dist>[A-Za-z0-9_.]+)-(?P<version>[^-]+)-cp(?P<py>\d+)-(?P<abi>[^-]+)-(?P<platforms>[^-]+)\.whl"
)
STUB_FILE = re.compile(r"(?P<module>velkarin\w*)-stubs/(\w+/)*(\w+\.pyi|py\.typed)")
PYTHON_FILE = re.compile(r"velkarin_(ros2|view)/(\w+/)*\w+\.py")
PAGE_FILE = re.compile(r"velkarin_view/static/([\w-]+/)*([\w.-]+\.(html|js|css)|LICENSE|SOURCE)")


def elf_machine(data: bytes) -> int | None:
    if data[:4] != b"\x7fELF" or len(data) < 20:
        return None
    return int.from_bytes(data[18:20], "little")


def problems(path: str) -> list[str]:
    name = PurePosixPath(path).name
    tag = WHEEL_NAME.fullmatch(name)
    if tag is None:
        return [f"{name}: not a wheel's file name"]
    arch = next((a for a in ELF_MACHINE if tag["platforms"].endswith("_" + a)), None)
    if arch is None:
        return [f"{name}: platform {tag['platforms']} is neither x86_64 nor aarch64"]
    module_file = re.compile(rf"(?P<module>velkarin\w*)\.cpython-{tag['py']}-{arch}-linux-gnu\.so")
    stem = f"{tag['dist']}-{tag['version']}"
    scripts_dir = f"{stem}.data/scripts/"
    found: list[str] = []
    modules: set[str] = set()
    stubs: set[str] = set()
    scripts: set[str] = set()
    with zipfile.ZipFile(path) as wheel:
        for entry in wheel.infolist():
            file = entry.filename
            if entry.is_dir() or file.startswith(f"{stem}.dist-info/"):
                continue
            binary = None
            if file.startswith(scripts_dir) and file[len(scripts_dir):] in SCRIPTS:
                scripts.add(file[len(scripts_dir):])
                binary = file
            elif match := module_file.fullmatch(file):
                modules.add(match["module"])
                binary = file
            elif match := STUB_FILE.fullmatch(file):
                stubs.add(match["module"])
            elif PYTHON_FILE.fullmatch(file) or PAGE_FILE.fullmatch(file):
                pass
            else:
                found.append(f"{name}: {file} does not belong in the wheel")
            if binary is not None:
                machine = elf_machine(wheel.read(binary))
                if machine != ELF_MACHINE[arch]:
                    found.append(f"{name}: {binary} is not an {arch} ELF file (e_machine {machine})")
    found += [f"{name}: {s} is missing" for s in sorted(SCRIPTS - scripts)]
    if "velkarin" not in modules:
        found.append(f"{name}: the module velkarin is missing")
    found += [f"{name}: module {m} has no {m}-stubs package" for m in sorted(modules - stubs)]
    found += [f"{name}: {m}-stubs has no module {m}" for m in sorted(stubs - modules)]
    return found


def main(wheels: list[str]) -> int:
    if not wheels:
        print("usage: check_wheel.py WHEEL...", file=sys.stderr)
        return 2
    found = [p for w in wheels for p in problems(w)]
    for problem in found:
        print(problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
