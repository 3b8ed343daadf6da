"""The command's own process: one BLAS thread unless the user chose a count,
set before numpy is loaded and inherited by the -j workers; the library
itself changes nothing."""
import json
import os

import pytest

from conftest import run_python
from tallowmere.vellumcrest.cli import THREAD_VARIABLES


def documents(folder, n):
    """The paths of *n* short documents written in *folder*, each longer than the last."""
    paths = []
    for k in range(n):
        path = folder / f"doc{k}.txt"
        path.write_text("bees keep the hive and the queen keeps the bees " * (k + 1), encoding="utf-8")
        paths.append(str(path))
    return paths


@pytest.mark.parametrize(
    "preset, expected",
    [
        ({}, {v: "1" for v in THREAD_VARIABLES}),
        ({"OPENBLAS_NUM_THREADS": "3"}, {"OPENBLAS_NUM_THREADS": "3"}),
        ({"OMP_NUM_THREADS": "2"}, {"OMP_NUM_THREADS": "2"}),
    ],
    ids=["unset", "openblas-set", "omp-set"],
)
def test_the_command_runs_blas_on_one_thread_unless_the_user_chose(tmp_path, preset, expected, monkeypatch):
    # The child inherits this process's environment: none of the variables
    # but the preset ones.
    for variable in THREAD_VARIABLES:
        monkeypatch.delenv(variable, raising=False)
    texts = documents(tmp_path, 2)
    # The command's process reports its environment before and after the
    # command runs, and so does a child process started afterwards, as the
    # -j workers are.
    report = tmp_path / "report.py"
    report.write_text(
        "import os, sys\n"
        f"VARIABLES = {list(THREAD_VARIABLES)!r}\n"
        "def environment():\n"
        "    return {v: os.environ.get(v) for v in VARIABLES}, 'numpy' in sys.modules\n",
        encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in THREAD_VARIABLES}
    env.update(preset)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))
    # A child that hangs shows where, in every thread, before it is ended.
    code = (
        "import faulthandler; faulthandler.dump_traceback_later(100, exit=True)\n"
        "import runpy, sys, json, concurrent.futures, report\n"
        "before = report.environment()\n"
        f"sys.argv = ['vellumcrest-keywords', '-j', '2', *{texts!r}]\n"
        "import tallowmere.vellumcrest.cli as program\n"
        "try:\n"
        "    program.run()\n"
        "except SystemExit as done:\n"
        "    status = done.code\n"
        "with concurrent.futures.ProcessPoolExecutor(1) as pool:\n"
        "    worker = pool.submit(report.environment).result()\n"
        "print(json.dumps([status, before, report.environment(), worker]))\n")
    done = run_python(code, env=env, timeout=150)
    assert done.returncode == 0, done.stderr
    status, before, after, worker = json.loads(done.stdout.splitlines()[-1])
    assert status == 0
    assert before[1] is False  # numpy was not loaded before the setting was made
    wanted = {v: expected.get(v) for v in THREAD_VARIABLES}
    assert after[0] == wanted and worker[0] == wanted


def test_the_library_changes_no_thread_setting(monkeypatch):
    for variable in THREAD_VARIABLES:
        monkeypatch.delenv(variable, raising=False)
    from tallowmere.vellumcrest.cli import command
    from tallowmere.vellumcrest.keyword import textrank
    assert command.main(["--top", "3"]) == 0 and textrank([1, 2, 1, 3])
    assert not any(variable in os.environ for variable in THREAD_VARIABLES)


def test_workers_are_forked_before_any_thread_of_the_command_runs(tmp_path):
    # A fork copies only the forking thread: a lock that another thread held
    # (the progress display's, tqdm's monitor) would stay taken in the worker.
    # Standard error is a terminal here, so the display is shown.
    texts = documents(tmp_path, 3)
    code = """
        import os, pty, sys, threading
        master, terminal = pty.openpty()
        os.set_blocking(master, False)
        sys.stderr = open(terminal, "w")
        threads_at_fork = []
        fork = os.fork
        def counting_fork():
            threads_at_fork.append(threading.active_count())
            return fork()
        os.fork = counting_fork
        from tallowmere.vellumcrest.cli import command
        status = command.main(["-j", "2", *sys.argv[1:]])
        print(status, threads_at_fork, b"0/3 inputs" in os.read(master, 1 << 20), file=sys.__stdout__)
    """
    done = run_python(code, *texts, timeout=150)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "0 [1, 1] True"), done.stderr
