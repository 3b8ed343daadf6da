"""Word-size boundaries, checked on whatever platform runs the suite.

On 32-bit ARM Linux (armv7l) Py_ssize_t, C long and Py_hash_t are 32 bits
wide, so sizes, positions and windows near 2**31 take other paths there than
near 2**63 on a 64-bit build, and ints whose hashes collide differ too.  Each
case runs on both sides of both boundaries and compares the module with the
plain-Python model in the same process: the same words, order and scores, or
the same exception type and message.
"""
import ctypes
import struct
import sys

import numpy
import pytest

import model
from conftest import assert_same, outcome
import tallowmere.vellumcrest.keyword as keyword
from tallowmere.vellumcrest.keyword import textrank, tfidf

IS_32_BIT = sys.maxsize == 2**31 - 1

# Both platforms' Py_ssize_t limits, each with its neighbours.
BOUNDARIES = sorted({edge + step for edge in (2**31, 2**63) for step in (-2, -1, 0, 1)}
                    | {-(edge + step) for edge in (2**31, 2**63) for step in (-1, 0, 1)})

CORPORA = {
    "list": "the cat sat on the mat the cat ran".split(),
    "tuple": tuple("abcab"),
    "str": "abracadabra",
}




# ---- windows, n_word and lengths at the boundaries -----------------------------

@pytest.mark.parametrize("corpus", CORPORA.values(), ids=CORPORA.keys())
@pytest.mark.parametrize("window", BOUNDARIES + [numpy.int32(2**31 - 1), numpy.int64(2**31), numpy.int64(-2**31)],
                         ids=repr)
def test_textrank_window_at_the_word_size_boundaries(corpus, window):
    # An exact int window that fits Py_ssize_t is worked on machine integers,
    # until a position plus the window would overflow; anything else takes
    # the int object path.  Both must give the model's neighbours.
    assert_same(outcome(textrank, corpus, window, n_word=None),
                outcome(model.textrank, corpus, window, n_word=None))


@pytest.mark.parametrize("n_word", BOUNDARIES + [numpy.int64(2**31), numpy.int64(-2**31), numpy.int32(-2**31)],
                         ids=repr)
def test_n_word_at_the_word_size_boundaries(n_word):
    corpus = CORPORA["list"]
    idf = {"cat": 1.5, "mat": 2, "ran": 0.5}
    assert_same(outcome(tfidf, corpus, idf, n_word), outcome(model.tfidf, corpus, idf, n_word))
    assert_same(outcome(textrank, corpus, n_word=n_word), outcome(model.textrank, corpus, n_word=n_word))


class Claimed:
    """A sequence of three words whose __len__ claims `length` items."""

    def __init__(self, length):
        self.length = length
        self.words = ["x", "y", "x"]

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.words[i]


@pytest.mark.parametrize("length", [3, 2**31 - 1, 2**31, 2**63 - 1, 2**63], ids=repr)
def test_corpus_length_at_the_word_size_boundaries(length):
    # Past Py_ssize_t, len() fails with OverflowError; below it, the positions
    # past the real words fail with IndexError where the window reaches them.
    got = outcome(textrank, Claimed(length), 2)
    assert_same(got, outcome(model.textrank, Claimed(length), 2))
    if length > sys.maxsize:
        assert got == ("error", (OverflowError, "cannot fit 'int' into an index-sized integer"))


# ---- words whose hashes collide ------------------------------------------------

def colliding_ints():
    """Distinct ints with equal hashes: multiples of the hash modulus, which is
    2**31 - 1 on a 32-bit build and 2**61 - 1 on a 64-bit one."""
    modulus = sys.hash_info.modulus
    return [0, modulus, 1, modulus + 1, 2 * modulus, -modulus, modulus, 1, 0, 2**31 - 1, 2**31, -(2**31)]


def test_colliding_hashes_keep_words_apart():
    corpus = colliding_ints()
    assert len({hash(word) for word in corpus}) < len(set(corpus))
    for window in (2, 3, 5):
        assert_same(outcome(textrank, corpus, window, n_word=None),
                    outcome(model.textrank, corpus, window, n_word=None))
    idf = {word: word % 7 - 3 for word in corpus}
    assert_same(outcome(tfidf, corpus, idf, None), outcome(model.tfidf, corpus, idf, None))
    assert sorted(word for word, _ in tfidf(corpus, idf, None)) == sorted(set(corpus))


# ---- the shared object itself ------------------------------------------------

def dynamic_symbols(path):
    """{name: (size, type, binding, section)} of an ELF file's dynamic symbols."""
    with open(path, "rb") as file:
        data = file.read()
    assert data[:4] == b"\x7fELF"
    is_64 = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if is_64:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
        symbol, symbol_size = order + "IBBHQQ", 24
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
        symbol, symbol_size = order + "IIIBBH", 16
    sections = [struct.unpack_from(section, data, shoff + k * shentsize) for k in range(shnum)]
    symbols = {}
    for _, kind, _, _, offset, size, link, _, _, _ in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings_offset = sections[link][4]
        for start in range(offset, offset + size, symbol_size):
            if is_64:
                name, info, _, shndx, _, sym_size = struct.unpack_from(symbol, data, start)
            else:
                name, _, sym_size, info, _, shndx = struct.unpack_from(symbol, data, start)
            end = data.index(b"\0", strings_offset + name)
            symbols[data[strings_offset + name:end].decode()] = (sym_size, info & 0xF, info >> 4, shndx)
    return symbols


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF shared objects only")
def test_shared_object_matches_the_interpreter_and_exports_its_symbols():
    path = keyword.__file__
    with open(path, "rb") as file:
        ident = file.read(6)
    assert ident[4] == (1 if IS_32_BIT else 2)  # ELFCLASS32 or ELFCLASS64, as the interpreter
    assert ident[5] == (1 if sys.byteorder == "little" else 2)
    symbols = dynamic_symbols(path)
    # A signed 32-bit data flag on every platform, defined and global.
    assert symbols["module_is_main_tallowmere__vellumcrest__keyword"][:3] == (4, 1, 1)  # STT_OBJECT, STB_GLOBAL
    assert symbols["module_is_main_tallowmere__vellumcrest__keyword"][3] != 0
    assert symbols["PyInit_keyword"][1:3] == (2, 1)  # STT_FUNC, STB_GLOBAL
    assert ctypes.c_int32.in_dll(ctypes.CDLL(path), "module_is_main_tallowmere__vellumcrest__keyword").value == 0
