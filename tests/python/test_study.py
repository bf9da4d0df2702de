# test_study.py: examples/study.py, the parameter study reader: one file's read and its
# failures, the process pool and the Dask paths on a generated study with a corrupt file, the
# command line (exit status, summary, Parquet table, PNG), the summary and the spread.
import importlib.util
import json
import math
import os
import pathlib
import subprocess
import sys
import time

import pytest

import kelmor
from conftest import DieOnIndex, require

for _module in ("numpy", "pandas", "pyarrow", "tqdm", "matplotlib"):
    require(_module)  # pip install .[study]
import numpy  # noqa: E402
import pyarrow.parquet  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
PARAMETERS = ["PRESSURE_1", "POWER_2", "LEVEL_3"]
RUNS = 6
BAD_RUN = 3  # its block 5 holds a field with a Fortran exponent
BAD_MESSAGE = "Could not parse line: ParseFloatError { kind: Invalid }"


@pytest.fixture(scope="module")
def study():
    sys.path.insert(0, str(EXAMPLES))
    try:
        spec = importlib.util.find_spec("study")
        assert spec is not None and spec.origin == str(EXAMPLES / "study.py")
        import study
        yield study
    finally:
        sys.path.remove(str(EXAMPLES))


def write_run(path, run, parameters=36, steps=40, seed=5):
    spec = importlib.util.spec_from_file_location("make_plot_file",
                                                  ROOT / "tools" / "make_plot_file.py")
    writer = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(writer)
    writer.write_plot_file(path, parameters, steps, 12, seed=seed, run=run)
    return str(path)


@pytest.fixture(scope="module")
def study_dir(tmp_path_factory):
    """A study of RUNS runs (36 parameters, 40 timesteps) named run_0.plt ..., one corrupt."""
    folder = tmp_path_factory.mktemp("study")
    for run in range(RUNS):
        write_run(folder / f"run_{run}.plt", run)
    bad = folder / f"run_{BAD_RUN}.plt"
    lines = bad.read_text().splitlines(keepends=True)
    line = 1 + 36 + 5 * 5 + 2  # the header, five blocks of 1 + 4 lines, then block 5's line 1
    lines[line] = lines[line][:36] + "     1.0d+03" + lines[line][48:]
    bad.write_text("".join(lines))
    return folder


@pytest.fixture(scope="module")
def paths(study_dir):
    return [str(study_dir / f"run_{run}.plt") for run in range(RUNS)]


def direct_read(path, parameters=PARAMETERS):
    """The block times and the parameters' values of a file, read without the study code."""
    columns = kelmor.rust_read_valdrum(path, 12)
    sys.path.insert(0, str(EXAMPLES))
    try:
        from plot_header import read_header
    finally:
        sys.path.remove(str(EXAMPLES))
    names, times = read_header(path, len(columns))
    return times, [columns[names.index(name)] for name in parameters]


@pytest.fixture(scope="module")
def cluster_folder(tmp_path_factory):
    return tmp_path_factory.mktemp("cluster")


@pytest.fixture(scope="module")
def cluster(cluster_folder):
    """A Dask cluster started as a user starts one, `dask scheduler` and `dask worker` with 2
    worker processes, in an empty folder where neither can import the example's modules. One
    for every Dask test: it takes seconds to start. The workers' standard error goes to
    worker.log in that folder."""
    require("distributed")  # pip install .[study]
    from distributed import Client
    folder = cluster_folder
    scheduler_file = folder / "scheduler.json"
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    processes = []

    def start(*args, log):
        with open(folder / log, "wb") as output:
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "dask", *args, "--no-dashboard", "--scheduler-file",
                 str(scheduler_file)], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                stdout=output, stderr=output))

    def address():
        # Client(scheduler_file=...) would wait for ever for a scheduler that failed to start.
        deadline = time.monotonic() + 60
        while processes[0].poll() is None and time.monotonic() < deadline:
            try:
                return json.loads(scheduler_file.read_text())["address"]
            except (OSError, ValueError, KeyError):  # not yet written, or half written
                time.sleep(0.1)
        pytest.fail("dask scheduler did not start:\n" + (folder / "scheduler.log").read_text())

    try:
        start("scheduler", "--host", "127.0.0.1", "--port", "0", log="scheduler.log")
        start("worker", "--nworkers", "2", "--nthreads", "1", log="worker.log")
        with Client(address(), timeout=60) as client:
            try:
                client.wait_for_workers(2, timeout=60)
            except TimeoutError:
                pytest.fail("dask worker did not start:\n" + (folder / "worker.log").read_text())
            # (a local function travels by value: the workers cannot import this file either)
            def cannot_import_the_examples():
                return [importlib.util.find_spec(name) for name in ("study", "plot_header")]

            assert list(client.run(cannot_import_the_examples).values()) == [[None, None]] * 2
            yield client
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# --- one file ---

