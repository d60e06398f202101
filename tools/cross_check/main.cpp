// The core on its own, for comparing builds: every algorithm and two_opt run on fixed
// objectives, distance matrices and seeds, one output line per fit with the bit patterns of
// what the fit leaves (best value and position in full; history, population, archive and
// pheromone as a count and a digest of their bits; the number of objective calls).
//
// Two builds of the same sources that print the same lines computed the same bits. The
// inputs themselves are portable: plain arithmetic, and std::sqrt (correctly rounded
// everywhere) for the distances and ZDT1; Rastrigin's std::cos is the C library's, like the
// math inside the algorithms.
//
// Built and compared by tools/cross-check. Usage: cross_check [> out.txt]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "algorithms/ant_colony.hpp"
#include "algorithms/bacterial_foraging.hpp"
#include "algorithms/bat_algorithm.hpp"
#include "algorithms/bee_colony.hpp"
#include "algorithms/binary_particle_swarm.hpp"
#include "algorithms/bipop_cma_es.hpp"
#include "algorithms/cma_es.hpp"
#include "algorithms/cuckoo_search.hpp"
#include "algorithms/differential_evolution.hpp"
#include "algorithms/firefly.hpp"
#include "algorithms/glowworm.hpp"
#include "algorithms/grey_wolf.hpp"
#include "algorithms/mopso.hpp"
#include "algorithms/nsga2.hpp"
#include "algorithms/nsga2_sbx.hpp"
#include "algorithms/nsga3.hpp"
#include "algorithms/pareto.hpp"
#include "algorithms/particle_swarm.hpp"
#include "algorithms/permutation_genetic.hpp"
#include "algorithms/simulated_annealing.hpp"
#include "algorithms/tour.hpp"
#include "core/bounds.hpp"
#include "core/problem.hpp"

