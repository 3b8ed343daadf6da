"""The benchmark command still runs: one tiny run, output to a temporary
directory.  Nothing here looks at the times."""
import importlib.util
import os
import re

import pytest

from conftest import run_interpreter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN = os.path.join(ROOT, "bench", "run.py")
SIZE, VOCABULARY = 200, 50
DASK_BLOCK = "<!-- dask:begin -->\n## Beyond one machine\nkept\n<!-- dask:end -->\n"


def _has(module):
    return importlib.util.find_spec(module) is not None


def blas_seen():
    """Whether threadpoolctl can control numpy's BLAS (it cannot the reference
    BLAS that Debian's numpy may load)."""
    if not _has("threadpoolctl"):
        return False
    import numpy  # noqa: F401  (loads the BLAS)
    from threadpoolctl import ThreadpoolController
    return bool(ThreadpoolController().select(user_api="blas").info())


@pytest.fixture(scope="module")
def tiny_run(tmp_path_factory):
    pytest.importorskip("tallowmere.vellumcrest.keyword")
    out = tmp_path_factory.mktemp("bench")
    # bench/cluster.py's block from an earlier run, which this run must keep.
    (out / "benchmarks.md").write_text(f"# old\n\n{DASK_BLOCK}", encoding="utf-8")
    command = [RUN, "--quick", "--sizes", str(SIZE), "--vocabs", str(VOCABULARY),
               "--rounds", "3", "--min-sample", "0.002", "--budget", "5", "--out", str(out)]
    done = run_interpreter(*command, timeout=600, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    return out, done


def expected_corpora():
    labels = []
    if os.path.isdir("/usr/share/common-licenses"):
        labels.append(f"licenses {SIZE}")
    if _has("pydoc_data"):
        labels.append(f"pydoc {SIZE}")
    labels.append(f"zipf-v{VOCABULARY} {SIZE}")
    return labels


def sections(text):
    """{heading: [first cells of the table rows under it]}"""
    found, heading = {}, None
    for line in text.splitlines():
        if line.startswith("## "):
            heading = line[3:].strip()
            found[heading] = []
        elif heading and line.startswith("| ") and not line.startswith("|---"):
            found[heading].append(line.split("|")[1].strip())
    return found


def test_table_is_written_with_a_row_per_corpus(tiny_run):
    out, _ = tiny_run
    text = (out / "benchmarks.md").read_text(encoding="utf-8")
    assert text.startswith("# Benchmarks")
    for fact in ("Python", "numpy", "CPU", "Command: `python bench/run.py --quick"):
        assert fact in text
    tables = sections(text)
    for heading in ("Corpora", "tfidf", "textrank", "textrank stages", "textrank peak memory"):
        assert tables[heading][1:] == expected_corpora(), heading  # [0] is the header row
    assert len(tables["Targets"]) == 1 + 7
    if blas_seen():
        assert tables["BLAS threads"][1:] == [f"zipf-v{VOCABULARY} {SIZE}"]


def test_blocks_of_other_benchmarks_are_kept(tmp_path):
    report = tmp_path / "benchmarks.md"
    block = "<!-- other:begin -->\n## Other\n\nkept\n<!-- other:end -->\n"
    report.write_text("# Benchmarks\n\nold tables\n\n" + block, encoding="utf-8")
    command = [RUN, "--quick", "--sizes", str(SIZE), "--vocabs", str(VOCABULARY), "--rounds", "1",
               "--min-sample", "0.001", "--budget", "1", "--no-memory", "--no-blas-threads", "--sources", "zipf",
               "--out", str(tmp_path)]
    done = run_interpreter(*command, timeout=600, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    text = report.read_text(encoding="utf-8")
    assert "old tables" not in text and text.endswith(block) and text.count("<!-- other:begin -->") == 1


def test_module_and_model_agree_on_every_corpus(tiny_run):
    out, _ = tiny_run
    text = (out / "benchmarks.md").read_text(encoding="utf-8")
    for heading in ("tfidf", "textrank", "textrank stages"):
        block = text.split(f"## {heading}\n", 1)[1].split("\n## ", 1)[0]
        rows = [line for line in block.splitlines() if re.match(r"\| (licenses|pydoc|zipf)", line)]
        assert rows and all(line.rstrip().endswith("| yes |") for line in rows), heading


def test_plot_is_written_when_matplotlib_is_there(tiny_run):
    out, done = tiny_run
    png = out / "benchmarks.png"
    if not _has("matplotlib"):
        assert not png.exists() and "no plot" in done.stderr
        pytest.skip("matplotlib is not installed: the run skips the plot")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "![time against corpus size](benchmarks.png)" in (out / "benchmarks.md").read_text(encoding="utf-8")


def test_the_cluster_block_is_kept_at_the_end(tiny_run):
    out, _ = tiny_run
    text = (out / "benchmarks.md").read_text(encoding="utf-8")
    assert text.endswith("\n\n" + DASK_BLOCK) and "# old" not in text


def test_cluster_benchmark_writes_its_block(tmp_path):
    pytest.importorskip("distributed", reason="the dask extra is not installed")
    report = tmp_path / "benchmarks.md"
    report.write_text(f"# Benchmarks\n\nother tables\n\n{DASK_BLOCK}", encoding="utf-8")
    command = [os.path.join(ROOT, "bench", "cluster.py"), "--documents", "6", "--words", "80",
               "--out", str(report)]
    done = run_interpreter(*command, timeout=300, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    text = report.read_text(encoding="utf-8")
    # The old block is replaced in place, the rest is left alone.
    assert text.startswith("# Benchmarks\n\nother tables\n\n<!-- dask:begin -->\n")
    assert text.endswith("<!-- dask:end -->\n") and text.count("<!-- dask:begin -->") == 1
    assert "kept" not in text
    rows = [line.split("|")[1:3] for line in text.splitlines() if line.startswith("| t")]
    runs = ("`-j 1`", "`-j 2`", "2 × `-j 1`, half each", "`--dask`", "`--dask`, no trim threshold")
    assert [(method.strip(), run.strip()) for method, run in rows] == [
        (method, run) for method in ("textrank", "tfidf") for run in runs
    ]


def test_large_input_benchmark_writes_both_sides(tmp_path):
    pytest.importorskip("tallowmere.vellumcrest.keyword")
    data = tmp_path / "data" / "set" / "docsutf8"
    data.mkdir(parents=True)
    (data / "one.txt").write_text("Bees keep the hive warm in winter.\n", encoding="utf-8")
    out = tmp_path / "figures.md"
    command = [os.path.join(ROOT, "bench", "large_input.py"), "--megabytes", "0.02", "--rounds", "1",
               "--data", str(tmp_path / "data"), "--out", str(out)]
    done = run_interpreter(*command, timeout=600, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    report = out.read_text(encoding="utf-8")
    assert re.search(r"^\| plain \| [\d.]+ \| \d+ \|$", report, re.M)
    assert re.search(r"^\| command \| [\d.]+ \| \d+ \|$", report, re.M)
    assert re.search(r"^Time ratio, command / plain: [\d.]+$", report, re.M)
