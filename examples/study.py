"""Reads a parameter study, many plot files at once, on every core or on a Dask cluster.

Usage: python examples/study.py [-w WIDTH] -p PARAMETER [-p ...] [-o OUT.parquet]
                                [--plot PARAMETER [--plot-output OUT.png]]
                                [-j WORKERS | --dask | --scheduler ADDRESS] FILE_OR_GLOB ...

Every file is read in a worker process, which sends back only the chosen parameters (float32
arrays) and the block times. A file that fails is reported with its failure message and the
others are kept. The result is a tidy table (run, time, parameter, value) in Parquet, a
per-run summary on standard output and, with --plot, a PNG of one parameter's spread across
the runs. Exit status: 0 when every file was read, 1 when any failed, 2 for a usage error
or a scheduler that cannot be reached.
Needs: pip install .[study]
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import glob
import multiprocessing
import operator
import os
import re
import sys
import time
import uuid
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from typing import TYPE_CHECKING, Any

import numpy

import kelmor_arrays
from plot_header import block_time

if TYPE_CHECKING:
    import pandas
    from distributed import Client
    from matplotlib.figure import Figure

# What a worker sends back for one file: the block times (float64), the chosen parameters'
# values as a (parameters, timesteps) float32 array, and the failure message; either the two
# arrays or the message is None.
RunData = tuple[numpy.ndarray | None, numpy.ndarray | None, str | None]


class MissingParameter(ValueError):
    """A file does not hold a parameter that the study asks for."""


def read_parameters(path: str, width: int,
                    parameters: Sequence[str]) -> tuple[numpy.ndarray, numpy.ndarray]:
    """The block times and the named parameters' values of one plot file.

    This is the one place that calls the reader: everything else works on its two arrays,
    the times as float64 (one per block) and the values as a (len(parameters), timesteps)
    float32 array, which holds kelmor's single-precision values exactly. kelmor_arrays gives
    the file's values as one float32 array with the names and the block header lines, so
    only the chosen parameters are copied out of it, and no Python float is made.
    """
    result = kelmor_arrays.read(path, width)
    names = [name or f"parameter_{number}" for number, name in enumerate(result.names, 1)]
    times = [block_time(line) for line in result.block_headers]
    position: dict[str, int] = {}
    for index, name in enumerate(names):
        position.setdefault(name, index)  # a repeated name means its first parameter
    missing = [name for name in parameters if name not in position]
    if missing:
        raise MissingParameter(f"no parameter named {', '.join(missing)}")
    # One row per block in the file: the chosen columns, each made one contiguous row.
    values = numpy.asarray(result.values).T[[position[name] for name in parameters]]
    return numpy.array(times, dtype=numpy.float64), numpy.ascontiguousarray(values)


def read_run(path: str, width: int, parameters: Sequence[str]) -> RunData:
    """Reads one file in a worker. A bad file gives its failure message instead of raising,
    so that the study goes on; anything else (KeyboardInterrupt, SystemExit, a bug) raises."""
    try:
        times, values = read_parameters(path, width, parameters)
    except (MissingParameter, kelmor_arrays.PlotFileError) as exc:
        return None, None, str(exc)
    except OSError as exc:
        # kelmor_arrays's own OSError carries the reader's message as its strerror.
        return None, None, exc.strerror or str(exc)
    return times, values, None


@dataclasses.dataclass
class Run:
    """One file of the study as the caller gave it, with what its read gave."""
    path: str
    times: numpy.ndarray | None = None   # float64, one per timestep block
    values: numpy.ndarray | None = None  # float32, (parameters, timesteps)
    error: str | None = None             # the failure message of a file that failed

    @property
    def ok(self) -> bool:
        return self.error is None


def _read(runs: Iterable[Run]) -> list[tuple[str, numpy.ndarray, numpy.ndarray]]:
    """Path, times and values of each run that was read."""
    return [(run.path, run.times, run.values) for run in runs
            if run.times is not None and run.values is not None]


def expand_paths(patterns: Iterable[str]) -> list[str]:
    """Paths in the order given, each once; a pattern with *, ? or [ ] stands for its
    matches, sorted (** spans folders), so that a study larger than a command line can be
    named by one quoted glob. A pattern without a match is an error; a plain path is kept as
    it is (a missing file is that run's failure)."""
    paths: dict[str, None] = {}
    for pattern in patterns:
        if any(char in pattern for char in "*?["):
            matches = sorted(glob.glob(pattern, recursive=True))
            if not matches:
                raise FileNotFoundError(f"no file matches {pattern!r}")
            paths.update(dict.fromkeys(matches))
        else:
            paths[pattern] = None
    return list(paths)


def default_workers() -> int:
    """One worker per core that this process may run on."""
    return len(os.sched_getaffinity(0))


def _progress(total: int, progress: bool | None) -> Any:
    from tqdm import tqdm
    # None: a bar only when standard error is a terminal.
    return tqdm(total=total, unit="file", desc="reading", disable=None if progress is None
                else not progress)


def _gather(runs: list[Run], futures: dict[Any, int], completed: Iterator[Any], bar: Any,
            lost: Callable[[Any], bool]) -> list[int]:
    """Fills `runs` from futures that finish in any order (each maps to its run's index) and
    gives the indices of those whose worker was lost, as `lost` tells; any other exception
    of a future is raised."""
    missing = []
    for future in completed:
        if lost(future):
            missing.append(futures[future])
        else:
            run = runs[futures[future]]
            run.times, run.values, run.error = future.result()
            bar.update()
    return missing


# Pool rounds per file: a worker that dies (killed for want of memory, say) breaks the pool,
# and every file that it left unread is tried once more in a new pool.
POOL_ROUNDS = 2


def read_study(paths: Sequence[str], width: int, parameters: Sequence[str], *,
               workers: int | None = None, progress: bool | None = None) -> list[Run]:
    """Reads every file in a pool of worker processes, one per core by default."""
    runs = [Run(path) for path in paths]
    # forkserver, not fork: a fork of a process that runs threads (tqdm's, pyarrow's, a
    # notebook's) may deadlock. The server imports the reader and NumPy once, and each worker
    # forks from it. This module is not preloaded: the server imports with its own search
    # path, on which a folder named like this module (a study's folder, say) would win.
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["numpy", "kelmor_arrays"])
    pending = list(range(len(paths)))
    with _progress(len(paths), progress) as bar:
        for _ in range(POOL_ROUNDS):
            if not pending:
                break
            executor = ProcessPoolExecutor(max_workers=min(workers or default_workers(),
                                                           len(pending)), mp_context=context)
            try:
                futures = {executor.submit(read_run, os.path.abspath(paths[index]), width,
                                           list(parameters)): index for index in pending}
                pending = _gather(runs, futures, as_completed(futures), bar, lambda future:
                                  isinstance(future.exception(), BrokenProcessPool))
            finally:
                # On an interrupt or an error, the files not yet started are dropped.
                executor.shutdown(wait=True, cancel_futures=True)
        bar.update(len(pending))
    for index in pending:
        runs[index].error = (f"the worker process ended before returning a result, in "
                             f"{POOL_ROUNDS} pools in turn")
    return runs