namespace {

using namespace swarmix;

constexpr std::uint64_t kSeeds[] = {0, 7, 20240917};

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

std::string hex(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// FNV-1a over 64-bit words, with each sequence's length mixed in, so that a moved boundary
// between rows changes the digest too.
class Digest {
 public:
  void add(std::uint64_t word) {
    for (int k = 0; k < 8; ++k) {
      hash_ ^= (word >> (8 * k)) & 0xffu;
      hash_ *= 0x100000001b3ull;
    }
  }
  void add(double v) { add(bits(v)); }
  void add(const std::vector<double>& values) {
    add(static_cast<std::uint64_t>(values.size()));
    for (double v : values) add(v);
  }
  std::uint64_t value() const { return hash_; }

 private:
  std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

std::string summary(const std::vector<double>& values) {
  Digest d;
  d.add(values);
  return std::to_string(values.size()) + ":" + hex(d.value());
}

std::string summary(const std::vector<std::vector<double>>& rows) {
  Digest d;
  for (const auto& row : rows) d.add(row);
  return std::to_string(rows.size()) + ":" + hex(d.value());
}

// Appends an item to a comma-separated list.
void join(std::string& list, const std::string& item) {
  if (!list.empty()) list += ',';
  list += item;
}

std::string positions(const std::vector<double>& position) {
  std::string out;
  for (double v : position) join(out, hex(bits(v)));
  return out.empty() ? "-" : out;
}

// A tour's entries are whole numbers: written as such when they are (a fraction would
// still be written in full).
std::string tour_positions(const std::vector<double>& position) {
  std::string out;
  for (double v : position) {
    const bool whole = v >= 0.0 && v < 1e9 && v == std::floor(v);
    join(out, whole ? std::to_string(static_cast<long>(v)) : hex(bits(v)));
  }
  return out.empty() ? "-" : out;
}

void print_line(const std::string& line) { std::printf("%s\n", line.c_str()); }

// ---------------------------------------------------------------- objectives

struct Objective {
  const char* name;
  double (*f)(std::span<const double>);
};

double sphere(std::span<const double> x) {
  double s = 0.0;
  for (double v : x) s = s + v * v;
  return s;
}

double rosenbrock(std::span<const double> x) {
  double s = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double a = x[i + 1] - x[i] * x[i];
    const double b = 1.0 - x[i];
    s = s + (100.0 * a * a + b * b);
  }
  return s;
}

double rastrigin(std::span<const double> x) {
  double s = 10.0 * static_cast<double>(x.size());
  for (double v : x) s = s + (v * v - 10.0 * std::cos(2.0 * 3.141592653589793 * v));
  return s;
}

const Objective kObjectives[] = {{"sphere", sphere}, {"rosenbrock", rosenbrock}, {"rastrigin", rastrigin}};

// A box around the minima, not centred on them.
Bounds box() {
  return std::get<Bounds>(Bounds::make({-5.0, -3.0, -4.0, -2.5}, {4.0, 5.0, 3.5, 6.0}));
}

// ---------------------------------------------------------------- distance matrices

// Cities on a 0.1 grid from a fixed integer sequence; Euclidean distances.
Matrix euclidean_matrix(std::size_t n) {
  std::vector<std::pair<double, double>> cities;
  std::uint32_t state = 12345u;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<double>((state >> 16) % 1000u) * 0.1;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double x = next();
    const double y = next();
    cities.emplace_back(x, y);
  }
  Matrix d(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      const double dx = cities[i].first - cities[j].first;
      const double dy = cities[i].second - cities[j].second;
      d[i][j] = std::sqrt(dx * dx + dy * dy);
    }
  return d;
}

// Whole-number distances that differ by direction.
Matrix asymmetric_matrix(std::size_t n) {
  Matrix d(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j) d[i][j] = static_cast<double>(1 + (7 * i + 3 * j * j + 5) % 23);
  return d;
}

struct NamedMatrix {
  const char* name;
  Matrix matrix;
};

std::vector<NamedMatrix> matrices() { return {{"euclid24", euclidean_matrix(24)}, {"asym10", asymmetric_matrix(10)}}; }

// ---------------------------------------------------------------- runs

std::string head(const char* algorithm, const std::string& input, std::uint64_t seed) {
  return std::string(algorithm) + " " + input + " seed=" + std::to_string(seed);
}

// What every single-objective run leaves.
std::string result_fields(const RunResult& run, const Status& status, std::size_t calls, bool tour = false) {
  if (status) return "calls=" + std::to_string(calls) + " error=" + status->display();
  const std::optional<Solution> best = run.predict();
  std::string out = "calls=" + std::to_string(calls);
  out += " value=" + (best && best->value ? hex(bits(*best->value)) : std::string("-"));
  out += (tour ? " tour=" : " position=") +
         (best ? (tour ? tour_positions(best->position) : positions(best->position)) : std::string("-"));
  out += " history=" + summary(run.record.history);
  out += " population=" + summary(run.record.population);
  return out;
}

// The restarting search's records of its runs.
std::string runs_field(const std::vector<RunSummary>& runs) {
  std::vector<std::vector<double>> rows;
  for (const RunSummary& r : runs)
    rows.push_back({static_cast<double>(r.population_size), r.sigma0, static_cast<double>(r.evaluations),
                    r.best_value, static_cast<double>(r.end)});
  return " runs=" + summary(rows);
}

// Runs one continuous algorithm on every objective and seed. `configure` sets the
// hyperparameters of a freshly built optimiser.
template <class Algorithm, class Configure>
void continuous(const char* name, Configure configure) {
  for (const Objective& objective : kObjectives) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      ContinuousProblem problem(
          objective.name,
          [&calls, f = objective.f](std::span<const double> x) {
            ++calls;
            return f(x);
          },
          box().size());
      Algorithm algorithm(box());
      configure(algorithm);
      algorithm.random_state = seed;
      const Status status = algorithm.fit(problem);
      std::string line = head(name, objective.name, seed) + " " + result_fields(algorithm, status, calls);
      if constexpr (requires { algorithm.runs; }) line += runs_field(algorithm.runs);
      print_line(line);
    }
  }
}

