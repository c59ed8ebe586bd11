"""Refuse import cycles among the modules of rainmill_models (run by `make lint`).

Every import counts: at module level, inside a function (a lazy import is a dependency too) and
under `if TYPE_CHECKING:` (a type annotation that names a module above is a dependency that runs
back up, even though it never runs). The native module counts by its stub (`_kernels.pyi`), so
`from .. import _kernels` is an import of it, not of the package. Prints each cycle and exits 1
when there is one; prints the number of modules and imports read and exits 0 otherwise.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "rainmill_models"


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports(path: Path, modules: set[str]) -> set[str]:
    """The package's modules that `path` imports (the deepest module each import names)."""
    here = module_name(path)
    package = here if path.name == "__init__.py" else here.rpartition(".")[0]
    found: set[str] = set()
    stack: list[ast.AST] = [ast.parse(path.read_text(encoding="utf-8"))]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")
                base = base[: len(base) - (node.level - 1)]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            for alias in node.names:
                candidate = f"{target}.{alias.name}"
                found.add(candidate if candidate in modules else target)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        stack.extend(ast.iter_child_nodes(node))
    return {name for name in found if name in modules and name != here}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one module (Tarjan's algorithm)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    found: list[list[str]] = []
    counter = [0]

    def visit(node: str) -> None:
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for other in sorted(graph[node]):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def main() -> int:
    paths = sorted(PACKAGE.rglob("*.py"))
    modules = {module_name(path) for path in [*paths, *PACKAGE.rglob("*.pyi")]}
    graph = {name: set[str]() for name in modules}  # a stub imports nothing
    graph.update({module_name(path): imports(path, modules) for path in paths})
    found = cycles(graph)
    for component in found:
        print("import cycle: " + " <-> ".join(component), file=sys.stderr)
    if found:
        return 1
    print(f"no import cycles among {len(graph)} modules ({sum(map(len, graph.values()))} imports)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