def corrupt(text):
    lines = text.splitlines(keepends=True)
    lines[-1] = "     1.0d+03" + lines[-1][12:]
    return "".join(lines)


FAILING = [
    ("missing file", None, PARAMETERS,
     'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("bad field", corrupt, PARAMETERS, "Could not parse line: ParseFloatError { kind: Invalid }"),
    ("cut block", lambda text: text[:text.rindex(" TIME")] + " TIME = 9 S\n", PARAMETERS,
     "Error reading line"),
    ("empty", lambda text: "", PARAMETERS, "Failed ot read line!"),
    ("unknown names", lambda text: text, ["PRESSURE_1", "NOPE", "LEVEL_3", "ALSO_NOT"],
     "no parameter named NOPE, ALSO_NOT"),
]


@pytest.mark.parametrize("change, parameters, message",
                         [row[1:] for row in FAILING], ids=[row[0] for row in FAILING])
def test_read_run_gives_the_failure_message(study, tmp_path, capfd, change, parameters, message):
    path = tmp_path / "run.plt"
    write_run(path, 1)
    if change is None:
        path = tmp_path / "missing.plt"
    else:
        path.write_text(change(path.read_text()))
    assert study.read_run(str(path), 12, parameters) == (None, None, message)
    assert capfd.readouterr() == ("", "")  # kelmor_arrays writes no report


def test_read_run_gives_float32_values_and_times(study, tmp_path):
    path = write_run(tmp_path / "run.plt", 2)
    times, values, error = study.read_run(path, 12, PARAMETERS[::-1] + PARAMETERS[:1])
    expected_times, columns = direct_read(path, PARAMETERS[::-1] + PARAMETERS[:1])
    assert error is None
    assert times.dtype == numpy.float64 and times.tolist() == expected_times
    assert values.dtype == numpy.float32 and values.shape == (4, 40)
    assert values.tolist() == columns  # exact: each value is single precision
    assert expected_times[:2] == [0.0, 0.1]


def test_read_run_of_a_file_without_blocks(study, tmp_path):
    path = tmp_path / "empty.plt"
    path.write_text("N: 2\n 1 A\n 2 B\n")
    times, values, error = study.read_run(str(path), 12, ["B"])
    assert error is None and times.shape == (0,) and values.shape == (1, 0)


def test_read_run_takes_the_first_of_repeated_names(study, tmp_path):
    path = tmp_path / "repeated.plt"
    path.write_text("N: 3\n 1 A\n 2 A\n 3 B\n STEP 1\n         1.5         2.5         3.5\n")
    times, values, error = study.read_run(str(path), 12, ["B", "A"])
    assert error is None and math.isnan(times[0]) and values.tolist() == [[3.5], [1.5]]


class DifferentPanic(BaseException):
    pass


DifferentPanic.__name__ = DifferentPanic.__qualname__ = "PanicException"


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit, MemoryError,
                                       RuntimeError, ValueError, DifferentPanic])
def test_read_run_lets_other_exceptions_through(study, monkeypatch, exception):
    # Only the reader's own failures mean a bad file; an interrupt must stop the study.
    def read(path, width):
        raise exception("stop")

    monkeypatch.setattr(study.kelmor_arrays, "read", read)
    with pytest.raises(exception):
        study.read_run("any.plt", 12, PARAMETERS)


# --- the whole study, in a process pool and on a Dask cluster ---

@pytest.fixture(params=["pool", "dask"])
def read_study(request, study):
    if request.param == "pool":
        return lambda paths, **options: study.read_study(paths, 12, PARAMETERS, workers=2,
                                                         **options)
    client = request.getfixturevalue("cluster")
    return lambda paths, **options: study.read_study_dask(paths, 12, PARAMETERS, client,
                                                          **options)


def test_study_keeps_going_past_the_bad_file(read_study, paths, capsys):
    runs = read_study(paths, progress=True)
    assert [run.path for run in runs] == paths
    assert [run.error for run in runs] == [BAD_MESSAGE if run == BAD_RUN else None
                                           for run in range(RUNS)]
    for run in runs:
        if run.ok:
            times, columns = direct_read(run.path)
            assert run.times.tolist() == times
            assert run.values.dtype == numpy.float32 and run.values.tolist() == columns
    assert f"{RUNS}/{RUNS}" in capsys.readouterr().err  # the progress bar's last state


