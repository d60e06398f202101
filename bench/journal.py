"""Cost of a journal: recording a fit (sync="none") and replaying a finished one, beside the plain fit;
reading large journals, and repairing crafted damaged ones.

    python bench/journal.py [--dims 10] [--iterations 300] [--repeat 5] [--large] [--crafted]

The objective is trivial (one multiplication), so the ratios show the journal's whole cost;
for an objective that takes milliseconds or more it is negligible. ``--large`` writes
journals of 20,000, 40,000 and 80,000 evaluations of a 10-D DifferentialEvolution (one
record per group, about 1.8, 3.6 and 7.1 MB) and times reading each and replaying the
largest against its plain fit. ``--crafted`` times the repair of files crafted to make the
search for intact records after damage costly (0.2 and 2 MB). Times are
process (CPU) times.
"""

import argparse
import os
import struct
import tempfile
import time
import warnings

from swarmix import DifferentialEvolution, GreyWolfOptimizer, ParticleSwarm, journaled, read_journal, vectorized
from swarmix import _journal_cli as cli, _journal_format as fmt


def objective(x):
    return x[0] * x[0]


def cpu(fn):
    start = time.process_time()
    fn()
    return time.process_time() - start


def best_of(repeat, fn, before=lambda: None):
    """The shortest process time of `repeat` runs of `fn()`, each after an untimed `before()`."""
    times = []
    for _ in range(repeat):
        before()
        times.append(cpu(fn))
    return min(times)


def small(a, path):
    lower, upper = [-5.0] * a.dims, [5.0] * a.dims

    def remove():
        if os.path.exists(path):
            os.unlink(path)

    print(f"{'class':<24}{'plain':>10}{'recording':>12}{'replaying':>12}  (ms; ratio to plain)")
    for cls in (GreyWolfOptimizer, DifferentialEvolution, ParticleSwarm):
        def fit(objective):
            return lambda: cls(n_iterations=a.iterations, random_state=1).fit(objective, lower, upper)

        plain = best_of(a.repeat, fit(objective))
        recording = best_of(a.repeat, fit(journaled(objective, path, sync="none")), before=remove)
        replaying = best_of(a.repeat, fit(journaled(objective, path, sync="none")))
        print(f"{cls.__name__:<24}{plain * 1e3:10.1f}{recording * 1e3:8.1f} {recording / plain:3.1f}x"
              f"{replaying * 1e3:8.1f} {replaying / plain:3.1f}x")
    remove()


def large(a, folder):
    lower, upper = [-5.0] * 10, [5.0] * 10

    def de(evaluations):
        return DifferentialEvolution(n_individuals=40, n_iterations=evaluations // 40 - 1, random_state=1)

    group = vectorized(lambda X: X[:, 0] * X[:, 0])  # recorded by the Python session: one record per group
    print(f"{'evaluations':>12}{'MB':>7}{'frames':>8}{'read (s)':>10}")
    for n in (20_000, 40_000, 80_000):
        path = os.path.join(folder, f"large-{n}.swj")
        de(n).fit(journaled(group, path, sync="none"), lower, upper)
        frames = len(read_journal_frames(path))
        read = best_of(a.repeat, lambda: read_journal(path))
        print(f"{n:>12}{os.path.getsize(path) / 1e6:7.2f}{frames:>8}{read:10.3f}")
    plain = best_of(a.repeat, lambda: de(80_000).fit(objective, lower, upper))
    replay = best_of(a.repeat, lambda: de(80_000).fit(journaled(objective, path), lower, upper))
    print(f"replay of the 80,000-evaluation journal: {replay:.3f} s, plain fit {plain:.3f} s ({replay / plain:.1f}x)")


def read_journal_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    at, frames = len(fmt.PREAMBLE), []
    while at < len(data):
        length, _ = fmt.FRAME.unpack_from(data, at)
        frames.append(at)
        at += fmt.FRAME.size + length
    return frames


def crafted(size, header, kind):
    """``header`` (of a 1-D scalar fit), a damaged frame, then frame headers of ``kind`` whose
    lengths reach the end of the file and whose checksums fail. Of kind R, one every 16 bytes,
    each a whole number of rows: a search for intact frames after the damage that checksummed
    each would cover the file's size squared over 32 bytes. Of kind E, one every 12 bytes, each
    claiming more evaluations than it holds: the most candidates that need no checksum."""
    unit = 16 if kind == b"R" else 12
    units = (size - len(header)) // unit
    body = b"".join(fmt.FRAME.pack((units - i) * unit + 1 - fmt.FRAME.size, 0) + kind + bytes(unit - 9)
                    for i in range(units))
    return header + fmt.FRAME.pack(1 << 30, 1) + body + b"\1"


def reversed_group(header, count):
    """``header`` (of a 1-D scalar fit), evaluation 0, a group of ``count`` evaluations stated,
    then its records one evaluation each, last first: the most out-of-order records a file of
    that size holds."""
    def record(i):
        return fmt.frame(fmt.EVALUATIONS.pack(b"E", i, 1) + bytes([fmt.NUMBER]) + struct.pack("<dd", 0.5, 1.0))
    return b"".join([header, record(0), fmt.frame(fmt.GROUP.pack(b"G", 1, count))] +
                    [record(i) for i in range(count, 0, -1)])


def crafted_repairs(a, folder):
    path = os.path.join(folder, "header.swj")
    ParticleSwarm(n_particles=2, n_iterations=1, random_state=1).fit(journaled(objective, path), [0.0], [1.0])
    data = open(path, "rb").read()
    header = data[:fmt.FRAME.size + len(fmt.PREAMBLE) + fmt.FRAME.unpack_from(data, len(fmt.PREAMBLE))[0]]
    for kind in (b"R", b"E"):
        for size in (200_000, 2_000_000):
            bad = os.path.join(folder, f"crafted-{size}.swj")
            with open(bad, "wb") as f:
                f.write(crafted(size, header, kind))
            out = os.path.join(folder, "repaired.swj")

            def repair():
                if os.path.exists(out):
                    os.unlink(out)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    cli.repair(bad, out)
            print(f"repair of a crafted {size / 1e6:.1f} MB file ({kind.decode()} frames): {best_of(a.repeat, repair):.3f} s")
    for count in (40_000, 160_000):
        bad = os.path.join(folder, f"reversed-{count}.swj")
        with open(bad, "wb") as f:
            f.write(reversed_group(header, count))
        seconds = best_of(a.repeat, lambda: read_journal(bad))
        print(f"read of a {os.path.getsize(bad) / 1e6:.1f} MB journal whose {count} records come last first: {seconds:.3f} s")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, default=10)
    ap.add_argument("--iterations", type=int, default=300)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--large", action="store_true", help="read and replay journals of up to 80,000 evaluations")
    ap.add_argument("--crafted", action="store_true", help="repair crafted damaged files of 0.2 and 2 MB")
    a = ap.parse_args()
    folder = tempfile.mkdtemp()
    if not (a.large or a.crafted):
        small(a, os.path.join(folder, "bench.swj"))
    if a.large:
        large(a, folder)
    if a.crafted:
        crafted_repairs(a, folder)


if __name__ == "__main__":
    main()
