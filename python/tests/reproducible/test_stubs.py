"""The shipped type stubs agree with the module: the same public names, and
every function and method with the parameters (names and defaults) of its
text signature."""
import ast
import inspect
from pathlib import Path

import pytest

STUBS = Path(__file__).resolve().parents[2] / "_varlix.pyi"


def stub_tree():
    return ast.parse(STUBS.read_text())


def stub_parameters(node):
    """(name, default source or None) for each parameter after self/cls."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + [ast.unparse(d) for d in node.args.defaults]
    pairs = list(zip((a.arg for a in args), defaults))
    is_static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
    if pairs and pairs[0][0] in ("self", "cls") and not is_static:
        pairs = pairs[1:]
    return pairs


def runtime_parameters(obj):
    """The same pairs, read from the object's __text_signature__ ($self, which
    an unbound method reports as a positional-only self, dropped)."""
    params = list(inspect.signature(obj).parameters.values())
    if params and params[0].name == "self" and params[0].kind is inspect.Parameter.POSITIONAL_ONLY:
        params = params[1:]
    return [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default)) for p in params]


def stubbed_callables():
    """(qualified name, stub function node) for every stubbed callable."""
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list
                ):
                    yield f"{node.name}.{member.name}", member


def resolve(vx, qualified):
    cls_name, _, member = qualified.rpartition(".")
    owner = getattr(vx, cls_name) if cls_name else vx
    return owner if member == "__new__" else getattr(owner, member)


def test_stubs_name_every_public_attribute(vx):
    stubbed = {n.name for n in stub_tree().body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert stubbed == {name for name in vars(vx) if not name.startswith("_")}


@pytest.mark.parametrize("qualified, node", list(stubbed_callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_stub_signature_matches_text_signature(vx, qualified, node):
    assert stub_parameters(node) == runtime_parameters(resolve(vx, qualified))