void continuous_runs() {
  continuous<ParticleSwarm>("ParticleSwarm", [](ParticleSwarm& a) {
    a.n_particles = 30;
    a.n_iterations = 100;
  });
  continuous<BeeColony>("BeeColony", [](BeeColony& a) {
    a.n_bees = 30;
    a.n_iterations = 100;
  });
  continuous<GreyWolfOptimizer>("GreyWolfOptimizer", [](GreyWolfOptimizer& a) {
    a.n_wolves = 20;
    a.n_iterations = 100;
  });
  continuous<FireflyOptimizer>("FireflyOptimizer", [](FireflyOptimizer& a) {
    a.n_fireflies = 20;
    a.n_iterations = 50;
  });
  continuous<CuckooSearch>("CuckooSearch", [](CuckooSearch& a) {
    a.n_nests = 25;
    a.n_iterations = 100;
  });
  continuous<BatAlgorithm>("BatAlgorithm", [](BatAlgorithm& a) {
    a.n_bats = 20;
    a.n_iterations = 100;
  });
  continuous<GlowwormOptimizer>("GlowwormOptimizer", [](GlowwormOptimizer& a) {
    a.n_worms = 20;
    a.n_iterations = 60;
    a.neighborhood_radius = 5.0;  // wide enough for the worms to move in this box
  });
  continuous<BacterialForagingOptimizer>("BacterialForagingOptimizer", [](BacterialForagingOptimizer& a) {
    a.n_bacteria = 12;
    a.n_iterations = 6;
    a.n_chemotactic_steps = 8;
    a.n_reproduction_steps = 4;
  });
  continuous<SimulatedAnnealing>("SimulatedAnnealing", [](SimulatedAnnealing& a) { a.n_iterations = 1000; });
  continuous<DifferentialEvolution>("DifferentialEvolution", [](DifferentialEvolution& a) {
    a.n_individuals = 20;
    a.n_iterations = 100;
  });
  continuous<CmaEsOptimizer>("CmaEsOptimizer", [](CmaEsOptimizer& a) {
    a.n_individuals = 12;
    a.n_iterations = 100;
  });
  continuous<BipopCmaEs>("BipopCmaEs", [](BipopCmaEs& a) { a.n_evaluations = 8000; });
  continuous<BipopCmaEs>("BipopCmaEs/integer01", [](BipopCmaEs& a) {  // the first two coordinates whole
    a.n_evaluations = 4000;
    a.integer = {true, true, false, false};
  });
}

std::string pheromone_field(const AntColony& colony) {
  if (!colony.pheromone) return " pheromone=-";
  return " pheromone=" + summary(colony.pheromone->tau);
}

void tour_runs() {
  const std::pair<const char*, AcoVariant> variants[] = {
      {"basic", AcoVariant::Basic}, {"acs", AcoVariant::Acs}, {"elitist", AcoVariant::Elitist}, {"mmas", AcoVariant::Mmas}};
  for (const NamedMatrix& m : matrices()) {
    for (const auto& [variant_name, variant] : variants) {
      for (std::uint64_t seed : kSeeds) {
        DiscreteProblem problem(m.name, m.matrix);
        AntColony colony;
        colony.n_ants = 15;
        colony.n_iterations = 25;
        colony.variant = variant;
        colony.random_state = seed;
        const Status status = colony.fit(problem);
        print_line(head("AntColony", std::string(m.name) + "/" + variant_name, seed) + " " +
                   result_fields(colony, status, 0, true) + pheromone_field(colony));
      }
    }
    // A second fit of the same colony starts from the stored best.
    for (std::uint64_t seed : kSeeds) {
      DiscreteProblem problem(m.name, m.matrix);
      AntColony colony;
      colony.n_ants = 8;
      colony.n_iterations = 6;
      colony.use_two_opt = false;
      colony.variant = AcoVariant::Elitist;
      colony.random_state = seed;
      Status status = colony.fit(problem);
      colony.random_state = seed + 1;
      if (!status) status = colony.fit(problem);
      print_line(head("AntColony", std::string(m.name) + "/elitist-refit", seed) + " " +
                 result_fields(colony, status, 0, true) + pheromone_field(colony));
    }
    for (std::uint64_t seed : kSeeds) {
      DiscreteProblem problem(m.name, m.matrix);
      PermutationGeneticOptimizer ga;
      ga.n_individuals = 30;
      ga.n_iterations = 60;
      ga.random_state = seed;
      const Status status = ga.fit(problem);
      print_line(head("PermutationGeneticOptimizer", m.name, seed) + " " + result_fields(ga, status, 0, true));
    }
  }
}

