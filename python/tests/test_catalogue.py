"""The binding's command methods agree with the tools' catalogue.

The catalogue (`kestrel help --json`) names each operation's Python method
and its parameters; the module and its stubs must say the same. KESTREL_CLI
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


def stub_methods():
    """Client's methods in the stubs: name -> parameter names after self."""
    tree = ast.parse(STUBS.read_text())
    client = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Client")
    return {
        f.name: [a.arg for a in f.args.args[1:]]
        for f in client.body
        if isinstance(f, ast.FunctionDef) and not f.name.startswith("_")
    }


def module_parameters(method):
    """Parameter names from the signature line the binding documents."""
    first = getattr(kestrel.Client, method).__doc__.splitlines()[0]
    inside = first[first.index("(") + 1 : first.rindex(") ->")]
    return re.findall(r"(\w+): ", inside)[1:]  # after self


def test_every_command_method_has_the_catalogues_parameters():
    commands = catalogue()
    assert len(commands) == 32
    # and each is called in the command table of test_commands.py
    from test_commands import COMMANDS
    assert {c["python"] for c in commands} == {row[0] for row in COMMANDS}
    stubs = stub_methods()
    for command in commands:
        names = [p["name"] for p in command["parameters"]]
        assert module_parameters(command["python"]) == names, command["operation"]
        assert stubs.get(command["python"]) == names, command["operation"]


def test_the_stubs_declare_the_modules_methods():
    public = {name for name in dir(kestrel.Client) if not name.startswith("_")}
    tree = ast.parse(STUBS.read_text())
    client = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Client")
    properties = {n.target.id for n in client.body if isinstance(n, ast.AnnAssign)}
    assert set(stub_methods()) | properties == public
