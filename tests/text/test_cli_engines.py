"""The command line's --engine choice and its exit status for running out of
memory."""

import json
import os
import platform
import sys

import pytest

import tallowmere.vellumcrest.keyword as keyword
from tallowmere.vellumcrest import inputs
from tallowmere.vellumcrest.cli import command, output
from tallowmere.vellumcrest.options import AUTO_EXACT_MAX_WORDS
from conftest import run_command
from sparse_agreement import close

def run(*args, preexec_fn=None):
    # The engines are textrank's: it runs unless another method is named.
    method = [] if "--method" in args else ["--method", "textrank"]
    return run_command(*method, *args, preexec_fn=preexec_fn)


def document(distinct, repeat=2):
    """A text of `distinct` different words, each `repeat` times."""
    return " ".join(f"w{k}x" for k in range(distinct) for _ in range(repeat)) + "\n"


@pytest.mark.parametrize("extra", [[], ["--english", "--top", "all"], ["--window", "2", "--iterations", "30"]])
def test_the_engines_rank_the_sample_alike(extra):
    outputs = {engine: run("--json", "--engine", engine, *extra) for engine in ("exact", "sparse", "auto")}
    assert all(status == 0 and err == "" for status, _, err in outputs.values()), outputs
    ranked = {engine: json.loads(out)["documents"][0]["keywords"] for engine, (_, out, _) in outputs.items()}
    assert ranked["auto"] == ranked["exact"]  # the sample is small: auto ranks it exactly
    assert len(ranked["sparse"]) == len(ranked["exact"])
    for a, b in zip(ranked["exact"], ranked["sparse"]):
        assert close(a["score"], b["score"]), (a, b)


def test_auto_switches_at_the_documented_size():
    from tallowmere.vellumcrest.extract import choose_engine

    assert choose_engine("auto", AUTO_EXACT_MAX_WORDS) == "exact"
    assert choose_engine("auto", AUTO_EXACT_MAX_WORDS + 1) == "sparse"
    for engine in ("exact", "sparse"):
        assert {choose_engine(engine, n) for n in (1, 10**6)} == {engine}


def test_auto_ranks_a_large_document_with_the_sparse_engine(tmp_path, monkeypatch):
    # The exact ranker is out of reach here: a call of it would fail the test.
    def refuse(*args, **kwargs):
        raise AssertionError("the exact engine was used")

    monkeypatch.setattr(keyword, "textrank", refuse)
    path = tmp_path / "long.txt"
    path.write_text(document(AUTO_EXACT_MAX_WORDS + 1))
    out = []
    monkeypatch.setattr(output, "write_stdout", out.append)
    assert command.main(["--top", "3", str(path)]) == inputs.EXIT_OK
    assert len(out[0].splitlines()) == 3


def test_engine_is_a_textrank_option():
    status, out, err = run("--method", "tfidf", "--engine", "sparse")
    assert status == inputs.EXIT_USAGE and out == ""
    assert "--engine applies only to --method textrank" in err
    status, _, err = run("--engine", "dense")
    assert status == inputs.EXIT_USAGE and "invalid choice" in err


@pytest.mark.parametrize("engine", ["exact", "sparse", "auto"])
def test_a_memory_error_is_one_line_and_its_own_status(engine, tmp_path, monkeypatch):
    import tallowmere.vellumcrest.sparse as sparse

    def fail(*args, **kwargs):
        raise MemoryError()

    monkeypatch.setattr(keyword, "textrank", fail)
    monkeypatch.setattr(sparse, "textrank", fail)
    path = tmp_path / "doc.txt"
    path.write_text(document(5))
    errors = []
    monkeypatch.setattr(sys, "stderr", type("Err", (), {"write": errors.append, "flush": lambda self: None})())
    written = []
    monkeypatch.setattr(output, "write_stdout", written.append)
    assert command.main(["--method", "textrank", "--engine", engine, str(path)]) == inputs.EXIT_MEMORY
    message = "".join(errors)
    assert message.count("\n") == 1
    chosen = "exact" if engine == "auto" else engine
    assert message.startswith(f"vellumcrest-keywords: error: {path}: not enough memory to rank 5 distinct words"
                              f" with the {chosen} engine")
    assert written == []


def test_the_memory_exit_status_is_documented():
    status, out, _ = run("--help")
    assert status == 0
    assert f"\n  {inputs.EXIT_MEMORY}  not enough memory" in out
    assert "--engine" in out and str(AUTO_EXACT_MAX_WORDS) in out
    assert inputs.EXIT_MEMORY not in (inputs.EXIT_OK, inputs.EXIT_FAILURE)


def limit_address_space(limit):
    def apply():
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return apply


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED or platform.machine() not in ("x86_64", "aarch64"),
                    reason="needs an address-space limit that the sanitizer runtime and emulators cannot live with")
def test_a_document_too_large_for_the_dense_matrix(tmp_path):
    # 30,000 distinct words: the dense matrix alone is 7.2 GB, far beyond a
    # 2 GB address space; the sparse engine ranks it within the same limit.
    path = tmp_path / "long.txt"
    path.write_text(document(30000))
    limit = limit_address_space(2 * 1024**3)
    status, out, err = run("--engine", "exact", path, preexec_fn=limit)
    assert status == inputs.EXIT_MEMORY, err
    assert out == ""
    assert err == (f"python -m tallowmere.vellumcrest: error: {path}: not enough memory to rank 30000 distinct words with the"
                   " exact engine (--engine sparse needs far less)\n")
    for engine in ("auto", "sparse"):
        status, out, err = run("--engine", engine, "--top", "5", path, preexec_fn=limit)
        assert (status, err) == (0, "")
        assert len(out.splitlines()) == 5
