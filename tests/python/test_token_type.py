"""TokenType as Python sees it."""

import copy
import pickle
import subprocess
import sys

import pytest

import tarvelinCXX as tc
from tarvelinCXX import TokenType

MEMBERS = [
    ("NOTTKN", 0),
    ("WRDSPC", 1),
    ("NWLINE", 2),
    ("ENWORD", 4),
    ("NUMBER", 8),
    ("RUWORD", 16),
    ("PNCTTN", 32),
    ("UNKNWN", 64),
]
NAMES = [n for n, _ in MEMBERS]


def test_members_and_values_in_order():
    assert list(TokenType.__members__) == NAMES
    assert [int(m) for m in TokenType.__members__.values()] == [v for _, v in MEMBERS]
    assert type(TokenType.__members__) is dict


@pytest.mark.parametrize("name, value", MEMBERS)
def test_module_attribute_is_the_member(name, value):
    member = getattr(TokenType, name)
    assert getattr(tc, name) is member
    assert TokenType.__members__[name] is member
    assert type(member) is TokenType
    assert member.name == name
    assert member.value == value
    assert int(member) == value
    assert member.__index__() == value
    assert member.__int__() == value
    assert type(member.value) is int
    assert type(int(member)) is int
    assert member.__getstate__() == value
    assert hash(member) == value
    assert str(member) == f"TokenType.{name}"
    assert repr(member) == f"<TokenType.{name}: {value}>"


def test_ruword_conversions():
    assert int(TokenType.RUWORD) == 16
    assert TokenType.RUWORD.value == 16
    assert TokenType.RUWORD.__index__() == 16
    assert list(range(100, 120))[TokenType.NUMBER] == 108  # __index__ at work
    assert TokenType.RUWORD.name == "RUWORD"
    assert str(TokenType.RUWORD) == "{}.{}".format("TokenType", "RUWORD")
    assert repr(TokenType.RUWORD) == "<{}.{}: {}>".format("TokenType", "RUWORD", 16)


def test_bitflags_are_distinct_single_bits():
    values = [v for _, v in MEMBERS[1:]]
    assert all(v & (v - 1) == 0 for v in values)
    total = 0
    for v in values:
        total |= v
    assert total == 127


def test_or_of_two_members_is_a_plain_int():
    r = TokenType.ENWORD | TokenType.RUWORD
    assert r == 20
    assert type(r) is int
    assert (tc.WRDSPC | tc.WRDSPC) == 1
    assert (tc.NOTTKN | tc.UNKNWN) == 64


def test_or_with_int_raises_type_error():
    r = TokenType.ENWORD | TokenType.RUWORD
    with pytest.raises(TypeError):
        r | TokenType.NUMBER  # int | member: no reflected operator
    with pytest.raises(TypeError):
        TokenType.NUMBER | 4  # member | int
    with pytest.raises(TypeError):
        4 | TokenType.NUMBER


@pytest.mark.parametrize(
    "op",
    [
        lambda a, b: a & b,
        lambda a, b: a ^ b,
        lambda a, b: a + b,
        lambda a, b: a - b,
    ],
)
def test_no_other_binary_operators(op):
    with pytest.raises(TypeError):
        op(TokenType.ENWORD, TokenType.RUWORD)


def test_no_inversion():
    with pytest.raises(TypeError):
        ~TokenType.ENWORD


def test_equality():
    assert TokenType.ENWORD == TokenType.ENWORD
    assert TokenType.ENWORD != TokenType.RUWORD
    assert (TokenType.ENWORD == 4) is False
    assert (TokenType.ENWORD != 4) is True
    assert (4 == TokenType.ENWORD) is False
    assert (TokenType.ENWORD == "ENWORD") is False
    assert (TokenType.ENWORD == None) is False  # noqa: E711


@pytest.mark.parametrize(
    "op",
    [
        lambda a, b: a < b,
        lambda a, b: a > b,
        lambda a, b: a <= b,
        lambda a, b: a >= b,
    ],
)
def test_ordering_against_int_raises(op):
    with pytest.raises(TypeError) as info:
        op(TokenType.ENWORD, 4)
    assert str(info.value) == "Expected an enumeration of matching type!"


def test_ordering_between_members():
    assert TokenType.ENWORD < TokenType.RUWORD
    assert TokenType.RUWORD > TokenType.ENWORD
    assert TokenType.ENWORD <= TokenType.ENWORD
    assert TokenType.ENWORD >= TokenType.ENWORD
    assert not (TokenType.RUWORD < TokenType.ENWORD)
    assert sorted(TokenType.__members__.values(), reverse=True)[0] is TokenType.UNKNWN


