#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "algorithms/ant_colony.hpp"
#include "algorithms/tour.hpp"
#include "bindings/registry.hpp"

namespace swarmix::py {

namespace {

const char* const variant_names[] = {"basic", "acs", "elitist", "mmas", nullptr};

// The object's one core record, kept for its whole life: pheromone and stored best carry
// over from fit to fit (a failed fit works on a copy and leaves them as they were).
struct ColonyRecord final : Persistent {
  AntColony colony;
  std::unique_ptr<Persistent> clone() const override { return std::make_unique<ColonyRecord>(*this); }
  std::vector<double> save() const override;
  bool agrees_with(const Fitted& f) const override;
};

// Every fit that leaves a stored best also reports it: the object shows the same tour.
bool ColonyRecord::agrees_with(const Fitted& f) const {
  const std::optional<Solution> best = colony.predict();
  if (!best) return true;
  return f.best_value && best->value && std::bit_cast<std::uint64_t>(*f.best_value) ==
                                            std::bit_cast<std::uint64_t>(*best->value) &&
         f.best_position && *f.best_position == best->position;
}

// Saved as numbers: [pheromone present, size, tau...] [best present, value, length,
// position..., metadata entries, (key, value) texts as length and character codes].
void put_text(std::vector<double>& out, const std::string& text) {
  out.push_back(static_cast<double>(text.size()));
  for (unsigned char c : text) out.push_back(c);
}

std::vector<double> ColonyRecord::save() const {
  std::vector<double> out;
  const auto& pheromone = colony.pheromone;
  out.push_back(pheromone ? 1.0 : 0.0);
  if (pheromone) {
    out.push_back(static_cast<double>(pheromone->size));
    out.insert(out.end(), pheromone->tau.begin(), pheromone->tau.end());
  }
  const std::optional<Solution> best = colony.predict();
  out.push_back(best ? 1.0 : 0.0);
  if (best) {
    out.push_back(best->value.value_or(0.0));
    out.push_back(static_cast<double>(best->position.size()));
    out.insert(out.end(), best->position.begin(), best->position.end());
    out.push_back(static_cast<double>(best->metadata.size()));
    for (const auto& [key, value] : best->metadata) {
      put_text(out, key);
      put_text(out, value);
    }
  }
  return out;
}

// Reads what save() wrote; null on anything malformed: a count that is not a whole number
// or runs past the end, an empty pheromone matrix, a stored best whose tour is not a
// permutation of the cities (of as many cities as the pheromone matrix has rows), or
// numbers left over.
std::unique_ptr<Persistent> load(std::span<const double> in) {
  std::size_t at = 0;
  // A whole number in [0, limit], written as save() writes it (not -0).
  auto whole = [](double v, double limit) { return v >= 0.0 && v <= limit && v == std::floor(v) && !std::signbit(v); };
  auto count = [&](std::size_t limit, std::size_t& n) {
    if (at >= in.size() || !whole(in[at], static_cast<double>(limit))) return false;
    n = static_cast<std::size_t>(in[at++]);
    return true;
  };
  auto text = [&](std::string& s) {
    std::size_t n;
    if (!count(in.size(), n) || n > in.size() - at) return false;
    for (std::size_t i = 0; i < n; ++i, ++at) {
      if (!whole(in[at], 255.0)) return false;
      s.push_back(static_cast<char>(static_cast<unsigned char>(in[at])));
    }
    return true;
  };
  auto record = std::make_unique<ColonyRecord>();
  std::size_t flag, n;
  if (!count(1, flag)) return nullptr;
  if (flag) {
    if (!count(in.size(), n) || n == 0 || n > (in.size() - at) / n) return nullptr;
    AntColony::Pheromone pheromone{n, std::vector<double>(in.begin() + at, in.begin() + at + n * n)};
    at += n * n;
    record->colony.pheromone = std::move(pheromone);
  }
  if (!count(1, flag)) return nullptr;
  if (flag) {
    Solution best;
    if (at >= in.size()) return nullptr;
    best.value = in[at++];
    if (!count(in.size(), n) || n > in.size() - at) return nullptr;
    best.position.assign(in.begin() + at, in.begin() + at + n);
    at += n;
    const auto& pheromone = record->colony.pheromone;
    if (!is_city_permutation(best.position) || (pheromone && pheromone->size != n)) return nullptr;
    if (!count(in.size(), n)) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      std::string key, value;
      if (!text(key) || !text(value)) return nullptr;
      best.metadata[key] = value;
    }
    record->colony.restore(std::move(best));
  }
  if (at != in.size()) return nullptr;
  return record;
}

Status run(const Params& p, FitInput& in, Fitted& out) {
  if (!out.persistent) out.persistent = std::make_unique<ColonyRecord>();
  auto* record = dynamic_cast<ColonyRecord*>(out.persistent.get());
  if (!record) throw InternalError("AntColony holds the state of another class");
  AntColony& aco = record->colony;
  p.apply(aco, in.common);
  if (auto error = aco.fit(*in.problem)) return error;
  out.take_best(aco.predict(), true);
  return std::nullopt;
}

}  // namespace

const ClassSpec ant_colony_spec = {
    .name = "AntColony",
    .doc = "Ant Colony Optimization for discrete problems (e.g. TSP).\n\n"
           "Exposed to Python as `swarmix._swarmix.AntColony`.",
    .params = {param("n_ants", &AntColonyParams::n_ants),
               param("n_iterations", &AntColonyParams::n_iterations),
               param("alpha", &AntColonyParams::alpha),
               param("beta", &AntColonyParams::beta),
               param("rho", &AntColonyParams::rho),
               param("q", &AntColonyParams::q),
               param("use_two_opt", &AntColonyParams::use_two_opt).unlisted(),
               param("variant", &AntColonyParams::variant, variant_names).unlisted(),
               param("q0", &AntColonyParams::q0).unlisted(),
               param("elitist_weight", &AntColonyParams::elitist_weight).unlisted(),
               param("tau_min", &AntColonyParams::tau_min).unlisted(),
               param("tau_max", &AntColonyParams::tau_max).unlisted()},
    .fit_kind = FitKind::Tour,
    .run = run,
    .fit_doc = "Fit the colony to a square distance matrix and search for a short tour.",
    .predict_doc = "Return the best tour found as a list of city indices.",
    .score_doc = "Return the length of the best tour found.",
    .get_params_doc = "Return the algorithm's hyperparameters.",
    .repr = true,
    .single_entry = true,
    .load_persistent = load,
    .start = {"n_ants"},
};

}  // namespace swarmix::py
