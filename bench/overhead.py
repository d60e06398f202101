"""Cost of a ParticleSwarm fit beside a bare Python loop making the same objective calls.

    python bench/overhead.py [--dims 2] [--particles 30] [--iterations 1000] [--repeat 7]

The loop builds a fresh list for every call, as the fit's objective adapter does. A ratio at
or below 1.0 means the library adds nothing measurable beyond the objective calls. The same
fit watched by a Monitor without limits shows what watching costs.
"""

import argparse
import time

from swarmix import Monitor, ParticleSwarm


def objective(x):
    return x[0] * x[0]


def bare_loop(n_calls, dims):
    point = [0.5] * dims
    f = objective
    for _ in range(n_calls):
        f(list(point))


def best_of(repeat, fn, before=lambda: None):
    """The shortest of `repeat` timings of `fn()`, each after an untimed `before()`."""
    times = []
    for _ in range(repeat):
        before()
        start = time.process_time()  # CPU time: steadier than the clock on a shared machine
        fn()
        times.append(time.process_time() - start)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, default=2)
    ap.add_argument("--particles", type=int, default=30)
    ap.add_argument("--iterations", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=7)
    a = ap.parse_args()
    n_calls = a.particles * (1 + a.iterations) + 1
    lower, upper = [-5.0] * a.dims, [5.0] * a.dims

    def fit():
        ParticleSwarm(n_particles=a.particles, n_iterations=a.iterations, random_state=1).fit(objective, lower, upper)

    def monitored():
        ParticleSwarm(n_particles=a.particles, n_iterations=a.iterations, random_state=1).fit(
            Monitor(objective), lower, upper)

    t_fit = best_of(a.repeat, fit)
    t_monitored = best_of(a.repeat, monitored)
    t_loop = best_of(a.repeat, lambda: bare_loop(n_calls, a.dims))
    print(f"dims={a.dims} calls={n_calls}")
    print(f"fit        {t_fit * 1e3:9.2f} ms  ({t_fit / n_calls * 1e9:6.1f} ns per call)")
    print(f"bare loop  {t_loop * 1e3:9.2f} ms  ({t_loop / n_calls * 1e9:6.1f} ns per call)")
    print(f"ratio fit / loop = {t_fit / t_loop:.3f}")
    print(f"monitored  {t_monitored * 1e3:9.2f} ms  ({t_monitored / n_calls * 1e9:6.1f} ns per call): "
          f"{(t_monitored / t_fit - 1) * 100:+.1f}% over the plain fit")


if __name__ == "__main__":
    main()