def read_study_dask(paths: Sequence[str], width: int, parameters: Sequence[str],
                    client: Client, *, progress: bool | None = None) -> list[Run]:
    """Reads every file as a task of a Dask cluster, through `client`. The workers need
    kelmor (its kelmor_arrays module) and NumPy installed and the files at the same paths (a shared file system); the
    scheduler needs Dask only."""
    from distributed import as_completed as dask_completed
    from distributed.client import FutureCancelledError
    from distributed.scheduler import KilledWorker

    runs = [Run(path) for path in paths]
    if not paths:
        return runs
    # The reader goes to the workers by value, as data: neither they nor the scheduler (which
    # unpickles the task graph) need this file. Each task calls it with operator.call.
    reader = client.scatter(_by_value(read_run), broadcast=True, hash=False)
    token = uuid.uuid4().hex  # a file may change between two studies on a long-lived cluster
    futures = client.map(operator.call, [reader] * len(paths),
                         [os.path.abspath(path) for path in paths], width=width,
                         parameters=list(parameters),
                         key=[f"read_run-{token}-{index}" for index in range(len(paths))])
    errors = {}

    def lost(future: Any) -> bool:
        # The scheduler gives up on a task after its workers died a few times (KilledWorker).
        if future.status == "error" and isinstance(
                error := future.exception(), (KilledWorker, FutureCancelledError)):
            errors[future] = error
            return True
        return False

    try:
        with _progress(len(paths), progress) as bar:
            indices = {future: index for index, future in enumerate(futures)}
            bar.update(len(_gather(runs, indices, dask_completed(futures), bar, lost)))
    finally:
        client.cancel([*futures, reader])
    for future, error in errors.items():
        runs[indices[future]].error = f"the worker was lost before returning a result ({error})"
    return runs