void two_opt_runs() {
  for (const NamedMatrix& m : matrices()) {
    const std::size_t n = m.matrix.size();
    std::vector<std::size_t> identity(n), strided(n);
    for (std::size_t i = 0; i < n; ++i) {
      identity[i] = i;
      strided[i] = (i * 7) % n;  // 7 is prime to both sizes: every city once
    }
    for (const auto& [start_name, start] : {std::pair{"identity", identity}, std::pair{"strided", strided}}) {
      const TwoOptOutcome outcome = two_opt(start, m.matrix);
      std::string line = "two_opt " + std::string(m.name) + "/" + start_name;
      if (const auto* error = std::get_if<OptimizationError>(&outcome)) {
        line += " error=" + error->display();
      } else {
        const auto& result = std::get<TwoOptResult>(outcome);
        std::string tour;
        for (std::size_t city : result.tour) join(tour, std::to_string(city));
        line += " length=" + hex(bits(result.length)) + " tour=" + tour;
      }
      print_line(line);
    }
  }
}

// A weighted choice of 16 items with a capacity: plain arithmetic on 0.0/1.0 entries.
double knapsack(std::span<const double> bits) {
  double value = 0.0, weight = 0.0;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    value = value + bits[i] * static_cast<double>(3 + (i * 7) % 11);
    weight = weight + bits[i] * (1.5 + 0.25 * static_cast<double>((i * 5) % 9));
  }
  return weight <= 20.0 ? -value : (weight - 20.0) * 3.0;
}

void binary_runs() {
  for (std::uint64_t seed : kSeeds) {
    std::size_t calls = 0;
    BinaryParticleSwarm swarm;
    swarm.n_particles = 20;
    swarm.n_iterations = 60;
    swarm.random_state = seed;
    const Status status = swarm.fit_with_objective(
        [&calls](std::span<const double> x) {
          ++calls;
          return knapsack(x);
        },
        16);
    print_line(head("BinaryParticleSwarm", "knapsack16", seed) + " " + result_fields(swarm, status, calls));
  }
}

struct VectorProblem {
  const char* name;
  std::vector<double> (*f)(std::span<const double>);
  std::vector<double> lower, upper;
};

std::vector<double> zdt1(std::span<const double> x) {
  double rest = 0.0;
  for (std::size_t i = 1; i < x.size(); ++i) rest = rest + x[i];
  const double g = 1.0 + 9.0 * rest / static_cast<double>(x.size() - 1);
  return {x[0], g * (1.0 - std::sqrt(x[0] / g))};
}

std::vector<double> two_goals(std::span<const double> x) {
  double a = 0.0, b = 0.0;
  for (double v : x) {
    a = a + v * v;
    b = b + (v - 1.0) * (v - 1.0);
  }
  return {a * 0.5, b * 0.5};
}

// Three objectives on the unit sphere's positive part (the first two variables place the
// point, the rest add their squared distance from 0.5).
std::vector<double> dtlz2(std::span<const double> x) {
  const double half_pi = 1.5707963267948966;
  double g = 0.0;
  for (std::size_t i = 2; i < x.size(); ++i) g = g + (x[i] - 0.5) * (x[i] - 0.5);
  const double a = x[0] * half_pi, b = x[1] * half_pi;
  return {(1.0 + g) * std::cos(a) * std::cos(b), (1.0 + g) * std::cos(a) * std::sin(b), (1.0 + g) * std::sin(a)};
}

