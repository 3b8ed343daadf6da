"""sparse.tokens: the English cutter of the keyphrase method.

Against the word pattern it replaces, on random text of every string kind;
its refusal; and, as for the engine's other functions, no leaks, every
allocation allowed to fail, and the interpreter's lock free while it scans.
"""
import re

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import tallowmere.vellumcrest.sparse as sparse
import test_sparse_reliability as reliability

# The tokens as the keyphrase method first found them: a word's characters
# matched one at a time; a mark (punctuation or a paragraph break) as "".
PATTERN = re.compile(
    r"([^\W_](?:\w|['\u2019-](?=\w))*)"
    r"|(?:[.,;:!?()\[\]{}\"\u201c\u201d\u2018\u2026|/\\<>=+*&%$#@~^\u3001-\u303f\uff01-\uff0f\uff1a-\uff20\u2014\u2013]|\n\s*\n)"
)


def cut(text):
    distinct, numbers = sparse.tokens(text)
    return [distinct[k] for k in numpy.frombuffer(numbers, dtype=numpy.uint32).tolist()], distinct


# Letters, digits, marks and spacing of every width: Latin-1, the BMP (CJK,
# the ideographic marks with their letter-like 〇 and 〻, fullwidth forms,
# Arabic-Indic digits) and beyond it (a Gothic letter, an emoji).
ALPHABET = list(
    "ab Z\u00e9\u00aa1_'\u2019--.,;\"()&\n\n\r\t \x0b\x1c\u2029\u3000\u00a0\u0301\u0663\u4e00\u3001\u3007\u303b"
    "\uff01\uff10\uff21\uff3f\u2014\u2026\U00010330\U0001f41d"
)


@settings(max_examples=600, deadline=None)
@given(st.text(alphabet=st.sampled_from(ALPHABET), max_size=80) | st.text(max_size=40))
def test_finds_what_the_word_pattern_finds(text):
    tokens, distinct = cut(text)
    assert tokens == PATTERN.findall(text)
    # "" first, then each word once, in order of first occurrence.
    assert distinct == [""] + list(dict.fromkeys(token for token in tokens if token))
    assert all(type(word) is str for word in distinct)


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", []),
        ("well-known don't cats\u2019 a-", ["well-known", "don't", "cats", "a"]),
        ("x\n\ny \n \t\n z\nw", ["x", "", "y", "", "z", "w"]),  # one break per run of spacing with two line breaks
        ("_a __ b_c 9_", ["a", "b_c", "9_"]),
        ("\u4e00\u4e8c\u3002\u3007", ["\u4e00\u4e8c", "", "\u3007"]),
        ("\U0001f41d bee\U00010330", ["bee\U00010330"]),
    ],
)
def test_cases(text, tokens):
    assert cut(text)[0] == tokens


def test_a_str_subclass_is_cut_and_anything_else_refused():
    class Text(str):
        pass

    assert cut(Text("bees, hive"))[0] == ["bees", "", "hive"]
    for value in (b"bees", None, ["bees"]):
        with pytest.raises(TypeError, match=r"tokens\(\) argument must be str, not "):
            sparse.tokens(value)


def test_no_growth_over_repeated_calls():
    texts = ["bees keep the hive, warm.\n\n" * 50, "\u4e00\u4e8c \U0001f41d ab" * 30, ""]

    def run():
        for _ in range(20):
            for text in texts:
                sparse.tokens(text)
            try:
                sparse.tokens(1)
            except TypeError:
                pass

    reliability.assert_no_growth(run)


SWEEP = reliability.sweep_of("tokens")


@pytest.mark.parametrize(
    "call",
    [
        # Latin-1, two-byte and four-byte strings: more distinct words than
        # the table's first size, so that it grows.
        "' '.join(f'w{k} w{k}-x, ' for k in range(700)) + '\\n\\n'",
        "'\u4e00\u4e8c\u3002\u00e9 ' * 40 + ' '.join(f'\u4e09{k}' for k in range(600))",
        "'\U0001f41d bee \U00010330 ' * 30",
    ],
)
def test_every_allocation_of_a_call_may_fail(call):
    reliability.assert_sweep_passes(SWEEP, call)


def test_other_threads_run_while_it_scans():
    text = "bees keep the hive warm, and the hive keeps the bees.\n\n" * 200_000
    during = reliability.ticks_while(lambda: sparse.tokens(text))
    assert during > 100, during