class _ByValue:
    """A function that pickles with its code (cloudpickle), so that a process without this
    module and plot_header.py can run it; its imports (kelmor_arrays, NumPy) stay by name."""

    def __init__(self, blob: bytes) -> None:
        self.blob = blob

    def __reduce__(self) -> tuple[Any, ...]:
        import cloudpickle
        return cloudpickle.loads, (self.blob,)


def _by_value(function: Callable[..., Any]) -> _ByValue:
    import cloudpickle

    import plot_header
    added = [module for module in (sys.modules[__name__], plot_header)
             if module.__name__ not in cloudpickle.list_registry_pickle_by_value()]
    for module in added:
        cloudpickle.register_pickle_by_value(module)
    try:
        return _ByValue(cloudpickle.dumps(function))
    finally:
        for module in added:
            cloudpickle.unregister_pickle_by_value(module)


@contextlib.contextmanager
def dask_client(scheduler: str | None, workers: int | None = None) -> Iterator[Client]:
    """A client of the cluster at `scheduler`, or of a new LocalCluster of `workers` worker
    processes (one per core by default) with one thread each: a read holds the interpreter
    lock, so threads within a worker would wait on each other."""
    from distributed import Client, LocalCluster
    with contextlib.ExitStack() as stack:
        if scheduler:
            client = stack.enter_context(Client(scheduler))
        else:
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers or default_workers(), threads_per_worker=1, processes=True,
                dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        yield client


def summary(runs: Sequence[Run], parameters: Sequence[str]) -> pandas.DataFrame:
    """One row per run that was read: its timesteps, its end time (the last block's), and the
    smallest and largest value of every parameter (NaN values aside; NaN for no timestep)."""
    import pandas
    index, rows = [], []
    for path, times, values in _read(runs):
        # fmin and fmax pass over NaN; the NaN start makes an empty run's result NaN.
        lows = numpy.fmin.reduce(values, axis=1, initial=numpy.nan)
        highs = numpy.fmax.reduce(values, axis=1, initial=numpy.nan)
        index.append(path)
        rows.append([len(times), times[-1] if len(times) else numpy.nan,
                     *(float(value) for pair in zip(lows, highs) for value in pair)])
    columns = ["timesteps", "end time"] + [f"{name} {end}" for name in parameters
                                           for end in ("min", "max")]
    frame = pandas.DataFrame(rows, index=pandas.Index(index, name="run", dtype=object),
                             columns=columns, dtype="float64")
    return frame.astype({"timesteps": "int64"})


def write_table(runs: Sequence[Run], parameters: Sequence[str], path: str) -> int:
    """Writes the tidy table of the runs that were read to a Parquet file: one row per run,
    parameter and timestep, with the columns run (the path as given), time (float64),
    parameter and value (float32), one row group per run. Gives the number of rows."""
    import pyarrow
    import pyarrow.parquet

    # run and parameter are dictionary-encoded: a study repeats a few texts millions of times.
    text = pyarrow.dictionary(pyarrow.int32(), pyarrow.string())
    schema = pyarrow.schema([("run", text), ("time", pyarrow.float64()),
                             ("parameter", text), ("value", pyarrow.float32())])
    names = pyarrow.array(parameters, pyarrow.string())
    rows = 0
    with pyarrow.parquet.ParquetWriter(path, schema) as writer:
        for run_path, times, values in _read(runs):
            steps = len(times)
            count = len(parameters) * steps
            # Rows go parameter by parameter, so the values are the array as it lies.
            parameter = numpy.repeat(numpy.arange(len(parameters), dtype=numpy.int32), steps)
            writer.write_table(pyarrow.table([
                pyarrow.DictionaryArray.from_arrays(
                    numpy.zeros(count, dtype=numpy.int32), pyarrow.array([run_path])),
                numpy.tile(times, len(parameters)),
                pyarrow.DictionaryArray.from_arrays(parameter, names),
                values.ravel(),
            ], schema=schema))
            rows += count
    return rows


