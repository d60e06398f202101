#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "algorithms/base.hpp"

namespace swarmix {

enum class AcoVariant : std::uint8_t { Basic = 0, Acs = 1, Elitist = 2, Mmas = 3 };

// AntColony's hyperparameters: field = Python keyword name, initialiser = default.
struct AntColonyParams {
  std::size_t n_ants = 50;
  std::size_t n_iterations = 100;
  double alpha = 1.0;
  double beta = 2.0;
  double rho = 0.5;
  double q = 1.0;
  bool use_two_opt = true;
  AcoVariant variant = AcoVariant::Basic;
  double q0 = 0.9;
  double elitist_weight = 2.0;
  double tau_min = 1e-4;
  double tau_max = 10.0;
};

// Ant colony over a distance matrix. Ants build tours city by city with weights
// tau^alpha * (1/d)^beta (optionally polished by 2-opt); after each iteration the pheromone
// evaporates and receives deposits (who deposits depends on the variant).
//
// The record is long-lived: the pheromone matrix and the stored best survive from one fit to
// the next. The pheromone is rebuilt at every fit on a tour problem; the stored best is kept
// (the first ant of a later fit with a value below +inf replaces it) unless the new problem
// has a different number of cities, in which case it is dropped at the start of the fit.
// Given tours (`initial`) replace those of the first ants of the first iteration.
class AntColony final : public Optimizer, public AntColonyParams, public SearchSettings {
 public:
  using Hyperparameters = AntColonyParams;
  // tau[a * size + b] for the edge from city a to city b.
  struct Pheromone {
    std::size_t size = 0;
    std::vector<double> tau;
  };
  std::optional<Pheromone> pheromone;

  Status fit(Problem& problem) override;
};

}  // namespace swarmix
