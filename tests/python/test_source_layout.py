# test_source_layout.py: the sources keep their layering: no component (a .hpp/.cpp pair) of src/
# depends on itself through the others, and the reader core never reaches the Python-facing layer.
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def component_graph(src):
    """Each component (path without suffix, relative to `src`) with the components it includes.
    A quoted include names a file of the includer's own folder, else one of lib/, the core's
    include folder, which both targets see."""
    graph = {}
    for path in sorted(src.rglob("*.[ch]pp")):
        component = path.relative_to(src).with_suffix("").as_posix()
        used = graph.setdefault(component, set())
        for name in INCLUDE.findall(path.read_text()):
            for folder in (path.parent, src / "lib"):
                if (folder / name).is_file():
                    used.add((folder / name).relative_to(src).with_suffix("").as_posix())
                    break
        used.discard(component)
    return graph


def include_loop(graph):
    """The first loop of components found, as a list that starts and ends with the same one; an
    empty list when there is none."""
    done, path = set(), []

    def visit(component):
        if component in path:
            return path[path.index(component):] + [component]
        if component in done:
            return []
        path.append(component)
        for used in sorted(graph.get(component, ())):
            if loop := visit(used):
                return loop
        path.pop()
        done.add(component)
        return []

    for component in sorted(graph):
        if loop := visit(component):
            return loop
    return []


def test_no_include_loop():
    graph = component_graph(ROOT / "src")
    assert "interface/pending_error" in graph and "lib/reader" in graph
    assert include_loop(graph) == []


def test_core_does_not_include_the_interface():
    graph = component_graph(ROOT / "src")
    reaching_up = {c: sorted(u for u in used if u.startswith("interface/"))
                   for c, used in graph.items() if c.startswith("lib/")}
    assert {c: u for c, u in reaching_up.items() if u} == {}
    python = [p.name for p in (ROOT / "src" / "lib").iterdir() if "Python.h" in p.read_text()]
    assert python == []


# The check itself, on small trees: a loop through a .cpp file counts as much as one through
# headers, a file that includes its own header is no loop, and includes resolve into lib/.
TREES = [
    ("loop_through_cpp", {"interface/a.hpp": "", "interface/a.cpp": '#include "b.hpp"',
                          "interface/b.hpp": "", "interface/b.cpp": '#include "a.hpp"'},
     ["interface/a", "interface/b", "interface/a"]),
    ("loop_through_headers", {"lib/x.hpp": '#include "y.hpp"', "lib/y.hpp": '#include "z.hpp"',
                              "lib/z.hpp": ' #  include "x.hpp"'},
     ["lib/x", "lib/y", "lib/z", "lib/x"]),
    ("core_cannot_see_the_interface", {"interface/a.cpp": '#include "core.hpp"', "interface/a.hpp": "",
                       "lib/core.hpp": "", "lib/core.cpp": '#include "a.hpp"'}, []),
    ("own_header", {"interface/a.hpp": "", "interface/a.cpp": '#include "a.hpp"\n#include <Python.h>'},
     []),
    ("chain", {"lib/x.hpp": "", "interface/a.hpp": '#include "x.hpp"',
               "interface/b.cpp": '#include "a.hpp"\n#include "x.hpp"'}, []),
]


@pytest.mark.parametrize("files, loop", [t[1:] for t in TREES], ids=[t[0] for t in TREES])
def test_include_loop_check(tmp_path, files, loop):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text + "\n")
    assert include_loop(component_graph(tmp_path)) == loop