const VectorProblem kVectorProblems[] = {
    {"zdt1", zdt1, {0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0}},
    {"two_goals", two_goals, {-1.0, -0.5}, {2.0, 1.5}},
};

template <class Algorithm>
std::string archive_fields(const Algorithm& a, const Status& status, std::size_t calls) {
  if (status) return "calls=" + std::to_string(calls) + " error=" + status->display();
  Digest positions, objectives;
  for (const ParetoPoint& p : a.archive) {
    positions.add(p.position);
    objectives.add(p.objectives);
  }
  std::string out = "calls=" + std::to_string(calls);
  out += " archive=" + std::to_string(a.archive.size()) + ":" + hex(positions.value()) + ":" + hex(objectives.value());
  out += " hypervolume=" + hex(bits(hypervolume_2d(a.archive, 1.0, 1.0)));
  out += " population=" + summary(a.population);
  return out;
}

template <class Algorithm, class Configure>
void multi(const char* name, Configure configure) {
  for (const VectorProblem& problem : kVectorProblems) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      Algorithm algorithm(std::get<Bounds>(Bounds::make(problem.lower, problem.upper)));
      configure(algorithm);
      algorithm.random_state = seed;
      const Status status = algorithm.fit_with_objective([&calls, f = problem.f](std::span<const double> x) {
        ++calls;
        return f(x);
      });
      print_line(head(name, problem.name, seed) + " " + archive_fields(algorithm, status, calls));
    }
  }
}

// What a genetic multi-objective search leaves: its first front, its population with the
// values, the history and the exact hypervolume of the front against `reference` in each of its
// m objectives; in a constrained fit also the front's constraint values and violations.
template <class Search>
std::string front_fields(const Search& nsga, std::size_t m, double reference = 4.0) {
  Digest positions, objectives, constraints;
  std::vector<std::vector<double>> values;
  std::vector<double> violations;
  for (const ParetoPoint& p : nsga.front) {
    positions.add(p.position);
    objectives.add(p.objectives);
    values.push_back(p.objectives);
    constraints.add(p.constraint_values);
    violations.push_back(p.violation);
  }
  std::string out = " front=" + std::to_string(nsga.front.size()) + ":" + hex(positions.value()) + ":" +
                    hex(objectives.value());
  out += " hypervolume=" + hex(bits(hypervolume(values, std::vector<double>(m, reference))));
  out += " population=" + summary(nsga.population) + " values=" + summary(nsga.population_values);
  out += " history=" + summary(nsga.history);
  if (nsga.constraints.any()) out += " constraints=" + hex(constraints.value()) + " violations=" + summary(violations);
  return out;
}

// Nsga2Sbx: its first front, its population with the values, the history and the exact
// hypervolume of the front against a fixed reference.
void nsga2_sbx_runs() {
  const VectorProblem problems[] = {
      kVectorProblems[0], kVectorProblems[1], {"dtlz2", dtlz2, {0.0, 0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0, 1.0}}};
  for (const VectorProblem& problem : problems) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      Nsga2Sbx nsga(std::get<Bounds>(Bounds::make(problem.lower, problem.upper)));
      nsga.n_individuals = 30;
      nsga.n_iterations = 40;
      if (seed % 2 == 1) nsga.mutation_rate = 0.5;
      nsga.random_state = seed;
      FunctionVectorProblem counted(
          [&calls, f = problem.f](std::span<const double> x) {
            ++calls;
            return f(x);
          },
          problem.lower.size());
      const Status status = nsga.fit(counted);
      std::string line = head("Nsga2Sbx", problem.name, seed) + " calls=" + std::to_string(calls);
      if (status) {
        print_line(line + " error=" + status->display());
        continue;
      }
      print_line(line + front_fields(nsga, nsga.front.empty() ? 0 : nsga.front[0].objectives.size()));
    }
  }
}

