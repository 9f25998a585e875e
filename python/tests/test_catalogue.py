"""The binding's command methods agree with the tools' catalogue.

The catalogue (`kestrel help --json`) names each operation's Python method
and its parameters; the module must take them, and its stubs must say what
the module's signatures say. KESTREL_CLI
names the command-line client (the CMake test sets it); without it the
default build's is used.
"""

import ast
import json
import os
import pathlib
import re
import subprocess

import kestrel

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "python/kestrel/__init__.pyi"


def catalogue():
    cli = pathlib.Path(os.environ.get("KESTREL_CLI", ROOT / "build/default/tools/cli/kestrel"))
    out = subprocess.run([cli, "help", "--json"], check=True, capture_output=True, text=True)
    return [json.loads(line) for line in out.stdout.splitlines()]


def split_parameters(inside):
    """(name, has a default) of each parameter in "a: T, b: U[V, W] = x"."""
    parts, depth, current = [], 0, ""
    for char in inside:
        if char in "[(":
            depth += 1
        elif char in "])":
            depth -= 1
        if char == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    parts.append(current)
    return [(part.split(":")[0].strip(), "=" in part) for part in parts if part.strip()]


def runtime_signatures(method):
    """(parameters after self, return annotation) of each signature pybind11
    documents for `method`: one, or one per overload."""
    lines = method.__doc__.splitlines()
    if "(*args, **kwargs)" in lines[0]:
        lines = [line.split(". ", 1)[1] for line in lines if re.match(r"\d+\. \w+\(", line)]
    else:
        lines = lines[:1]
    signatures = []
    for line in lines:
        inside, returned = re.fullmatch(r"\w+\((.*)\) -> (.+)", line).groups()
        signatures.append((split_parameters(inside)[1:], returned))
    return sorted(signatures)


def stub_client():
    tree = ast.parse(STUBS.read_text())
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Client")


def stub_signatures():
    """Client's public methods in the stubs: name -> sorted (parameters, return)."""
    methods = {}
    for f in stub_client().body:
        if isinstance(f, ast.FunctionDef) and not f.name.startswith("_"):
            if any(getattr(d, "id", None) == "property" for d in f.decorator_list):
                continue
            positional = f.args.args[1:]
            defaults = [False] * (len(positional) - len(f.args.defaults)) + [True] * len(
                f.args.defaults)
            parameters = [(a.arg, d) for a, d in zip(positional, defaults)]
            methods.setdefault(f.name, []).append((parameters, ast.unparse(f.returns)))
    return {name: sorted(signatures) for name, signatures in methods.items()}


def test_every_command_method_takes_the_catalogues_parameters():
    """In the catalogue's order; one the tools never ask for may be left out."""
    commands = catalogue()
    assert len(commands) == 32
    # and each is called in the command table of test_commands.py
    from test_commands import COMMANDS
    assert {c["python"] for c in commands} == {row[0] for row in COMMANDS}
    for command in commands:
        [(parameters, _)] = runtime_signatures(getattr(kestrel.Client, command["python"]))
        taken = [name for name, _ in parameters]
        expected = [p["name"] for p in command["parameters"] if p["asked"] or p["name"] in taken]
        assert taken == expected, command["operation"]


def test_the_stubs_match_the_runtime_signatures():
    """Every public method: parameter names, which have defaults, and the
    return type; the properties are the rest."""
    stubs = stub_signatures()
    public = {name for name in dir(kestrel.Client) if not name.startswith("_")}
    methods = {name for name in public if callable(getattr(kestrel.Client, name))}
    assert set(stubs) == methods
    for name in sorted(methods):
        assert runtime_signatures(getattr(kestrel.Client, name)) == stubs[name], name
    properties = {n.name for n in stub_client().body if isinstance(n, ast.FunctionDef)
                  and any(getattr(d, "id", None) == "property" for d in n.decorator_list)}
    properties |= {n.target.id for n in stub_client().body if isinstance(n, ast.AnnAssign)}
    assert properties == public - methods
