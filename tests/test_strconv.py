import traceback

import pytest

from mirelo.core import strconv
from mirelo.core.strconv import str_to_bytearray


@pytest.mark.parametrize(
    "text, expected",
    [
        ("abc", b"\x61\x62\x63"),
        ("", b""),
        ("\u00e9", b"\xe9"),  # low byte of the code point, not UTF-8
        ("\u0100", b"\x00"),
        ("\u20ac", b"\xac"),
        ("\U0001f600", b"\x00"),
        ("a\u00ff\u0101\U00010041", b"a\xff\x01\x41"),  # mixed storage widths
    ],
)
def test_low_byte_of_each_code_point(text, expected):
    out = str_to_bytearray(text)
    assert type(out) is bytearray
    assert out == bytearray(expected)


def test_keyword_argument_and_fresh_result():
    a = str_to_bytearray(text="xy")
    b = str_to_bytearray(text="xy")
    assert a == bytearray(b"xy")
    assert a is not b
    a[0] = 0  # mutable and not shared
    assert b == bytearray(b"xy")


def test_long_text_matches_python_model():
    text = "".join(chr(c) for c in range(0, 0x3000, 7))
    assert str_to_bytearray(text) == bytearray(ord(c) & 0xFF for c in text)


class Sub(str):
    pass


@pytest.mark.parametrize(
    "arg, got", [(b"abc", "bytes"), (Sub("abc"), "Sub"), (5, "int"), (["a"], "list")]
)
def test_wrong_type(arg, got):
    with pytest.raises(TypeError) as exc:
        str_to_bytearray(arg)
    assert str(exc.value) == f"Argument 'text' has incorrect type (expected str, got {got})"


def test_none_is_not_iterable():
    with pytest.raises(TypeError) as exc:
        str_to_bytearray(None)
    assert str(exc.value) == "'NoneType' is not iterable"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "str_to_bytearray() takes exactly 1 positional argument (2 given)"),
        (("a",), {"text": "b"}, "str_to_bytearray() got multiple values for keyword argument 'text'"),
        ((), {"txt": "a"}, "str_to_bytearray() got an unexpected keyword argument 'txt'"),
        (("a",), {"other": 1}, "str_to_bytearray() got an unexpected keyword argument 'other'"),
    ],
)
def test_argument_errors_use_standard_wording(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        str_to_bytearray(*args, **kwargs)
    assert str(exc.value) == message


def test_failure_has_traceback_entry():
    with pytest.raises(TypeError) as exc:
        str_to_bytearray(None)
    last = traceback.extract_tb(exc.value.__traceback__)[-1]
    assert last.name == "mirelo.core.strconv.str_to_bytearray"
    assert last.filename.replace("\\", "/").startswith("mirelo/core/strconv")
    assert last.lineno > 0


def test_module_shape():
    assert strconv.__name__ == "mirelo.core.strconv"
    assert [n for n in dir(strconv) if not n.startswith("_")] == ["str_to_bytearray"]
    assert "text" in str_to_bytearray.__doc__