// DTLZ2 with five objectives: four variables place the point, the rest add their squared
// distance from 0.5.
std::vector<double> dtlz2_five(std::span<const double> x) {
  const double half_pi = 1.5707963267948966;
  double g = 0.0;
  for (std::size_t i = 4; i < x.size(); ++i) g = g + (x[i] - 0.5) * (x[i] - 0.5);
  std::vector<double> f(5, 1.0 + g);
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = 0; j + i < 4; ++j) f[i] = f[i] * std::cos(x[j] * half_pi);
    if (i > 0) f[i] = f[i] * std::sin(x[4 - i] * half_pi);
  }
  return f;
}

// Nsga3: its first front, its population with the values, the history and the exact
// hypervolume of the front against a fixed reference; the default directions for three and
// five objectives, eleven given ones for two.
void nsga3_runs() {
  struct Case {
    VectorProblem problem;
    std::size_t objectives, iterations;
  };
  const Case cases[] = {
      {kVectorProblems[1], 2, 40},
      {{"dtlz2", dtlz2, {0.0, 0.0, 0.0, 0.0, 0.0}, {1.0, 1.0, 1.0, 1.0, 1.0}}, 3, 30},
      {{"dtlz2_five", dtlz2_five, std::vector<double>(8, 0.0), std::vector<double>(8, 1.0)}, 5, 8}};
  for (const Case& c : cases) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      Nsga3 nsga(std::get<Bounds>(Bounds::make(c.problem.lower, c.problem.upper)), c.objectives);
      nsga.n_iterations = c.iterations;
      if (c.objectives == 2) nsga.reference_directions = simplex_lattice(2, 10);
      if (seed % 2 == 1) nsga.mutation_rate = 0.5;
      nsga.random_state = seed;
      FunctionVectorProblem counted(
          [&calls, f = c.problem.f](std::span<const double> x) {
            ++calls;
            return f(x);
          },
          c.problem.lower.size());
      const Status status = nsga.fit(counted);
      std::string line = head("Nsga3", c.problem.name, seed) + " calls=" + std::to_string(calls);
      if (status) {
        print_line(line + " error=" + status->display());
        continue;
      }
      print_line(line + front_fields(nsga, c.objectives));
    }
  }
}

void multi_runs() {
  multi<Nsga2Optimizer>("Nsga2Optimizer", [](Nsga2Optimizer& a) {
    a.n_individuals = 30;
    a.n_iterations = 60;
    a.archive_size = 20;
  });
  multi<MopsoOptimizer>("MopsoOptimizer", [](MopsoOptimizer& a) {
    a.n_particles = 30;
    a.n_iterations = 60;
    a.archive_size = 20;
  });
}

}  // namespace

// Constraints and integer coordinates: DifferentialEvolution with rows [value, g1, g2, h] of
// a sphere kept outside the unit disc, below a plane and on a line, with integer coordinates,
// and with both, and BipopCmaEs with those rows; the constraint values of the best point too.
std::vector<double> ringed(std::span<const double> x) {
  return {sphere(x), 1.0 - (x[0] * x[0] + x[1] * x[1]), x[2] + x[3] - 1.0, x[0] - 2.0 * x[1]};
}

// Whether the best point is feasible, and its constraint values.
std::string constraint_fields(const RunResult& run, const Status& status) {
  if (status || !run.predict()) return "";
  return std::string(" feasible=") + (run.predict()->feasible ? "1" : "0") +
         " constraints=" + positions(run.predict()->constraint_values);
}

