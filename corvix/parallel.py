"""Converting many files: worker pools, progress bars, and the outcome of each file."""

from __future__ import annotations

import multiprocessing
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor, as_completed
from multiprocessing.connection import Connection, wait
from typing import Any, TextIO

from ._library import is_mzml_path
from .convert import ConvertJob, ConvertOutcome, convert_task

Report = Callable[[ConvertOutcome], None]


class _BarProgress:
    """Progress callback of a job run in this process."""

    def __init__(self, bars: ProgressBars, index: int) -> None:
        self.bars = bars
        self.index = index

    def __call__(self, done: int, total: int) -> None:
        self.bars.update(self.index, done, total)


def gil_enabled() -> bool:
    """False only on an interpreter running without its global lock."""
    check: Callable[[], bool] | None = getattr(sys, "_is_gil_enabled", None)
    return True if check is None else check()


def reader_group(job: ConvertJob) -> str:
    """Jobs of one group need the same Reader library, so they can share a process."""
    if job.reader is not None:
        return "reader:" + job.reader
    return "mzml" if is_mzml_path(job.source) else "search"


class ProgressBars:
    """An overall bar over files and one bar per file being converted (tqdm, on stderr)."""

    def __init__(self, jobs: Sequence[ConvertJob], enabled: bool | None, stream: TextIO | None = None) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

        self._tqdm = tqdm
        self._jobs = jobs
        self._stream = stream if stream is not None else sys.stderr
        # enabled None: show bars only on a terminal.
        self._disable = None if enabled is None else not enabled
        self._lock = threading.Lock()
        self._files: dict[int, Any] = {}
        self._finished: set[int] = set()
        self.overall = tqdm(total=len(jobs), unit="file", desc="files", disable=self._disable,
                            file=self._stream, position=0)

    def update(self, index: int, done: int, total: int) -> None:
        """A worker converted `done` of `total` scans of job `index`."""
        with self._lock:
            if index in self._finished:  # a late message from a worker
                return
            bar = self._files.get(index)
            if bar is None:
                name = self._jobs[index].source.replace("\\", "/").rsplit("/", 1)[-1]
                bar = self._tqdm(total=total, unit="scan", desc=name, leave=False, disable=self._disable,
                                 file=self._stream)
                self._files[index] = bar
            bar.total = total
            bar.update(done - bar.n)

    def finish(self, index: int) -> None:
        """Job `index` is over."""
        with self._lock:
            self._finished.add(index)
            bar = self._files.pop(index, None)
            if bar is not None:
                bar.close()
            self.overall.update(1)

    @staticmethod
    def write_line(line: str, file: TextIO) -> None:
        """Print a line without breaking the bars that are shown."""
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

        tqdm.write(line, file=file)

    def close(self) -> None:
        with self._lock:
            for bar in self._files.values():
                bar.close()
            self._files.clear()
            self.overall.close()


def convert_many(jobs: Sequence[ConvertJob], workers: int = 1, progress: bool | None = None,
                 report: Report | None = None) -> list[ConvertOutcome]:
    """Convert every job; returns exactly one outcome per job, in job order.

    `workers` > 1 runs files in parallel: in worker processes, or in threads
    when the interpreter runs without its global lock. Jobs that need
    different Reader libraries run in different processes, because a process
    keeps the first Reader library it loads. A worker process that dies
    (killed, or exiting in the middle of a file) fails the file it was
    converting, and a fresh worker takes the files still to do. `report` is
    called with each outcome as soon as it is known.
    """
    bars = ProgressBars(jobs, progress)
    outcomes: list[ConvertOutcome | None] = [None] * len(jobs)

    def done(index: int, outcome: ConvertOutcome) -> None:
        outcomes[index] = outcome
        bars.finish(index)
        if report is not None:
            report(outcome)

    groups: dict[str, list[int]] = {}
    for index, job in enumerate(jobs):
        groups.setdefault(reader_group(job), []).append(index)
    try:
        if len(groups) <= 1 and workers <= 1:
            for index, job in enumerate(jobs):
                done(index, convert_task(job, _BarProgress(bars, index)))
        elif len(groups) == 1 and not gil_enabled():
            with ThreadPoolExecutor(max_workers=workers) as threads:
                _drain_threads(threads, jobs, range(len(jobs)), bars, done)
        else:
            for members in groups.values():
                _run_processes(jobs, members, max(1, min(workers, len(members))), bars, done)
    finally:
        bars.close()
    # Every job has an outcome: one that somehow got none counts as failed, never as skipped.
    return [outcome if outcome is not None else
            ConvertOutcome(jobs[index].source, None, 0, 0.0, "no outcome was reported for this file")
            for index, outcome in enumerate(outcomes)]


