"""Converting many files: worker pools, progress bars, and the outcome of each file."""

from __future__ import annotations

import multiprocessing
import queue
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from typing import Any, TextIO

from ._library import is_mzml_path
from .convert import ConvertJob, ConvertOutcome, convert_task

Report = Callable[[ConvertOutcome], None]

# The progress queue of a worker process, set by the pool's initializer.
_worker_queue: Any = None


def _init_worker(progress_queue: Any) -> None:
    global _worker_queue
    _worker_queue = progress_queue


class _QueueProgress:
    """Progress callback of a worker process: sends (job index, done, total) to the parent."""

    def __init__(self, index: int) -> None:
        self.index = index

    def __call__(self, done: int, total: int) -> None:
        if _worker_queue is not None:
            _worker_queue.put((self.index, done, total))


def _run_in_worker(index: int, job: ConvertJob) -> ConvertOutcome:
    return convert_task(job, _QueueProgress(index))


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
    """Convert every job; returns one outcome per job, in job order.

    `workers` > 1 runs files in parallel: in worker processes, or in threads
    when the interpreter runs without its global lock. Jobs that need
    different Reader libraries run in different processes, because a process
    keeps the first Reader library it loads. `report` is called with each
    outcome as soon as it is known.
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
                _drain(threads, jobs, range(len(jobs)), bars, done, threads=True)
        else:
            context = multiprocessing.get_context("spawn")
            progress_queue = context.Queue()
            listener = threading.Thread(target=_listen, args=(progress_queue, bars), daemon=True)
            listener.start()
            try:
                for members in groups.values():
                    with ProcessPoolExecutor(max_workers=max(1, min(workers, len(members))), mp_context=context,
                                             initializer=_init_worker, initargs=(progress_queue,)) as pool:
                        _drain(pool, jobs, members, bars, done, threads=False)
            finally:
                progress_queue.put(None)
                listener.join()
                progress_queue.close()
                progress_queue.join_thread()
    finally:
        bars.close()
    return [outcome for outcome in outcomes if outcome is not None]


def _drain(pool: Executor, jobs: Sequence[ConvertJob], members: Iterable[int], bars: ProgressBars,
           done: Callable[[int, ConvertOutcome], None], threads: bool) -> None:
    futures: dict[Future[ConvertOutcome], int] = {}
    for index in members:
        if threads:
            futures[pool.submit(convert_task, jobs[index], _BarProgress(bars, index))] = index
        else:
            futures[pool.submit(_run_in_worker, index, jobs[index])] = index
    try:
        for future in as_completed(futures):
            index = futures[future]
            try:
                outcome = future.result()
            except Exception as error:  # the worker itself died (killed, out of memory, ...)
                outcome = ConvertOutcome(jobs[index].source, None, 0, 0.0, f"worker failed: {error!r}")
            done(index, outcome)
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def _listen(progress_queue: Any, bars: ProgressBars) -> None:
    while True:
        try:
            message = progress_queue.get()
        except (EOFError, OSError, queue.Empty):
            return
        if message is None:
            return
        bars.update(*message)
