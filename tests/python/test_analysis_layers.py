"""The analysis package's modules import each other in layers: no circle, no private names."""

import ast
from pathlib import Path

import korvel_analysis

PACKAGE = Path(korvel_analysis.__file__).parent


def imports():
    """module -> the package modules it imports, and (module, name) of private names used
    from another module."""
    modules = {p.stem for p in PACKAGE.glob("*.py")}
    graph, private = {}, []
    for path in PACKAGE.glob("*.py"):
        deps = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                names = [a.name for a in node.names]
                deps.update([node.module.split(".")[0]] if node.module else names)
                if node.module:
                    private += [(path.stem, n) for n in names if n.startswith("_")]
            elif (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                  and node.value.id in modules - {path.stem} and node.attr.startswith("_")):
                private.append((path.stem, f"{node.value.id}.{node.attr}"))
        graph[path.stem] = deps & modules - {"__init__"}
    return graph, private


def test_no_module_imports_one_that_imports_it_back_nor_a_private_name():
    graph, private = imports()
    assert private == []
    # Depth-first: a module met again on the path it was reached by closes a circle.
    def walk(name, path):
        for dep in sorted(graph[name]):
            assert dep not in path, " -> ".join(path + [dep])
            walk(dep, path + [dep])
    for name in graph:
        walk(name, [name])
    assert "chunks" in graph["cli"] and "tl" in graph["chunks"]  # the graph was read