def test_dask_workers_write_no_reports(study, cluster, cluster_folder, paths):
    runs = study.read_study_dask(paths[BAD_RUN:BAD_RUN + 1], 12, PARAMETERS, cluster,
                                 progress=False)
    assert runs[0].error == BAD_MESSAGE
    log = (cluster_folder / "worker.log").read_text()
    assert ") panicked at " not in log and BAD_MESSAGE not in log


def test_study_of_relative_paths_and_no_paths(read_study, study_dir, monkeypatch):
    monkeypatch.chdir(study_dir)  # the workers may run elsewhere: paths travel absolute
    runs = read_study(["run_0.plt", "run_0.plt", "missing.plt"], progress=False)
    assert [run.path for run in runs] == ["run_0.plt", "run_0.plt", "missing.plt"]
    assert runs[0].ok and runs[1].ok and runs[2].error.startswith("Plot file not found!")
    assert read_study([], progress=False) == []


def test_pool_study_tries_again_after_a_lost_worker(study, paths, tmp_path):
    # The first read kills its worker and breaks the pool; the files it left unread are read
    # in a new pool.
    runs = study.read_study(paths, DieOnIndex(once=str(tmp_path / "died")), PARAMETERS,
                            workers=2, progress=False)
    assert (tmp_path / "died").exists()
    assert [run.error for run in runs] == [BAD_MESSAGE if run == BAD_RUN else None
                                           for run in range(RUNS)]
    assert runs[0].values.tolist() == direct_read(paths[0])[1]


def test_pool_study_gives_up_on_files_that_kill_every_worker(study, paths):
    runs = study.read_study(paths[:3], DieOnIndex(), PARAMETERS, workers=2, progress=False)
    assert [run.path for run in runs] == paths[:3]
    assert [(run.values, run.error) for run in runs] == [
        (None, "the worker process ended before returning a result, in 2 pools in turn")] * 3


# --- the command line ---

