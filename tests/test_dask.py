"""Idf tables and ranking on a Dask cluster: a LocalCluster of two worker
processes, one thread each, on loopback, shared by the module's tests."""

import contextlib
import os
import signal
import time

import pytest

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
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
def running_cluster():
    """A 2-worker LocalCluster on 127.0.0.1 and a client; on the way out both
    are closed and no worker process may be left."""
    before = {child.pid for child in _stray_children()}
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        # No dashboard; the scheduler's own small HTTP server on loopback, on
        # any free port rather than the well-known one.
        scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
        timeout=TIMEOUT,
    )
    client = distributed.Client(cluster, timeout=TIMEOUT)
    try:
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