@dataclasses.dataclass
class Spread:
    """A parameter's spread across runs on one axis: per point, the quantiles over the runs
    that cover it."""
    x: numpy.ndarray
    x_label: str
    runs: int
    minimum: numpy.ndarray
    low: numpy.ndarray      # 10 %
    median: numpy.ndarray
    high: numpy.ndarray     # 90 %
    maximum: numpy.ndarray


def spread(runs: Sequence[Run], parameters: Sequence[str], name: str,
           points: int = 1000) -> Spread:
    """The spread of parameter `name` across the runs that were read.

    Runs whose block times are all the same share them as the axis. Runs with times of their
    own (adaptive time steps, different end times) are interpolated linearly onto `points`
    times from the earliest start to the latest end; a run does not count where it has no
    value. When any run lacks usable times (a header without TIME, or times that do not
    increase), the axis is the timestep number.
    """
    index = list(parameters).index(name)
    good = _read(runs)
    if not good:
        raise ValueError("no run was read")
    times = [run_times for _, run_times, _ in good]
    curves = [values[index].astype(numpy.float64) for _, _, values in good]
    timed = all(numpy.isfinite(t).all() and (numpy.diff(t) > 0).all() for t in times)
    if timed and all(numpy.array_equal(t, times[0]) for t in times):
        x, stack = times[0], numpy.vstack(curves)
    elif timed:
        spans = [t for t in times if len(t)]
        x = numpy.linspace(min(t[0] for t in spans), max(t[-1] for t in spans), points)
        stack = numpy.vstack([numpy.interp(x, t, c, left=numpy.nan, right=numpy.nan)
                              if len(t) else numpy.full(points, numpy.nan)
                              for t, c in zip(times, curves)])
    else:
        longest = max(len(c) for c in curves)
        x = numpy.arange(longest, dtype=numpy.float64)
        stack = numpy.full((len(curves), longest), numpy.nan)
        for row, curve in zip(stack, curves):
            row[:len(curve)] = curve
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a point no run covers stays NaN
        quantiles = numpy.nanquantile(stack, [0.0, 0.1, 0.5, 0.9, 1.0], axis=0)
    return Spread(x, "time [s]" if timed else "timestep", len(good), *quantiles)


