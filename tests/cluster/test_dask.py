"""Idf tables and ranking on a Dask cluster: a LocalCluster of two worker
processes, one thread each, on loopback, shared by the module's tests."""

import contextlib
import functools
import json
import os
import signal
import socket
import sys
import threading
import time
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
dask = pytest.importorskip("dask")
dask_bag = pytest.importorskip("dask.bag")
psutil = pytest.importorskip("psutil")
threadpoolctl = pytest.importorskip("threadpoolctl")

from conftest import run_command, run_python  # noqa: E402
from tallowmere.vellumcrest import extract, inputs, keywords  # noqa: E402
from tallowmere.vellumcrest.cli import command, local  # noqa: E402
from tallowmere.vellumcrest.text import cut_words  # noqa: E402
from tallowmere.vellumcrest.dask import (  # noqa: E402
    build_idf_bag,
    document_frequency_bag,
    rank_bag,
    read_texts,
)
from tallowmere.vellumcrest.idf import DocumentFrequency, build_idf  # noqa: E402

# numpy's BLAS runs one thread in dask's workers (dask sets it so), and a
# matrix-vector product adds in another order on more threads: the last bits
# of textrank's scores of a long document follow. The local runs that the
# cluster's results are compared with run one BLAS thread too.
ONE_BLAS_THREAD = {name: "1" for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}


def local_keywords(texts, **options):
    with threadpoolctl.threadpool_limits(1, "blas"):
        return [keywords(text, **options) for text in texts]


# Every wait on the cluster is bounded: a hung scheduler fails the test
# instead of the run.
TIMEOUT = 60


def _stray_children():
    """This process's descendants, but for multiprocessing's resource tracker,
    which a spawning process keeps until it exits."""
    stray = []
    for child in psutil.Process().children(recursive=True):
        try:
            if "multiprocessing.resource_tracker" in " ".join(child.cmdline()):
                continue
            if child.status() == psutil.STATUS_ZOMBIE:
                continue
        except psutil.NoSuchProcess:
            continue
        stray.append(child)
    return stray


@contextlib.contextmanager
def environment_kept():
    """Restores this process's environment on the way out: a nanny starting a
    worker writes its settings for the worker (PYTHONHASHSEED, the BLAS
    thread counts) into the environment of the process it runs in."""
    saved = dict(os.environ)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)


@pytest.fixture(autouse=True)
def _keep_environment():
    with environment_kept():
        yield


@contextlib.contextmanager
def running_cluster():
    """A 2-worker LocalCluster on 127.0.0.1 and a client; on the way out both
    are closed and no worker process may be left."""
    before = {child.pid for child in _stray_children()}
    with environment_kept():
        cluster = _start_cluster()
    client = distributed.Client(cluster, timeout=TIMEOUT)
    try:
        # distributed gives every worker one fixed hash seed unless told
        # otherwise, taking it from this process's environment first; give
        # each worker its own, none of them this process's.
        for count, seed in enumerate(WORKER_HASH_SEEDS, start=1):
            with environment_kept(), dask.config.set(
                {"distributed.nanny.pre-spawn-environ.PYTHONHASHSEED": seed}
            ):
                os.environ["PYTHONHASHSEED"] = seed
                cluster.scale(count)
                client.wait_for_workers(count, timeout=TIMEOUT)
        yield cluster, client
    finally:
        client.close(timeout=TIMEOUT)
        cluster.close(timeout=TIMEOUT)
    deadline = time.monotonic() + 20
    while True:
        left = [child for child in _stray_children() if child.pid not in before]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    assert left == [], f"processes left after the cluster stopped: {left}"


WORKER_HASH_SEEDS = ["101", "202"]


def _start_cluster():
    return distributed.LocalCluster(
        n_workers=0,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        # No dashboard; the scheduler's own small HTTP server on loopback, on
        # any free port rather than the well-known one.
        scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
        timeout=TIMEOUT,
    )