def run_study(*args, cwd):
    result = subprocess.run([sys.executable, str(EXAMPLES / "study.py"), *args], cwd=cwd,
                            capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout, result.stderr


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


@pytest.mark.parametrize("where", ["pool", "scheduler", "local cluster"])
def test_command_line(request, study_dir, paths, tmp_path, where):
    options = {"pool": ["-j", "2"], "local cluster": ["--dask", "-j", "2"]}.get(where)
    if options is None:
        options = ["--scheduler", request.getfixturevalue("cluster").scheduler.address]
    status, out, err = run_study(
        "-w", "12", "--param", "PRESSURE_1", "-p", "POWER_2", "-p", "PRESSURE_1",
        "--plot", "LEVEL_3", "--no-progress", "-o", str(tmp_path / "out.parquet"),
        str(study_dir / "*.plt"), *options, cwd=tmp_path)
    assert status == 1, err
    lines = out.splitlines()
    assert lines[0].startswith(f"read {RUNS - 1} of {RUNS} files in ")
    assert lines[0].endswith({"pool": " s on 2 worker processes"}.get(where, ""))
    assert "on the Dask cluster at tcp://" in lines[0] or where == "pool"
    assert lines[1].split() == ["run", "timesteps", "end", "time", "PRESSURE_1", "min",
                                "PRESSURE_1", "max", "POWER_2", "min", "POWER_2", "max",
                                "LEVEL_3", "min", "LEVEL_3", "max"]
    good = [path for run, path in enumerate(paths) if run != BAD_RUN]
    for line, path in zip(lines[2:], good):
        times, columns = direct_read(path)
        assert line.split() == [path, "40", f"{times[-1]:.6g}"] + [
            f"{value:.6g}" for column in columns for value in (min(column), max(column))]
    assert lines[2 + len(good):] == [
        "1 file failed:", f"  {paths[BAD_RUN]}: {BAD_MESSAGE}",
        f"wrote {tmp_path / 'out.parquet'} ({len(good) * 3 * 40} rows)",
        "wrote spread_LEVEL_3.png"]
    assert "panicked at" not in err  # the workers write no reports

    # The table holds exactly what direct reads of the good files give.
    table = pyarrow.parquet.read_table(tmp_path / "out.parquet").to_pydict()
    assert list(table) == ["run", "time", "parameter", "value"]
    expected = {"run": [], "time": [], "parameter": [], "value": []}
    for path in good:
        times, columns = direct_read(path)
        for name, column in zip(PARAMETERS, columns):
            expected["run"] += [path] * len(times)
            expected["time"] += times
            expected["parameter"] += [name] * len(times)
            expected["value"] += column
    assert table == expected
    assert png_size(tmp_path / "spread_LEVEL_3.png") == (800, 450)


def test_command_line_all_read(study, paths, tmp_path, capsys):
    output = tmp_path / "good.parquet"
    good = [path for run, path in enumerate(paths) if run != BAD_RUN]
    assert study.main(["-p", "LEVEL_3", "-j", "1", "-o", str(output), *good[:2]]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("read 2 of 2 files in ") and lines[0].endswith(
        " s on 1 worker process")
    assert len(lines) == 5 and lines[-1] == f"wrote {output} (80 rows)"
    assert pyarrow.parquet.read_table(output).num_rows == 80


def test_command_line_all_failed(study, paths, tmp_path, capsys):
    output = tmp_path / "none.parquet"
    assert study.main(["-p", "NOPE", "--plot", "NOPE", "-o", str(output), *paths[:2]]) == 1
    out, err = capsys.readouterr()
    assert out.splitlines()[1:] == ["2 files failed:",
                                    f"  {paths[0]}: no parameter named NOPE",
                                    f"  {paths[1]}: no parameter named NOPE",
                                    f"wrote {output} (0 rows)"]
    assert err == "no plot: no file was read\n"
    table = pyarrow.parquet.read_table(output)
    assert table.num_rows == 0 and table.column_names == ["run", "time", "parameter", "value"]


def test_command_line_without_a_scheduler(study, paths, capsys):
    require("distributed")  # pip install .[study]
    import dask
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        assert study.main(["-p", "A", "--scheduler", "tcp://127.0.0.1:9", paths[0]]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("study.py: cannot reach the Dask scheduler at tcp://127.0.0.1:9: ")


def test_command_line_plot_of_a_name_that_is_no_file_name(study, tmp_path, monkeypatch, capsys):
    (tmp_path / "run.plt").write_text("N: 1\n 1 P/T\n TIME = 0 S\n         1.5\n")
    monkeypatch.chdir(tmp_path)
    assert study.main(["-p", "P/T", "--plot", "P/T", "-j", "1", "run.plt"]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "wrote spread_P_T.png"
    assert png_size(tmp_path / "spread_P_T.png") == (800, 450)


@pytest.mark.parametrize("args, message", [
    (["-p", "A", "{dir}/*.nothing"], "no file matches '{dir}/*.nothing'"),
    (["{dir}/run_0.plt"], "the following arguments are required: -p/--param"),
    (["-p", "A"], "the following arguments are required: FILE_OR_GLOB"),
    (["-p", "A", "-w", "-1", "x"], "argument -w/--width: -1 is not a field width"),
    (["-p", "A", "-w", "4294967296", "x"], "argument -w/--width: 4294967296 is not a field"),
    (["-p", "A", "-j", "0", "x"], "argument -j/--workers: 0 is not a positive number"),
    (["-p", "A", "--dask", "--scheduler", "tcp://h:1", "x"],
     "argument --scheduler: not allowed with argument --dask"),
], ids=["no match", "no parameter", "no file", "negative width", "wide width", "no worker",
        "two clusters"])
def test_command_line_usage_errors(study, study_dir, capsys, args, message):
    with pytest.raises(SystemExit) as exit_info:
        study.main([arg.format(dir=study_dir) for arg in args])
    assert exit_info.value.code == 2
    assert message.format(dir=study_dir) in capsys.readouterr().err


@pytest.mark.parametrize("patterns, expected", [
    (["run_1.plt", "missing.plt"], ["run_1.plt", "missing.plt"]),
    (["run_[13].plt", "run_0.plt"], ["run_1.plt", "run_3.plt", "run_0.plt"]),
    (["*_?.plt"], [f"run_{run}.plt" for run in range(RUNS)]),
    (["**/run_5.plt"], ["run_5.plt", "sub/run_5.plt"]),
    (["run_1.plt", "run_[0-2].plt", "run_1.plt"], ["run_1.plt", "run_0.plt", "run_2.plt"]),
])
def test_expand_paths(study, study_dir, monkeypatch, patterns, expected):
    (study_dir / "sub").mkdir(exist_ok=True)
    (study_dir / "sub" / "run_5.plt").write_text("")
    monkeypatch.chdir(study_dir)
    assert study.expand_paths(patterns) == expected


# --- summary and spread ---

def make_run(study, times, *curves):
    return study.Run("r", numpy.array(times, dtype=numpy.float64),
                     numpy.array(curves, dtype=numpy.float32).reshape(len(curves), len(times)))


def test_summary(study):
    nan = math.nan
    runs = [make_run(study, [0.0, 0.5, 1.0], [3.0, nan, -1.0], [nan, nan, nan]),
            study.Run("bad", error="Error reading line"),
            make_run(study, [], [], [])]
    runs[2].path = "empty"
    table = study.summary(runs, ["A", "B"])
    assert table.index.tolist() == ["r", "empty"]
    assert table.columns.tolist() == ["timesteps", "end time", "A min", "A max", "B min",
                                      "B max"]
    assert table["timesteps"].tolist() == [3, 0]
    assert table.loc["r", ["end time", "A min", "A max"]].tolist() == [1.0, -1.0, 3.0]
    assert table.loc["r", ["B min", "B max"]].isna().all()
    assert table.loc["empty", ["end time", "A min", "A max", "B min", "B max"]].isna().all()


def test_spread_of_runs_on_one_time_axis(study):
    runs = [make_run(study, [0.0, 1.0], [value, 2 * value]) for value in range(11)]
    runs.append(study.Run("bad", error="x"))
    band = study.spread(runs, ["A"], "A")
    assert band.x.tolist() == [0.0, 1.0] and band.x_label == "time [s]" and band.runs == 11
    assert band.minimum.tolist() == [0, 0] and band.maximum.tolist() == [10, 20]
    assert band.low.tolist() == [1, 2] and band.median.tolist() == [5, 10]
    assert band.high.tolist() == [9, 18]


def test_spread_of_runs_with_their_own_times(study):
    # Two runs over [0, 2] and [1, 3]: each counts only where it has values.
    runs = [make_run(study, [0.0, 2.0], [0.0, 2.0]), make_run(study, [1.0, 3.0], [10.0, 30.0])]
    band = study.spread(runs, ["A"], "A", points=7)
    assert band.x.tolist() == [0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
    assert band.minimum.tolist() == [0.0, 0.5, 1.0, 1.5, 2.0, 25.0, 30.0]
    assert band.maximum.tolist() == [0.0, 0.5, 10.0, 15.0, 20.0, 25.0, 30.0]
    assert band.median.tolist() == [0.0, 0.5, 5.5, 8.25, 11.0, 25.0, 30.0]


@pytest.mark.parametrize("second_times", [[math.nan, 1.0, 2.0], [0.0, 0.0, 1.0]],
                         ids=["no time", "time stands still"])
def test_spread_falls_back_to_timesteps(study, second_times):
    runs = [make_run(study, [0.0, 1.0], [1.0, 2.0]),
            make_run(study, second_times, [3.0, 4.0, 5.0])]
    band = study.spread(runs, ["A"], "A")
    assert band.x.tolist() == [0.0, 1.0, 2.0] and band.x_label == "timestep"
    assert band.minimum.tolist() == [1.0, 2.0, 5.0] and band.maximum.tolist() == [3.0, 4.0, 5.0]


def test_spread_needs_a_run(study):
    with pytest.raises(ValueError, match="no run was read"):
        study.spread([study.Run("bad", error="x")], ["A"], "A")


# --- the README's example ---

def test_readme_sample(study, tmp_path, monkeypatch, capsys):
    # The commands of "Many runs" give the output that the README shows, timing aside.
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("\n### On one machine\n"):readme.index("\n### On a cluster\n")]
    commands = section[section.index("```sh\n") + 6:]
    commands = commands[:commands.index("```")]
    assert "python tools/make_plot_file.py --seed 7 --run $run study/run_$run.plt" in commands
    assert "truncate -s -20 study/run_13.plt" in commands
    shown = section[section.index("```text\n") + 8:]
    shown = shown[:shown.index("```")].splitlines()

    (tmp_path / "study").mkdir()
    for run in range(1, 25):
        write_run(tmp_path / "study" / f"run_{run:02d}.plt", run, 36, 300, seed=7)
    with open(tmp_path / "study" / "run_13.plt", "r+b") as cut:
        cut.truncate(cut.seek(0, os.SEEK_END) - 20)
    monkeypatch.chdir(tmp_path)
    arguments = commands[commands.index("examples/study.py") + 17:].replace("\\\n", " ")
    assert study.main([*arguments.replace("'", "").split(), "--no-progress"]) == 1
    printed = capsys.readouterr().out.splitlines()

    assert printed[0].startswith("read 23 of 24 files in ") and shown[0].startswith(
        "read 23 of 24 files in ")
    skipped = shown.index("...")
    assert printed[1:skipped] == shown[1:skipped]
    assert printed[len(printed) - len(shown) + skipped + 1:] == shown[skipped + 1:]
    assert (tmp_path / "spread_TEMPERATURE_1.png").exists()