def plot_spread(runs: Sequence[Run], parameters: Sequence[str], name: str) -> Figure:
    """A figure of the spread of parameter `name` over time: median line, 10-90 % band and
    min-max band across the runs (matplotlib's Agg backend, no display needed)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    band = spread(runs, parameters, name)
    figure = Figure(figsize=(8, 4.5), layout="constrained")
    FigureCanvasAgg(figure)  # pyplot's global state stays untouched, as a notebook needs
    axis = figure.subplots()
    axis.fill_between(band.x, band.minimum, band.maximum, color="tab:blue", alpha=0.18,
                      linewidth=0, label="min - max")
    axis.fill_between(band.x, band.low, band.high, color="tab:blue", alpha=0.38,
                      linewidth=0, label="10 % - 90 %")
    axis.plot(band.x, band.median, color="tab:blue", linewidth=1.5, label="median")
    axis.set_xlabel(band.x_label)
    axis.set_ylabel(name)
    axis.set_title(f"{name}: spread across {band.runs} runs")
    axis.grid(True, alpha=0.3)
    axis.legend(loc="best", fontsize="small")
    return figure


def print_summary(table: pandas.DataFrame) -> None:
    """The summary as aligned text, run names to the left, values with 6 significant digits."""
    if not len(table):
        return
    width = max(len(run) for run in table.index)
    header = "run".ljust(width)
    print(table.reset_index().rename(columns={"run": header}).to_string(
        index=False, float_format=lambda value: f"{value:.6g}",
        formatters={header: lambda run: run.ljust(width)}))


def _unique(names: Iterable[str]) -> list[str]:
    return list(dict.fromkeys(names))


def _width(text: str) -> int:
    width = int(text)
    if not 0 <= width < 2**32:
        raise argparse.ArgumentTypeError(f"{width} is not a field width (0 to 4294967295)")
    return width


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not a positive number")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="Exit status: 0 when every file was read, 1 when any failed, 2 for a usage "
               "error or a scheduler that cannot be reached.")
    parser.add_argument("files", nargs="+", metavar="FILE_OR_GLOB",
                        help="plot files, or quoted glob patterns such as 'runs/**/*.plt'")
    parser.add_argument("-w", "--width", type=_width, default=12,
                        help="field width: 12 (the default) or 15")
    parser.add_argument("-p", "--param", action="append", required=True, metavar="PARAMETER",
                        help="a parameter to keep; repeat for more")
    parser.add_argument("-o", "--output", default="study.parquet",
                        help="the Parquet file of the tidy table (default: %(default)s)")
    parser.add_argument("--plot", metavar="PARAMETER",
                        help="save a PNG of this parameter's spread across the runs")
    parser.add_argument("--plot-output", metavar="PNG",
                        help="the PNG's path (default: spread_<PARAMETER>.png)")
    parser.add_argument("-j", "--workers", type=_positive,
                        help="worker processes (default: one per core); with --dask, the "
                             "LocalCluster's")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--dask", action="store_true",
                         help="read on a Dask LocalCluster of worker processes")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="read on the Dask cluster whose scheduler is at ADDRESS "
                              "(e.g. tcp://10.0.0.5:8786)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    try:
        args.paths = expand_paths(args.files)
    except FileNotFoundError as exc:
        parser.error(str(exc))
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    parameters = _unique(args.param + ([args.plot] if args.plot else []))
    progress = False if args.no_progress else None

    if args.dask or args.scheduler:
        with contextlib.ExitStack() as stack:
            try:
                client = stack.enter_context(dask_client(args.scheduler, args.workers))
            except OSError as exc:  # no scheduler at that address, within Dask's time-out
                print(f"study.py: cannot reach the Dask scheduler at {args.scheduler}: {exc}",
                      file=sys.stderr)
                return 2
            where = f"the Dask cluster at {client.scheduler.address}"
            start = time.perf_counter()
            runs = read_study_dask(args.paths, args.width, parameters, client, progress=progress)
            seconds = time.perf_counter() - start
    else:
        workers = min(args.workers or default_workers(), len(args.paths))
        where = f"{workers} worker process{'es' if workers > 1 else ''}"
        start = time.perf_counter()
        runs = read_study(args.paths, args.width, parameters, workers=workers,
                          progress=progress)
        seconds = time.perf_counter() - start

    failed = [run for run in runs if not run.ok]
    print(f"read {len(runs) - len(failed)} of {len(runs)} files in {seconds:.2f} s "
          f"on {where}")
    print_summary(summary(runs, parameters))
    if failed:
        print(f"{len(failed)} file{'s' if len(failed) > 1 else ''} failed:")
        for run in failed:
            print(f"  {run.path}: {run.error}")
    rows = write_table(runs, parameters, args.output)
    print(f"wrote {args.output} ({rows} rows)")
    if args.plot:
        if len(failed) == len(runs):
            print("no plot: no file was read", file=sys.stderr)
        else:
            output = args.plot_output or f"spread_{re.sub(r'[^\w.-]', '_', args.plot)}.png"
            figure = plot_spread(runs, parameters, args.plot)
            figure.savefig(output, dpi=100)
            print(f"wrote {output}")
    return 1 if failed else 0


if __name__ == "__main__":
    # Run through the module `study`, as the tests and users who import it do, so that worker
    # processes find the functions by that name rather than in a __main__ of their own.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import study
    sys.exit(study.main())