@pytest.fixture(scope="module")
def cluster():
    with running_cluster() as (local_cluster, client):
        yield local_cluster, client


@pytest.fixture
def client(cluster):
    _, client = cluster
    # A test that killed a worker leaves its nanny starting a new one.
    client.wait_for_workers(2, timeout=TIMEOUT)
    return client


def compute(client, collection):
    return client.compute(collection).result(timeout=TIMEOUT)


TEXTS = [
    "The bees left the hive at dawn. Bees visit clover, and the clover feeds the hive.",
    "An orchard of apple trees and pear trees blossoms in spring.",
    "",
    "Rain in the morning, wind in the afternoon: the weather keeps the bees in the hive.",
    "A strong hive needs a laying queen; the queen needs the workers.",
    "Clover, clover, clover.",
    "The trees need bees to carry pollen from flower to flower.",
]


def corpus(n_documents):
    """Tokenised documents with shared and rare words, long enough to matter."""
    return [cut_words(TEXTS[i % len(TEXTS)] + f" token{i % 11} rare{i}") for i in range(n_documents)]


# --- idf tables ------------------------------------------------------------------


@pytest.mark.parametrize("npartitions, split_every", [(1, None), (7, None), (13, 2), (40, 3)])
def test_build_idf_bag_equals_build_idf_in_value_and_order(client, npartitions, split_every):
    documents = corpus(120)
    bag = dask_bag.from_sequence(documents, npartitions=npartitions)
    table = compute(client, build_idf_bag(bag, split_every=split_every))
    # Same floats and same word order: compare the item lists, not dicts.
    assert list(table.items()) == list(build_idf(documents).items())


def test_document_frequency_bag_counts_every_document_once(client):
    documents = corpus(50) + [[]]
    counts = compute(client, document_frequency_bag(dask_bag.from_sequence(documents, npartitions=6)))
    assert counts == DocumentFrequency(documents)
    assert counts.n_documents == 51


def test_build_idf_bag_of_files_read_by_the_workers(client, tmp_path):
    paths = []
    for number, text in enumerate(TEXTS):
        path = tmp_path / f"{number}.txt"
        path.write_bytes((b"\xef\xbb\xbf" if number == 1 else b"") + text.encode())
        paths.append(path)
    texts = read_texts(paths, npartitions=3)
    table = compute(client, build_idf_bag(texts.map(cut_words)))
    assert list(table.items()) == list(build_idf(cut_words(t) for t in TEXTS).items())


@pytest.mark.parametrize(
    "data, error", [(None, FileNotFoundError), (b"caf\xe9", UnicodeDecodeError)], ids=["missing", "latin-1"]
)
def test_read_texts_raises_the_workers_error(client, tmp_path, data, error):
    path = tmp_path / "bad.txt"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(error):
        compute(client, read_texts([tmp_path / "missing.txt" if data is None else path]))


# --- ranking: rank_bag gives what keywords() gives ---------------------------------

ZH_TEXT = (Path(__file__).parents[1] / "text" / "data" / "zh_tea.txt").read_text("utf-8")
RANK_TEXTS = TEXTS + [
    # Many words of equal score: their order is where hash seeds would show.
    "one two three four five six seven eight nine ten eleven twelve",
    "The hive, the hive: bees in the hive and bees in the clover, clover in the hive.",
]


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"top": None},
        {"method": "textrank"},
        {"method": "textrank", "window": 3, "alpha": 0.6, "iterations": 20, "top": None},
        {"method": "textrank", "language": None, "keep_case": True, "phrases": True},
        {"method": "textrank", "stop_words": ["hive", "bees"], "engine": "exact", "top": None},
        {"method": "textrank", "engine": "sparse", "top": None},
        {"language": None, "keep_case": True, "stop_words": ["hive"]},
        {"method": "tfidf", "top": None},
        {"method": "tfidf", "unknown_idf": "zero", "idf": {"bees": 2.5, "clover": 1.25}},
        {"method": "tfidf", "idf": {"bees": 2.5, "clover": 1.25}, "top": 3},
        {"method": "tfidf", "idf_corpus": TEXTS[:4], "phrases": True},
    ],
    ids=repr,
)
def test_rank_bag_equals_keywords(client, options):
    bag = dask_bag.from_sequence(RANK_TEXTS, npartitions=4)
    expected = local_keywords(RANK_TEXTS, **options)
    assert compute(client, rank_bag(bag, **options)) == expected


