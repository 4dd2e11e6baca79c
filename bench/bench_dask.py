"""What reading BUFR files with norvane.dask costs, and how it scales with worker processes.

    python bench/bench_dask.py [--repeat N] [--overhead-file FILE]

1. The derived_ed4 files read on a distributed.LocalCluster of 1, then 2 worker processes (one
   thread each): the wall time of computing every partition's length, so the rows are decoded on
   the workers and only counts travel. The compressed satellite files are cut into runs of 25
   messages, the others into runs of 4,000, so that two workers get even shares of a dozen
   partitions. Prints both times and the scaling ratio.
   "workers busy" is the workers' CPU seconds per wall second: below the worker count when other
   processes share the cores, which then caps the scaling.
2. Dask's overhead on one file: plain ``norvane.read_table(file).to_pandas()`` against
   ``norvane.dask.read_table(file).compute()`` with the synchronous scheduler (planning, the schema
   sample, alignment), both in CPU time of this process, and on a one-worker cluster (wall time,
   also shipping the frame to the client).

Best of N rounds; the cluster is started before and stopped after the timed runs. On
a shared 2-core machine the neighbours' load shows in the numbers.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
DERIVED = SHARED / "corpus/bufr/derived_ed4"
SATELLITE = ("cmwn_87", "csrh_189", "ias1_240")  # compressed: many values per message


def frame_of(paths: list[Path]):
    import dask.dataframe as dd

    import norvane.dask

    satellite = [str(p) for p in paths if p.name.startswith(SATELLITE)]
    others = [str(p) for p in paths if not p.name.startswith(SATELLITE)]
    return dd.concat([norvane.dask.read_table(satellite, messages_per_partition=25),
                      norvane.dask.read_table(others, messages_per_partition=4000)])


def best_of(repeat: int, run, clock=time.perf_counter) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        start = clock()
        result = run()
        best = min(best, clock() - start)
    return best, result


def warm_up(client) -> None:
    """Imports what the tasks use in every worker, so the first timed task does not pay for it."""
    client.run(lambda: [__import__(name) for name in ("norvane.dask", "norvane.table", "pandas", "pyarrow")] and None)


def worker_cpu(client) -> float:
    return sum(client.run(time.process_time).values())


def on_cluster(workers: int, repeat: int, paths: list[Path]) -> tuple[float, int, float]:
    """Best wall time, rows, and the CPU seconds the workers got per wall second in the best round
    (at most ``workers``; less when other processes share the cores)."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        warm_up(client)
        best = (float("inf"), 0, 0.0)
        for _ in range(repeat):
            cpu, start = worker_cpu(client), time.perf_counter()
            rows = int(frame_of(paths).map_partitions(len).compute().sum())
            wall = time.perf_counter() - start
            best = min(best, (wall, rows, (worker_cpu(client) - cpu) / wall))
        return best


def overhead(path: Path, repeat: int) -> None:
    import dask
    from distributed import Client, LocalCluster

    import norvane.dask
    from norvane.table import read_table

    # In one process, CPU time: on a shared machine wall time mostly measures the neighbours.
    cpu = time.process_time
    plain, rows = best_of(repeat, lambda: len(read_table(str(path)).to_pandas()), cpu)
    with dask.config.set(scheduler="sync"):
        synchronous, _ = best_of(repeat, lambda: len(norvane.dask.read_table(str(path)).compute()), cpu)
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        warm_up(client)
        one_worker, _ = best_of(repeat, lambda: len(norvane.dask.read_table(str(path)).compute()))
    print(f"\n{path.name}: {rows} rows")
    print(f"  plain read_table + to_pandas   {plain:7.2f} s CPU")
    print(f"  dask, synchronous scheduler    {synchronous:7.2f} s CPU  overhead {synchronous - plain:+.2f} s "
          f"({synchronous / plain - 1:+.0%})")
    print(f"  dask, one worker process       {one_worker:7.2f} s wall  overhead {one_worker - plain:+.2f} s "
          f"({one_worker / plain - 1:+.0%})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--overhead-file", type=Path, default=DERIVED / "temp.ed4.bufr")
    args = parser.parse_args()
    paths = sorted(DERIVED.glob("*.bufr"))
    print(f"{len(paths)} files, {sum(p.stat().st_size for p in paths) / 1e6:.1f} MB, "
          f"{frame_of(paths).npartitions} partitions")
    one, rows, cores_one = on_cluster(1, args.repeat, paths)
    two, rows_two, cores_two = on_cluster(2, args.repeat, paths)
    assert rows == rows_two, (rows, rows_two)
    print(f"{rows} rows")
    print(f"  1 worker process    {one:7.2f} s  {rows / one:12,.0f} rows/s  workers busy {cores_one:.2f} cores")
    print(f"  2 worker processes  {two:7.2f} s  {rows / two:12,.0f} rows/s  workers busy {cores_two:.2f} cores")
    print(f"  scaling 1 -> 2      {one / two:7.2f}x")
    overhead(args.overhead_file, max(args.repeat, 3))


if __name__ == "__main__":
    main()