def _drain_threads(pool: Executor, jobs: Sequence[ConvertJob], members: Iterable[int], bars: ProgressBars,
                   done: Callable[[int, ConvertOutcome], None]) -> None:
    futures: dict[Future[ConvertOutcome], int] = {}
    for index in members:
        futures[pool.submit(convert_task, jobs[index], _BarProgress(bars, index))] = index
    try:
        for future in as_completed(futures):
            index = futures[future]
            try:
                outcome = future.result()
            except Exception as error:
                outcome = ConvertOutcome(jobs[index].source, None, 0, 0.0, f"worker failed: {error!r}")
            done(index, outcome)
    except BaseException:
        for future in futures:
            future.cancel()
        raise


# -- worker processes ---------------------------------------------------------------------------------
#
# Each worker process has its own pipe: the parent sends (index, job) or None
# (stop); the worker sends ("progress", done, total) messages and then
# ("done", outcome). The parent waits on the pipes and on the processes'
# sentinels at once, so it always knows which file a worker was converting
# when it died.


def _worker_main(connection: Connection) -> None:
    """The loop of a worker process."""
    try:
        while True:
            message = connection.recv()
            if message is None:
                return
            index, job = message

            def progress(done: int, total: int) -> None:
                connection.send(("progress", done, total))

            connection.send(("done", convert_task(job, progress)))
    except (EOFError, KeyboardInterrupt, BrokenPipeError):
        return


class _Worker:
    def __init__(self, context: Any) -> None:
        self.connection, child = context.Pipe(duplex=True)
        self.process = context.Process(target=_worker_main, args=(child,), daemon=True)
        self.process.start()
        child.close()
        self.index: int | None = None

    def give(self, index: int, job: ConvertJob) -> None:
        self.index = index
        self.connection.send((index, job))

    def stop(self) -> None:
        try:
            self.connection.send(None)
        except (OSError, ValueError):
            pass

    def kill(self) -> None:
        if self.process.is_alive():
            self.process.kill()
        self.process.join()
        self.connection.close()


def _death(worker: _Worker) -> str:
    worker.process.join()
    code = worker.process.exitcode
    if code is not None and code < 0:
        try:
            how = f"killed by {signal.Signals(-code).name}"
        except ValueError:
            how = f"killed by signal {-code}"
    else:
        how = f"exit status {code}"
    return f"the worker process converting it died ({how})"


def _run_processes(jobs: Sequence[ConvertJob], members: Sequence[int], count: int, bars: ProgressBars,
                   done: Callable[[int, ConvertOutcome], None]) -> None:
    context = multiprocessing.get_context("spawn")
    todo = list(reversed(members))
    workers: list[_Worker] = []

    def assign(worker: _Worker) -> None:
        if todo:
            index = todo.pop()
            worker.give(index, jobs[index])
        else:
            worker.index = None
            worker.stop()

    try:
        for _ in range(count):
            worker = _Worker(context)
            workers.append(worker)
            assign(worker)
        while any(worker.index is not None for worker in workers):
            busy = [worker for worker in workers if worker.index is not None]
            waitables: list[Any] = [worker.connection for worker in busy] + [worker.process.sentinel for worker in busy]
            ready = set(wait(waitables))
            for worker in busy:
                index = worker.index
                assert index is not None
                finished = lost = False
                try:
                    while worker.connection in ready or worker.connection.poll():
                        ready.discard(worker.connection)
                        message = worker.connection.recv()
                        if message[0] == "progress":
                            bars.update(index, message[1], message[2])
                        else:
                            done(index, message[1])
                            finished = True
                            break
                except (EOFError, OSError):
                    lost = True  # the worker's end of the pipe is gone: it died
                if finished:
                    assign(worker)
                    continue
                if lost or worker.process.sentinel in ready or not worker.process.is_alive():
                    # Died in the middle of a file: that file failed; a new worker takes the rest.
                    done(index, ConvertOutcome(jobs[index].source, None, 0, 0.0, _death(worker)))
                    worker.index = None
                    worker.connection.close()
                    workers.remove(worker)
                    if todo:
                        fresh = _Worker(context)
                        workers.append(fresh)
                        assign(fresh)
        for worker in workers:
            worker.process.join(timeout=30)
    finally:
        for worker in workers:
            worker.kill()
