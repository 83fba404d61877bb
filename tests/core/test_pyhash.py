"""The engine's imitation of the interpreter: string hashes from any thread, repr() quoting."""

import pytest

from _thread_probe import hash_names_in_threads
from core.ast import Constant, PredicateApp
from core.sorts import PrimitiveSort


def test_string_hashes_from_eight_threads_agree_with_the_interpreter():
    texts = [f"name_from_thread_test_{i}" for i in range(2000)]
    per_thread = hash_names_in_threads(texts, 8)
    expected = [hash(t) for t in texts]
    assert all(hashes == expected for hashes in per_thread)
    # nodes built afterwards from Python see the same cached hashes
    assert hash(PredicateApp(pred=texts[5], arity=0, args=())) == hash(
        PredicateApp(pred="name_from_thread_test_" + "5", arity=0, args=()))


QUOTED_TEXTS = [
    "plain", "", "it's", 'say "hi"', "both ' and \"", "back\\slash", "a\nb", "tab\there\r",
    "\x00\x1f\x7f", "é ü ß", "\x85\xa0\xad", "line\u2028sep\u2029", "\u200b\ufeff", "\U0001f600", "\ue000",
    "\U000e0001", "日本語", "\u3000", "\U0010ffff",
]


@pytest.mark.parametrize("text", QUOTED_TEXTS, ids=repr)
def test_reprs_quote_strings_as_the_interpreter_does(text):
    assert repr(PrimitiveSort(text)) == f"PrimitiveSort(name={text!r})"
    if text:
        assert repr(Constant(text)).endswith(f", name={text!r})")


def test_every_character_is_quoted_as_the_interpreter_does():
    chars = [chr(c) for c in range(0x110000) if c not in (0x27, 0x22) and not 0xD800 <= c <= 0xDFFF]
    for i in range(0, len(chars), 0x10000):
        text = "".join(chars[i:i + 0x10000])
        assert repr(PrimitiveSort(text)) == f"PrimitiveSort(name={text!r})"
