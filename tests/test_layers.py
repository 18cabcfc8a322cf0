"""Dependencies point one way. The engine's subsystems: each folder includes
only its own headers and those of the folders below it, and no engine file
includes the binding or Python. The Python packages beside the extension
modules: no two of their modules import each other, however indirectly. A
misplaced include or import fails here before it tangles the tree."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
ENGINE = ROOT / "src" / "engine"
# Bottom to top; the files at the top of src/engine (the database) see everything.
LAYERS = ["util", "metadata", "storage", "index", "query", ""]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def layer_of(relative: str) -> int:
    first = relative.split("/")[0] if "/" in relative else ""
    return LAYERS.index(first)


def test_engine_includes_point_down_the_layers():
    wrong = []
    for path in sorted(ENGINE.rglob("*.[ch]pp")):
        own = layer_of(str(path.relative_to(ENGINE)))
        for target in INCLUDE.findall(path.read_text()):
            if target == "Python.h" or target.startswith("python/"):
                wrong.append(f"{path.relative_to(ROOT)} includes {target}: the engine knows no Python")
            elif target.startswith("engine/"):
                if layer_of(target.removeprefix("engine/")) > own:
                    wrong.append(f"{path.relative_to(ROOT)} includes {target}, a layer above its own")
    assert not wrong, "\n".join(wrong)


# The Python packages that ship beside the extension modules.
PACKAGES = [p for p in (ROOT / "src" / "orbisk_cli", ROOT / "src" / "orbisk_columnar") if p.is_dir()]


def imported_siblings(path: Path, package: str) -> set[str]:
    """The modules of `package` that the module at `path` imports anywhere:
    at the top, inside functions, or for the type checker alone."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            names = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package if node.level else (node.module or "")
            if node.level and node.module:
                base += "." + node.module
            names = [base] + [f"{base}.{a.name}" for a in node.names]
        else:
            continue
        for name in names:
            parts = name.split(".")
            if parts[0] == package and len(parts) > 1 and (path.parent / f"{parts[1]}.py").exists():
                found.add(parts[1])
    return found


@pytest.mark.parametrize("package", PACKAGES, ids=lambda p: p.name)
def test_package_modules_import_each_other_without_a_cycle(package):
    graph = {p.stem: imported_siblings(p, package.name) - {p.stem} for p in sorted(package.glob("*.py"))}
    cycles = []
    state = {}  # module -> "open" while on the path, "done" after

    def visit(module, path):
        state[module] = "open"
        for target in sorted(graph[module]):
            if state.get(target) == "open":
                cycles.append(" -> ".join(path[path.index(target) :] + [target]))
            elif target not in state:
                visit(target, path + [target])
        state[module] = "done"

    for module in graph:
        if module not in state:
            visit(module, [module])
    assert not cycles, "import cycles:\n" + "\n".join(cycles)