void constrained_runs() {
  struct Setting {
    const char* name;
    bool constrained;
    std::vector<bool> integer;
  };
  const Setting settings[] = {{"ringed", true, {}},
                              {"sphere/integer01", false, {true, true, false, false}},
                              {"ringed/integer01", true, {true, true, false, false}}};
  for (const Setting& setting : settings) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      DifferentialEvolution de(box());
      de.n_individuals = 20;
      de.n_iterations = 100;
      de.random_state = seed;
      de.integer = setting.integer;
      Status status;
      if (setting.constrained) {
        de.constraints = {2, 1};
        FunctionVectorProblem rows(
            [&calls](std::span<const double> x) {
              ++calls;
              return ringed(x);
            },
            box().size());
        status = de.fit(rows);
      } else {
        ContinuousProblem problem(
            "sphere",
            [&calls](std::span<const double> x) {
              ++calls;
              return sphere(x);
            },
            box().size());
        status = de.fit(problem);
      }
      print_line(head("DifferentialEvolution", setting.name, seed) + " " + result_fields(de, status, calls) +
                 constraint_fields(de, status));
    }
  }
  // BipopCmaEs on the same rows: its augmented Lagrangian ranks them, Deb's order keeps the best.
  for (std::uint64_t seed : kSeeds) {
    std::size_t calls = 0;
    BipopCmaEs search(box());
    search.n_evaluations = 3000;
    search.random_state = seed;
    search.constraints = {2, 1};
    FunctionVectorProblem rows(
        [&calls](std::span<const double> x) {
          ++calls;
          return ringed(x);
        },
        box().size());
    const Status status = search.fit(rows);
    print_line(head("BipopCmaEs", "ringed", seed) + " " + result_fields(search, status, calls) +
               constraint_fields(search, status) + runs_field(search.runs));
  }
}

// Constraints and integer coordinates in Nsga2Sbx and Nsga3: rows [f1, f2, g1, g2, h] (two
// objectives of the box's sphere and a shifted one, outside the unit disc, below a plane and on
// a line), with integer coordinates, and with both.
std::vector<double> ringed_two(std::span<const double> x) {
  std::vector<double> shifted(x.begin(), x.end());
  shifted[0] -= 1.0;
  shifted[1] -= 1.0;
  std::vector<double> row = ringed(x);
  row.insert(row.begin() + 1, sphere(shifted));
  return row;
}

void constrained_multi_runs() {
  struct Setting {
    const char* name;
    bool constrained;
    std::vector<bool> integer;
  };
  const Setting settings[] = {{"ringed_two", true, {}},
                              {"two_spheres/integer01", false, {true, true, false, false}},
                              {"ringed_two/integer01", true, {true, true, false, false}}};
  for (const Setting& setting : settings) {
    for (std::uint64_t seed : kSeeds) {
      std::size_t calls = 0;
      FunctionVectorProblem counted(
          [&calls, &setting](std::span<const double> x) {
            ++calls;
            std::vector<double> row = ringed_two(x);
            if (!setting.constrained) row.resize(2);
            return row;
          },
          box().size());
      auto run = [&](auto& nsga, const char* name) {
        nsga.n_iterations = 30;
        nsga.random_state = seed;
        nsga.integer = setting.integer;
        if (setting.constrained) nsga.constraints = {2, 1};
        calls = 0;
        const Status status = nsga.fit(counted);
        const std::string line = head(name, setting.name, seed) + " calls=" + std::to_string(calls);
        print_line(status ? line + " error=" + status->display() : line + front_fields(nsga, 2, 40.0));
      };
      Nsga2Sbx nsga2(box());
      nsga2.n_individuals = 20;
      run(nsga2, "Nsga2Sbx");
      Nsga3 nsga3(box(), 2);
      nsga3.reference_directions = simplex_lattice(2, 10);
      run(nsga3, "Nsga3");
    }
  }
}

int main() {
  continuous_runs();
  constrained_runs();
  tour_runs();
  two_opt_runs();
  binary_runs();
  multi_runs();
  nsga2_sbx_runs();
  nsga3_runs();
  constrained_multi_runs();
  return std::fflush(stdout) == 0 ? 0 : 1;
}
