"""The type stub against the live module, and mypy --strict over programs that use it."""

import ast
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarvelinCXX as tc

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "module" / "tarvelinCXX.pyi"
EXAMPLES = ROOT / "examples"

CLASSES = ["TokenType", "fts_stream", "FTTokenizer", "ffs_stream", "FFTokenizer"]
# Attributes every bound class carries that are no part of its interface.
NOT_INTERFACE = {"__doc__", "__module__", "_pybind11_conduit_v1_"}


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def defined_names(body):
    """Names bound by the statements of a module or class body in the stub."""
    names = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
    return names


def stub_module():
    return defined_names(stub_tree().body)


def stub_class(name):
    node = stub_module()[name]
    assert isinstance(node, ast.ClassDef)
    return defined_names(node.body)


def has_signature(obj, name):
    """Whether the live attribute carries a bound signature line."""
    doc = getattr(obj, "__doc__", None) or ""
    return doc.startswith(f"{name}(") and " -> " in doc.splitlines()[0]


def live_class_names(cls):
    names = set()
    for name, value in vars(cls).items():
        if name in NOT_INTERFACE:
            continue
        if name.startswith("__") and not name.endswith("__"):
            continue  # private to the binding library
        if name == "__init__" and not has_signature(value, name):
            continue  # no constructor bound: calling the class raises TypeError
        names.add(name)
    return names


SIGNATURE = re.compile(r"^(?P<name>\w*)\((?P<params>.*)\) -> (?P<result>.+)$")


def parse_signature(line):
    """Splits a bound signature line into [(name, type)] after self, and the result type."""
    match = SIGNATURE.match(line)
    assert match, line
    params = []
    for part in match["params"].split(", ")[1:]:
        if part == "/":
            continue
        pname, _, ptype = part.partition(": ")
        params.append((pname, ptype.partition(" = ")[0]))  # the default is not a type
    return params, match["result"]


def normalized(type_text):
    """The set of alternatives of a type, without module prefixes."""
    text = type_text.replace("typing.", "").replace("tarvelinCXX.", "")
    return {part.strip() for part in text.split("|")}


def typed_dicts():
    return {
        name
        for name, node in stub_module().items()
        if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "TypedDict" for b in node.bases)
    }


@pytest.mark.parametrize("relative", ["tarvelinCXX.pyi", "tarvelinCXX-stubs/__init__.pyi"])
def test_installed_stub_is_the_source_stub(relative):
    installed = Path(tc.__file__).resolve().parent / relative
    assert installed.is_file(), f"{installed} is not installed"
    assert installed.read_bytes() == STUB.read_bytes()


def test_stub_names_are_the_module_names():
    live = {name for name in dir(tc) if not name.startswith("_")}
    stub = {name for name in stub_module() if not name.startswith("_")}
    assert stub == live


def test_module_dunders_are_typed():
    dunders = {name: ast.unparse(node.annotation) for name, node in stub_module().items() if name.startswith("__")}
    assert dunders == {"__version__": "str"}
    assert isinstance(tc.__version__, str)


def test_private_stub_names_are_typing_only():
    private = {name for name in stub_module() if name.startswith("_") and not name.startswith("__")}
    assert private, "the batch types are missing"
    assert private == typed_dicts()
    for name in private:
        assert not hasattr(tc, name)


@pytest.mark.parametrize("member", list(tc.TokenType.__members__))
def test_exported_members_are_typed_as_token_types(member):
    module, cls = stub_module(), stub_class("TokenType")
    assert ast.unparse(module[member].annotation) == "TokenType"
    assert ast.unparse(cls[member].annotation) == "ClassVar[TokenType]"
    assert getattr(tc, member) is tc.TokenType.__members__[member]


@pytest.mark.parametrize("name", CLASSES)
def test_class_members_match(name):
    assert set(stub_class(name)) == live_class_names(getattr(tc, name))


def bound_methods():
    for cname in CLASSES:
        cls = getattr(tc, cname)
        for mname in sorted(live_class_names(cls)):
            value = vars(cls)[mname]
            if isinstance(value, property):
                continue  # properties, static ones included, are checked below
            if has_signature(value, mname):
                yield cname, mname


def check_parameters(function, live_params):
    args = function.args
    assert [a.arg for a in args.posonlyargs[:1] + args.args[:1]][:1] == ["self"]
    positional_only = [a for a in args.posonlyargs if a.arg != "self"]
    named = [a for a in args.args if a.arg != "self"]
    assert not args.vararg and not args.kwarg and not args.kwonlyargs
    stub_params = positional_only + named
    assert len(stub_params) == len(live_params)
    for stub_param, (pname, ptype) in zip(stub_params, live_params):
        if re.fullmatch(r"arg\d+", pname):
            # No keyword name is bound: the stub must make it positional-only.
            assert stub_param in positional_only, pname
        else:
            assert stub_param in named and stub_param.arg == pname
        assert normalized(ptype) <= normalized(ast.unparse(stub_param.annotation)), (pname, ptype)


