"""Runs the README's recipes (its code blocks that start with "# Recipe:") and
checks what they print. A recipe may call a function of one before it: each
runs in a fresh interpreter after the earlier recipes that define what it
calls. A recipe that needs a package that is not installed, or a kind of input
this build does not take, is skipped."""

import ast
import io
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarvelinCXX as tc

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
RECIPES = re.findall(r"^```python\n(# Recipe: (.*?)\n.*?)^```$", README, flags=re.MULTILINE | re.DOTALL)
assert len(RECIPES) >= 4, "the README's recipes have changed their shape"


def file_objects_accepted():
    try:
        tc.FFTokenizer(io.BytesIO(b"a"))
    except TypeError:
        return False
    return True


def arrow_accepted():
    pa = pytest.importorskip("pyarrow")
    try:
        tc.FDTokenizer(pa.array(["a"]))
    except TypeError:
        return False
    return True


def missing_feature(code):
    """Why this build cannot run `code`, or None."""
    if "FDTokenizer" in code and not hasattr(tc, "FDTokenizer"):
        return "no FDTokenizer in this build"
    if "gzip.open(path, \"rb\")" in code and not file_objects_accepted():
        return "FFTokenizer takes no file objects in this build"
    return None


def with_what_it_calls(index):
    """The recipe `index`, after each earlier recipe that defines a function it calls."""
    block = RECIPES[index][0]
    called = {node.func.id for node in ast.walk(ast.parse(block))
              if isinstance(node, ast.Call) and isinstance(node.func, ast.Name)}
    needed = [earlier for earlier, _ in RECIPES[:index]
              if called & {node.name for node in ast.parse(earlier).body if isinstance(node, ast.FunctionDef)}]
    return "\n".join([*needed, block])


@pytest.mark.parametrize("index", range(len(RECIPES)), ids=[title for _, title in RECIPES])
def test_readme_recipe_prints_what_it_says(index):
    code = with_what_it_calls(index)
    for module in re.findall(r"^(?:from|import) (\w+)", code, flags=re.MULTILINE):
        pytest.importorskip(module)
    if why := missing_feature(code):
        pytest.skip(why)
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    block = RECIPES[index][0]
    expected = re.findall(r"^print\(.*\)  # (.*)$", block, flags=re.MULTILINE)
    assert expected, "a recipe shows what it prints"
    # The recipes before this one printed their own lines first.
    assert result.stdout.splitlines()[-len(expected) :] == expected


def test_per_document_token_lists_match_one_tokenizer_a_document():
    """token_lists() on documents that end and begin inside compounds, empty ones,
    and more documents than one batch holds."""
    if not hasattr(tc, "FDTokenizer"):
        pytest.skip("no FDTokenizer in this build")
    namespace = {}
    exec(RECIPES[0][0].rsplit("\nprint(", 1)[0], namespace)
    docs = ["well-", "-known", "", "Москва-река 1-й", "", "x"] * 40_000 + ["a b"]
    expected = [tc.FTTokenizer(d).get_batch().get("text", "").split("\0")[:-1] for d in docs]
    assert namespace["token_lists"](docs) == expected