def test_construction_from_value():
    assert TokenType(4) == TokenType.ENWORD
    assert TokenType(value=16) == TokenType.RUWORD
    assert TokenType(TokenType.NUMBER) == TokenType.NUMBER  # through __index__
    assert TokenType(4).name == "ENWORD"


@pytest.mark.parametrize("bad", [-1, 2**64, 1.0, "4", None])
def test_construction_refuses_bad_values(bad):
    with pytest.raises(TypeError):
        TokenType(bad)


def test_hashable_and_usable_as_key():
    d = {TokenType.ENWORD: "en", TokenType.RUWORD: "ru"}
    assert d[TokenType(4)] == "en"
    assert d[TokenType(16)] == "ru"


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name, value", MEMBERS)
def test_pickle_round_trip(protocol, name, value):
    member = getattr(TokenType, name)
    restored = pickle.loads(pickle.dumps(member, protocol=protocol))
    assert type(restored) is TokenType
    assert restored == member
    assert int(restored) == value
    assert restored.name == name


def test_copy():
    assert copy.copy(TokenType.RUWORD) == TokenType.RUWORD
    assert copy.deepcopy(TokenType.RUWORD) == TokenType.RUWORD


def test_setstate_recreates_member():
    # What unpickling does: a new, uninitialised object, then __setstate__.
    m = TokenType.__new__(TokenType)
    m.__setstate__(32)
    assert m == TokenType.PNCTTN
    assert m.name == "PNCTTN"
    n = TokenType.__new__(TokenType)
    n.__setstate__(64)
    assert n == TokenType.UNKNWN


def test_reduce_by_value():
    assert TokenType.RUWORD.__getstate__() == 16
    restored = pickle.loads(pickle.dumps(TokenType.RUWORD))
    assert restored.__getstate__() == 16


def test_members_are_read_only_properties():
    with pytest.raises(AttributeError):
        TokenType.ENWORD.value = 5
    with pytest.raises(AttributeError):
        TokenType.ENWORD.name = "X"


def test_docstrings_and_signatures():
    assert TokenType.__doc__.startswith("Members:")
    for name in NAMES:
        assert name in TokenType.__doc__
    assert TokenType.__init__.__doc__.startswith(
        "__init__(self: tarvelinCXX.TokenType, value: typing.SupportsInt | typing.SupportsIndex) -> None"
    )
    assert TokenType.__setstate__.__doc__.startswith(
        "__setstate__(self: tarvelinCXX.TokenType, state: typing.SupportsInt | typing.SupportsIndex"
    )
    assert TokenType.__or__.__doc__.startswith(
        "__or__(self: tarvelinCXX.TokenType, arg0: tarvelinCXX.TokenType) -> int"
    )
    assert TokenType.__int__.__doc__.startswith("__int__(self: tarvelinCXX.TokenType")
    assert TokenType.__index__.__doc__.startswith("__index__(self: tarvelinCXX.TokenType")
    assert TokenType.value.fget.__doc__.startswith("(arg0: tarvelinCXX.TokenType) -> int")


def test_no_reflected_or_bound():
    assert "__ror__" not in vars(TokenType)
    assert "__and__" not in vars(TokenType)
    assert "__xor__" not in vars(TokenType)
    assert "__invert__" not in vars(TokenType)


def test_member_accepted_by_set_filter():
    tok = tc.FTTokenizer("ab 12")
    tok.set_filter(TokenType.NUMBER)
    b = tok.get_batch()
    assert b["text"] == "12\0"
    assert list(b["types"]) == [8]


# Protocols 0 and 1 go through copyreg._reduce_ex, which calls the binding
# library's base class with the object; that base class must raise TypeError
# rather than abort the process. Run in a subprocess, so that an abort cannot
# take pytest down.
@pytest.mark.parametrize(
    "expr",
    [
        "pickle.dumps(tc.RUWORD, 0)",
        "pickle.dumps(tc.RUWORD, 1)",
        "pickle.dumps(tc.FTTokenizer('a'), 0)",
        "pickle.dumps(tc.FFTokenizer('/nonexistent'), 1)",
        "type(tc.ENWORD).__mro__[1]()",
    ],
)
def test_no_abort_from_binding_base_construction(expr):
    r = subprocess.run(
        [
            sys.executable,
            "-c",
            "import pickle, tarvelinCXX as tc\n"
            "try:\n"
            f"    {expr}\n"
            "except Exception as e:\n"
            "    print('raised', type(e).__name__)\n"
            "print(int(pickle.loads(pickle.dumps(tc.RUWORD, 2))))\n",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert r.returncode == 0, r.stderr[-500:]
    assert r.stdout.split() == ["raised", "TypeError", "16"]