def check_result(function, live_result):
    stub_result = ast.unparse(function.returns)
    if live_result == "dict":
        assert stub_result in typed_dicts()
    else:
        assert normalized(stub_result) == normalized(live_result)


@pytest.mark.parametrize("cname, mname", list(bound_methods()))
def test_method_signatures_match(cname, mname):
    function = stub_class(cname)[mname]
    assert isinstance(function, ast.FunctionDef)
    live_params, live_result = parse_signature(vars(getattr(tc, cname))[mname].__doc__.splitlines()[0])
    check_parameters(function, live_params)
    check_result(function, live_result)


@pytest.mark.parametrize(
    "cname, pname",
    [(c, n) for c in CLASSES for n in sorted(live_class_names(getattr(tc, c))) if type(vars(getattr(tc, c))[n]) is property],
)
def test_properties_match(cname, pname):
    function = stub_class(cname)[pname]
    assert isinstance(function, ast.FunctionDef)
    assert [ast.unparse(d) for d in function.decorator_list] == ["property"]
    getter = vars(getattr(tc, cname))[pname].fget
    _, live_result = parse_signature(getter.__doc__.splitlines()[0])
    check_result(function, live_result)


# --- mypy --strict -----------------------------------------------------------------

GOOD_PROGRAM = """
    import numpy as np
    import numpy.typing as npt

    import tarvelinCXX as tc


    def words(text: str | bytes) -> list[tuple[str, tc.TokenType]]:
        tokenizer = tc.FTTokenizer(text=text)
        tokenizer.set_filter(tc.ENWORD | tc.RUWORD)
        tokenizer.set_batch_size(1024)
        tokenizer.set_token_min_len(2)
        tokenizer.set_token_max_len(tc.TokenType.UNKNWN)
        out: list[tuple[str, tc.TokenType]] = []
        for batch in tokenizer.stream:
            kinds: npt.NDArray[np.uint64] = batch["types"].copy()
            for token, kind in zip(batch["text"].split("\\0"), kinds.tolist()):
                out.append((token, tc.TokenType(kind)))
        return out


    def count(path: str) -> int:
        tokenizer = tc.FFTokenizer(path)
        if not tokenizer.is_fopen():
            return -1
        n = 0
        while batch := tokenizer.get_batch():
            n += len(batch["types"])
        return n


    names: list[str] = [member.name for member in tc.TokenType.__members__.values()]
    mask: int = tc.NUMBER | tc.PNCTTN
    ordered: bool = tc.ENWORD < tc.RUWORD
    value: int = tc.RUWORD.value + int(tc.ENWORD)
    version: str = tc.__version__
    print(words("well-known слова"), count("/nonexistent"), names, mask, ordered, value, version)
"""

# Each line marked "# error" must be reported, and no other line.
BAD_PROGRAM = """
    import pathlib

    import tarvelinCXX as tc

    tokenizer = tc.FTTokenizer("text")
    tokenizer.set_filter("ENWORD")  # error
    tokenizer.set_batch_size("1024")  # error
    tokenizer.set_token_min_len(n=2)  # error
    tc.FTTokenizer(fpath="text")  # error
    tc.FFTokenizer(1.5)  # error
    tokenizer.is_fopen()  # error
    kind: tc.TokenType = tc.ENWORD | tc.RUWORD  # error
    tc.ENWORD | 4  # error
    tokenizer.stream = tokenizer.stream  # error
    text: bytes = tokenizer.get_batch()["text"]  # error
    tokenizer.get_batch()["tokens"]  # error
    name: int = tc.NUMBER.name  # error
    tc.ENWORD < 4  # error
"""


def run_mypy(tmp_path, files):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(tmp_path / "cache"), *files],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    return result.returncode, result.stdout + result.stderr


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy")


def test_mypy_strict_accepts_typical_programs(mypy_dir):
    program = mypy_dir / "good.py"
    program.write_text(textwrap.dedent(GOOD_PROGRAM), encoding="utf-8")
    examples = [str(EXAMPLES / name) for name in ("_tokens.py", "demo.py")]
    status, output = run_mypy(mypy_dir, [str(program), *examples])
    assert status == 0, output
    assert "Success" in output


def test_mypy_strict_rejects_misuse(mypy_dir):
    source = textwrap.dedent(BAD_PROGRAM)
    program = mypy_dir / "bad.py"
    program.write_text(source, encoding="utf-8")
    status, output = run_mypy(mypy_dir, [str(program)])
    assert status == 1, output
    expected = {n for n, line in enumerate(source.splitlines(), start=1) if line.endswith("# error")}
    reported = {int(m) for m in re.findall(r"^bad\.py:(\d+): error:", output, flags=re.MULTILINE)}
    assert "import-not-found" not in output and "import-untyped" not in output, output
    assert reported == expected, output
