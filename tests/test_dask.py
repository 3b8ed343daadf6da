"""Idf tables and ranking on a Dask cluster: a LocalCluster of two worker
processes, one thread each, on loopback, shared by the module's tests."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
dask = pytest.importorskip("dask")
dask_bag = pytest.importorskip("dask.bag")
psutil = pytest.importorskip("psutil")

from tallowmere.vellumcrest import cli  # noqa: E402
from tallowmere.vellumcrest.dask import build_idf_bag, document_frequency_bag, read_texts  # noqa: E402
from tallowmere.vellumcrest.idf import DocumentFrequency, build_idf  # noqa: E402

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
    return [cli.cut_words(TEXTS[i % len(TEXTS)] + f" token{i % 11} rare{i}") for i in range(n_documents)]


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
    table = compute(client, build_idf_bag(texts.map(cli.cut_words)))
    assert list(table.items()) == list(build_idf(cli.cut_words(t) for t in TEXTS).items())


@pytest.mark.parametrize(
    "data, error", [(None, FileNotFoundError), (b"caf\xe9", UnicodeDecodeError)], ids=["missing", "latin-1"]
)
def test_read_texts_raises_the_workers_error(client, tmp_path, data, error):
    path = tmp_path / "bad.txt"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(error):
        compute(client, read_texts([tmp_path / "missing.txt" if data is None else path]))


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

COMMAND = [sys.executable, "-m", "tallowmere.vellumcrest"]


def run(*args, stdin=None, env=None):
    """Run the command; (exit status, stdout, stderr)."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONHASHSEED", None)
    full_env.update(env or {})
    done = subprocess.run([*COMMAND, *map(str, args)], input=(stdin or "").encode(), capture_output=True,
                          env=full_env, timeout=TIMEOUT * 2)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


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
    options = ["--method", method, "--top", "0", *(["--json"] if as_json else [])]
    local = run(*options, *inputs, stdin=TEXTS[3])
    assert local[0] == 0 and local[2] == "" and local[1]
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
    ],
)
def test_unreachable_scheduler_is_one_line_with_its_own_status(files, address, fragment):
    status, out, err = run("--dask", address, *files, env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert (status, out) == (cli.EXIT_CLUSTER, "")
    assert err.startswith("python -m tallowmere.vellumcrest: error: --dask ")
    assert fragment in err and err.count("\n") == 1


@pytest.mark.parametrize("module", ["dask", "distributed"])
def test_missing_dask_extra(files, tmp_path, module):
    # A module that fails to import stands in for a missing package.
    (tmp_path / f"{module}.py").write_text(f"raise ImportError(\"No module named '{module}'\")\n")
    status, out, err = run("--dask", "tcp://127.0.0.1:8786", *files, env={"PYTHONPATH": str(tmp_path)})
    assert (status, out) == (cli.EXIT_MISSING_DASK, "")
    assert "needs the dask and distributed packages" in err and "[dask]" in err and err.count("\n") == 1


def test_dask_and_jobs_conflict(files):
    status, out, err = run("--dask", "tcp://127.0.0.1:8786", "-j", "2", *files)
    assert (status, out) == (cli.EXIT_USAGE, "")
    assert "not allowed with argument" in err