def test_rank_bag_of_chinese_text(client):
    pytest.importorskip("jieba", reason="jieba is not installed")
    texts = [ZH_TEXT, ZH_TEXT[: len(ZH_TEXT) // 2], ZH_TEXT[len(ZH_TEXT) // 3:]]
    for method in ("textrank", "tfidf"):
        expected = local_keywords(texts, method=method, language="zh")
        bag = dask_bag.from_sequence(texts, npartitions=3)
        assert compute(client, rank_bag(bag, method=method, language="zh")) == expected


@pytest.mark.parametrize("lazy", [False, True], ids=["bag", "lazy table"])
def test_rank_bag_weighs_against_a_collection_counted_on_the_cluster(client, lazy):
    texts = dask_bag.from_sequence(RANK_TEXTS, npartitions=3)
    if lazy:
        # A table of the collection's words, cut as keywords() cuts them,
        # handed over uncomputed.
        words = texts.map(lambda text: extract.words_of(extract.cut(text, extract.make_options())[1]))
        ranked = rank_bag(texts, method="tfidf", idf=build_idf_bag(words), top=None)
    else:
        ranked = rank_bag(texts, method="tfidf", idf_corpus=texts, top=None)
    expected = local_keywords(RANK_TEXTS, method="tfidf", idf_corpus=RANK_TEXTS, top=None)
    assert compute(client, ranked) == expected


@pytest.mark.parametrize(
    "options, error, fragment",
    [
        ({"method": "pagerank"}, ValueError, "method must be"),
        ({"top": -1}, ValueError, "top must be at least 0"),
        ({"idf": {"a": 1.0}}, ValueError, "idf applies only to method='tfidf', not 'keyphrases'"),
        ({"method": "tfidf", "window": 3}, ValueError, "window applies only to method='textrank', not 'tfidf'"),
        ({"method": "tfidf", "idf": {"a": 1.0}, "idf_corpus": ["a"]}, ValueError, "not both"),
        ({"method": "tfidf", "idf": [("a", 1.0)]}, TypeError, "idf must be a mapping"),
        ({"method": "tfidf", "idf": {}}, ValueError, "no median"),
        ({"method": "tfidf", "idf_corpus": "one text"}, TypeError, "not one str"),
        ({"colour": "blue"}, TypeError, "colour"),
    ],
)
def test_rank_bag_checks_options_before_anything_runs(options, error, fragment):
    # No client needed: nothing is computed.
    bag = dask_bag.from_sequence(["bees"])
    with pytest.raises(error, match=fragment):
        rank_bag(bag, **options)


def test_rank_bag_refuses_what_is_not_text_when_computed(client):
    bag = dask_bag.from_sequence(["bees and hives", ["bees"]], npartitions=2)
    with pytest.raises(TypeError, match="takes raw text as a str"):
        compute(client, rank_bag(bag))


# --- a worker killed in the middle of a job -----------------------------------------

FAULT_DOCUMENTS = 160
FAULT_PARTITIONS = 40


def _fault_texts():
    # Documents long enough (about 600 distinct words each) that the job
    # lasts a while on two workers, made the same way in every run.
    import random

    rng = random.Random(20261208)
    vocabulary = [f"word{k}" for k in range(900)]
    return [" ".join(rng.choice(vocabulary) for _ in range(1500)) for _ in range(FAULT_DOCUMENTS)]


def _partitions_held(client, name):
    """{worker address: how many partitions of the collection *name* it holds}"""
    return {
        worker: sum(1 for key in keys if name in str(key))
        for worker, keys in client.has_what().items()
    }


def test_a_worker_killed_in_the_middle_of_a_job(client, tmp_path):
    texts = _fault_texts()
    paths = []
    for number, text in enumerate(texts):
        path = tmp_path / f"doc{number:03d}.txt"
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    bag = read_texts(paths, npartitions=FAULT_PARTITIONS)
    ranked = rank_bag(bag, method="textrank", top=None)
    counts = document_frequency_bag(bag.map(cut_words))
    expected_counts = DocumentFrequency(cut_words(text) for text in texts)
    pids = client.run(os.getpid)

    ranked_future, counts_future = client.compute([ranked, counts])
    deadline = time.monotonic() + TIMEOUT
    while True:
        held = _partitions_held(client, ranked.name)
        victim = max(held, key=held.get) if held else None
        if victim is not None and held[victim] >= 3:
            break
        assert not ranked_future.done(), "the job ended before a worker could be killed"
        assert time.monotonic() < deadline, "no partition finished in time"
        time.sleep(0.005)
    assert not ranked_future.done()
    os.kill(pids[victim], signal.SIGKILL)

    results = ranked_future.result(timeout=TIMEOUT)
    merged = counts_future.result(timeout=TIMEOUT)
    assert not psutil.pid_exists(pids[victim]) or psutil.Process(pids[victim]).status() == psutil.STATUS_ZOMBIE
    # Partitions held by the dead worker were computed again elsewhere: every
    # document's result once, in order, equal to the local run's; every
    # document counted exactly once.
    assert results == local_keywords(texts, method="textrank", top=None)
    assert merged == expected_counts and merged.n_documents == FAULT_DOCUMENTS
    client.wait_for_workers(2, timeout=TIMEOUT)
    assert victim not in client.run(os.getpid) or client.run(os.getpid)[victim] != pids[victim]


def _tasks_of(function_name):
    def is_of(key):
        return str(key).startswith(function_name + "-")

    return is_of


def _victim_holding(client, function_name):
    """The worker holding the most finished, not yet fetched tasks of
    *function_name*, once one holds three."""
    is_of = _tasks_of(function_name)
    held = {worker: sum(map(is_of, keys)) for worker, keys in client.has_what().items()}
    victim = max(held, key=held.get) if held else None
    return victim if victim is not None and held[victim] >= 3 else None


def _victim_working(client, function_name):
    """A worker running a task of *function_name*, once a quarter of those
    tasks are done and fetched."""
    is_of = _tasks_of(function_name)

    def known(dask_scheduler):
        return sum(1 for key in dask_scheduler.tasks if is_of(key))

    if client.run_on_scheduler(known) > FAULT_PARTITIONS * 3 // 4:
        return None
    return next((worker for worker, keys in client.processing().items() if any(map(is_of, keys))), None)


@pytest.mark.parametrize(
    "method, find_victim",
    [
        # textrank: a worker in the middle of a chunk, with a quarter of the
        # results already fetched.
        ("textrank", functools.partial(_victim_working, function_name="_rank_chunk")),
        # tfidf: a worker holding cut inputs that wait for the table, which
        # must be cut again elsewhere.
        ("tfidf", functools.partial(_victim_holding, function_name="_cut_chunk")),
    ],
    ids=["textrank", "tfidf"],
)
def test_a_worker_killed_in_the_middle_of_a_command_job(client, cluster, tmp_path, monkeypatch, method, find_victim):
    import threading

    from tallowmere.vellumcrest.cli import cluster as cluster_job

    texts = _fault_texts()
    documents = []
    for number, text in enumerate(texts):
        path = tmp_path / f"doc{number:03d}.txt"
        path.write_text(text, encoding="utf-8")
        documents.append(inputs.Document(str(path), None, str(path)))
    options = extract.make_options(method=method, top=None)
    with threadpoolctl.threadpool_limits(1, "blas"):
        if method == "textrank":
            expected = [inputs.keywords_of_document(options, document) for document in documents]
        else:
            expected = local.run_locally(inputs.Job(options, documents), 1)
    monkeypatch.setattr(cluster_job, "_CHUNK", FAULT_DOCUMENTS // FAULT_PARTITIONS)
    pids = client.run(os.getpid)
    outcome = {}

    def job():
        try:
            outcome["ranked"] = cluster_job.run_command_job(cluster[0].scheduler_address, inputs.Job(options, documents))
        except BaseException as error:  # handed to the test below
            outcome["error"] = error

    worker = threading.Thread(target=job)
    worker.start()
    try:
        deadline = time.monotonic() + TIMEOUT
        while True:
            victim = find_victim(client)
            if victim is not None:
                break
            assert worker.is_alive(), "the job ended before a worker could be killed"
            assert time.monotonic() < deadline, "no chunk finished in time"
            time.sleep(0.005)
        os.kill(pids[victim], signal.SIGKILL)
    finally:
        worker.join(TIMEOUT * 2)
    assert not worker.is_alive()
    assert "error" not in outcome, outcome.get("error")
    # Every input ranked once, in input order, as locally.
    assert outcome["ranked"] == expected
    client.wait_for_workers(2, timeout=TIMEOUT)


# --- the cluster itself ------------------------------------------------------------


def _listening_addresses(pid):
    process = psutil.Process(pid)
    connections = process.net_connections("inet") if hasattr(process, "net_connections") else process.connections("inet")
    return {c.laddr.ip for c in connections if c.status == psutil.CONN_LISTEN}


def test_cluster_listens_on_loopback_and_stops_without_leaving_processes():
    with running_cluster() as (_, client):
        workers = client.run(os.getpid)
        assert len(workers) == 2
        for pid in [os.getpid(), *workers.values()]:
            assert _listening_addresses(pid) <= {"127.0.0.1"}
        assert _listening_addresses(os.getpid()) == {"127.0.0.1"}  # the scheduler
    for pid in workers.values():
        assert not psutil.pid_exists(pid) or psutil.Process(pid).status() == psutil.STATUS_ZOMBIE


# --- the command line: --dask gives what the local run gives ----------------------



def run(*args, stdin=None, env=None):
    """Run the command; (exit status, stdout, stderr)."""
    return run_command(*args, stdin=stdin or "", env={**ONE_BLAS_THREAD, **(env or {})}, timeout=TIMEOUT * 2)


@pytest.fixture
def address(cluster, client):
    return cluster[0].scheduler_address


@pytest.fixture
def files(tmp_path):
    paths = []
    for number, text in enumerate(TEXTS):
        path = tmp_path / f"text{number}.txt"
        path.write_text(text * (number + 1), encoding="utf-8")
        paths.append(path)
    return paths


def test_workers_hash_strings_differently(client):
    # What makes the tests below worth running: the workers' own str hashing
    # differs from this process's and each other's.
    hashes = client.run(hash, "bees")
    assert len({*hashes.values(), hash("bees")}) == 3


@pytest.mark.parametrize("method", ["textrank", "tfidf"])
@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_dask_output_equals_local_output(address, files, method, as_json):
    inputs = [*files, files[0], "-", files[2]]
    options = ["--method", method, "--top", "all", *(["--json"] if as_json else [])]
    local = run(*options, *inputs, stdin=TEXTS[3])
    # The empty input (given twice) gets its note on stderr, here as there.
    assert local[0] == 0 and local[1] and local[2].count("no words to rank") == 2
    assert run(*options, "--dask", address, *inputs, stdin=TEXTS[3]) == local


@pytest.mark.parametrize("idf_option", ["--idf-from", "--idf"])
def test_dask_tfidf_with_an_idf_table_equals_local(address, files, tmp_path, idf_option):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for number, text in enumerate(TEXTS[:4]):
        (corpus / f"c{number}.txt").write_text(text, encoding="utf-8")
    (tmp_path / "weights.idf").write_text("bees 3.5\nhive 2.25\nclover 0.5\n", encoding="utf-8")
    source = str(corpus) if idf_option == "--idf-from" else tmp_path / "weights.idf"
    options = ["--method", "tfidf", "--json", idf_option, source, *files]
    local = run(*options)
    assert local[0] == 0 and json.loads(local[1])["documents"]
    assert run("--dask", address, *options) == local


@pytest.mark.parametrize(
    "options, status",
    [
        (["--method", "textrank", "--phrases", "--top", "all", "--window", "3"], 0),
        (["--language", "none", "--keep-case", "--stop-words", "{stop}"], 0),
        (["--method", "tfidf", "--unknown-idf", "zero", "--idf", "{weights}"], 0),
        (["--method", "tfidf", "--unknown-idf", "2.5", "--idf-from", "{corpus}", "--phrases"], 0),
        (["--method", "tfidf", "--idf-from", "{numbers}"], inputs.EXIT_FILE),  # no words for a table
        (["--method", "tfidf", "--idf", "{empty}"], inputs.EXIT_IDF),  # no median
        (["--language", "zh", "{chinese}"], 0),
        (["--method", "tfidf", "--language", "zh", "{chinese}"], 0),
    ],
    ids=["phrases", "stop words", "idf zero", "idf-from number", "no idf words", "empty idf", "zh", "zh tfidf"],
)
def test_dask_text_options_equal_local(address, files, tmp_path, options, status):
    if "{chinese}" in options:
        pytest.importorskip("jieba", reason="jieba is not installed")
    places = {"stop": tmp_path / "stop.txt", "weights": tmp_path / "weights.idf", "corpus": tmp_path / "corpus",
              "numbers": tmp_path / "numbers", "empty": tmp_path / "empty.idf", "chinese": tmp_path / "zh.txt"}
    places["stop"].write_text("# mine\nHive\nclover\n", encoding="utf-8")
    places["weights"].write_text("bees 3.5\nhive 2.25\n", encoding="utf-8")
    places["empty"].write_text("# nothing\n", encoding="utf-8")
    places["chinese"].write_text(ZH_TEXT, encoding="utf-8")
    for directory, texts in (("corpus", TEXTS[:4]), ("numbers", ["1 2 3", "42"])):
        places[directory].mkdir()
        for number, text in enumerate(texts):
            (places[directory] / f"{number}.txt").write_text(text, encoding="utf-8")
    arguments = ["--json", *(option.format(**places) for option in options), *files]
    local = run(*arguments)
    assert local[0] == status and (status == 0) == bool(local[1]), local[2]
    assert run("--dask", address, *arguments) == local


def test_dask_sample_document(address):
    local = run("--english")
    assert local[0] == 0 and local[1]
    assert run("--english", "--dask", address) == local


@pytest.mark.parametrize(
    "layout, status",
    [
        # The first failing input in input order is the one reported, as in a
        # local run, whichever worker meets a failure first.
        (["good", "latin-1", "good", "missing"], 4),
        (["good", "missing", "latin-1"], 3),
        (["directory", "good"], 3),
    ],
)
def test_dask_failures_are_reported_as_locally(address, files, tmp_path, layout, status):
    (tmp_path / "latin.txt").write_bytes(b"caf\xe9 au lait")
    names = {"good": files[0], "latin-1": tmp_path / "latin.txt", "missing": tmp_path / "gone.txt",
             "directory": tmp_path}
    inputs = [names[kind] for kind in layout]
    local = run(*inputs)
    assert local[0] == status and local[1] == "" and "error:" in local[2]
    assert run("--dask", address, *inputs) == local


def test_dask_failure_in_the_idf_directory_comes_first(address, files, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    (corpus / "bad.txt").write_bytes(b"\xff")
    inputs = ["--method", "tfidf", "--idf-from", corpus, tmp_path / "missing.txt", *files]
    local = run(*inputs)
    assert local[0] == 4 and "bad.txt" in local[2]
    assert run("--dask", address, *inputs) == local


def _closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "address, fragment",
    [
        (f"tcp://127.0.0.1:{_closed_port()}", "cannot reach the scheduler"),
        ("http://127.0.0.1:8786", "not a scheduler address"),
        ("127.0.0.1", "not a scheduler address"),
        # refused before a client is made: a client fails on them only after
        # a timeout, or with a traceback (and again when it is collected)
        ("tls://127.0.0.1:1", "tls:// needs Dask's TLS settings"),
        ("wss://127.0.0.1:1", "wss:// needs Dask's TLS settings"),
        ("ucx://127.0.0.1:1", "not a scheduler address: the command reaches a scheduler over tcp://"),
        ("inproc://x", "not a scheduler address: the command reaches a scheduler over tcp://"),
    ],
)
def test_unreachable_scheduler_is_one_line_with_its_own_status(files, address, fragment):
    status, out, err = run("--dask", address, *files, env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert (status, out) == (inputs.EXIT_CLUSTER, "")
    assert err.startswith("python -m tallowmere.vellumcrest: error: --dask ")
    assert fragment in err and err.count("\n") == 1


@pytest.mark.parametrize("module", ["dask", "distributed"])
def test_missing_dask_extra(files, tmp_path, module):
    # A module that fails to import stands in for a missing package.
    (tmp_path / f"{module}.py").write_text(f"raise ImportError(\"No module named '{module}'\")\n")
    status, out, err = run("--dask", "tcp://127.0.0.1:8786", *files, env={"PYTHONPATH": str(tmp_path)})
    assert (status, out) == (inputs.EXIT_MISSING_DASK, "")
    assert "needs the dask and distributed packages" in err and "[dask]" in err and err.count("\n") == 1


def test_missing_dask_for_the_library(tmp_path):
    (tmp_path / "dask.py").write_text("raise ImportError(\"No module named 'dask'\")\n")
    done = run_python("import tallowmere.vellumcrest.dask", env={"PYTHONPATH": str(tmp_path)}, timeout=TIMEOUT)
    assert done.returncode == 1
    assert "ImportError: tallowmere.vellumcrest.dask needs dask: pip install 'tallowmere-vellumcrest[dask]'" in done.stderr


def test_running_out_of_memory_on_a_worker_is_that_inputs_failure():
    # As under -j, the message names the input and the status is the memory
    # status; on the cluster it comes back as data, ordered with the rest.
    from tallowmere.vellumcrest.cli.cluster import _attempt

    def rank(_):
        raise MemoryError("big.txt: not enough memory to rank 30000 distinct words with the exact engine")

    assert _attempt(rank, None) == (
        ("big.txt: not enough memory to rank 30000 distinct words with the exact engine", inputs.EXIT_MEMORY), None
    )


def test_dask_and_jobs_conflict(files):
    status, out, err = run("--dask", "tcp://127.0.0.1:8786", "-j", "2", *files)
    assert (status, out) == (inputs.EXIT_USAGE, "")
    assert "not allowed with argument" in err


# --- a cluster that fails under the job: its own scheduler process ------------------

# A LocalCluster of one worker in a process of its own, which the test may
# kill; it stops by itself when the test writes the file "stop", or after 90 s.
SCHEDULER = """
import os, sys, time
import dask, distributed

place, processes, memory_limit = sys.argv[1], sys.argv[2] == "processes", sys.argv[3]
# A task that kills a worker is not tried again on another.
with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
    cluster = distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=processes, memory_limit=memory_limit, protocol="tcp://", host="127.0.0.1",
        dashboard_address=None, scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"})
with open(os.path.join(place, "address.part"), "w") as out:
    out.write(f"{os.getpid()} {cluster.scheduler_address}")
os.rename(os.path.join(place, "address.part"), os.path.join(place, "address"))
deadline = time.monotonic() + 90
while time.monotonic() < deadline and not os.path.exists(os.path.join(place, "stop")):
    time.sleep(0.1)
cluster.close(timeout=30)
"""


@contextlib.contextmanager
def scheduler_process(place, processes, memory_limit="auto"):
    """(pid, address) of a one-worker cluster started by SCHEDULER."""
    ended = {}
    mode = "processes" if processes else "threads"
    thread = threading.Thread(target=lambda: ended.setdefault(
        "done", run_python(SCHEDULER, place, mode, memory_limit, timeout=150)))
    thread.start()
    try:
        deadline = time.monotonic() + TIMEOUT
        while not (place / "address").exists():
            assert thread.is_alive() and time.monotonic() < deadline, ended
            time.sleep(0.1)
        pid, address = (place / "address").read_text().split()
        yield int(pid), address
    finally:
        (place / "stop").write_text("")
        thread.join(timeout=150)
        assert not thread.is_alive()


PROGRAM = "from tallowmere.vellumcrest.cli import run; run('vellumcrest-keywords')"
QUICK_CONNECT = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"}


def test_a_scheduler_killed_in_the_middle_of_a_job(tmp_path):
    # The worker reads a FIFO that nobody writes: the job is surely running
    # when the scheduler's process (the worker is a thread of it) is killed.
    fifo = tmp_path / "fifo.txt"
    os.mkfifo(fifo)
    (tmp_path / "place").mkdir()
    with scheduler_process(tmp_path / "place", processes=False) as (pid, address):
        def kill_once_read():
            deadline = time.monotonic() + TIMEOUT
            while time.monotonic() < deadline:
                try:
                    writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # only once a reader has it open
                except OSError:
                    time.sleep(0.05)
                    continue
                os.kill(pid, signal.SIGKILL)
                os.close(writer)
                return

        killer = threading.Thread(target=kill_once_read)
        killer.start()
        done = run_python(PROGRAM, "--dask", address, fifo, env=QUICK_CONNECT, timeout=TIMEOUT * 2)
        killer.join(timeout=TIMEOUT)
    assert (done.returncode, done.stdout) == (inputs.EXIT_CLUSTER, ""), done.stderr
    assert done.stderr.startswith(f"vellumcrest-keywords: error: --dask {address}: the cluster failed: ")
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


@pytest.mark.parametrize("where", ["input", "idf-from"])
def test_an_input_that_kills_its_worker_is_out_of_memory(tmp_path, where):
    # The nanny kills its worker when it passes its memory limit, as the
    # kernel would kill it: cutting 20 MB of text takes far more than 300 MB.
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    big = (tmp_path if where == "input" else corpus) / "big.txt"
    big.write_text("bees visit the clover and the hive hums\n" * 500_000)
    small = tmp_path / "small.txt"
    small.write_text("bees visit the clover\n")
    # big first: a slow worker can still be running small's task each time
    # big's kills it, and then both tasks are lost; the command names the
    # first lost input in input order.
    args = [big, small] if where == "input" else ["--method", "tfidf", "--idf-from", corpus, small]
    (tmp_path / "place").mkdir()
    with scheduler_process(tmp_path / "place", processes=True, memory_limit="300MB") as (_, address):
        done = run_python(PROGRAM, "--dask", address, *args, env=QUICK_CONNECT, timeout=TIMEOUT * 2)
    assert (done.returncode, done.stdout) == (inputs.EXIT_MEMORY, ""), done.stderr
    assert done.stderr == (f"vellumcrest-keywords: error: {big}: a worker process was killed before this input"
                           " was done (as the system kills a process when memory runs out)\n")
