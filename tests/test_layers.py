"""The engine's subsystems depend one way: each folder includes only its own
headers and those of the folders below it, and no engine file includes the
binding or Python. A misplaced include fails here before it tangles the tree."""

import re
from pathlib import Path

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
