#include "algorithms/ant_colony.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "algorithms/tour.hpp"
#include "core/interrupt.hpp"
#include "core/numeric.hpp"

namespace swarmix {

namespace {

// The working state of one fit: the weight table of the current pheromone and the buffers
// of one ant, allocated once.
class Colony {
 public:
  Colony(const AntColony& params, std::size_t n, const Matrix* distances, AntColony::Pheromone* pheromone)
      : p_(params), n_(n), d_(distances), pheromone_(pheromone) {
    if (d_ && pheromone_) {
      if (pheromone_->size != n_ || d_->size() != n_ || validate_distance_matrix(*d_))
        throw InternalError("the distance matrix and the pheromone matrix do not match the problem");
      weight_.resize(checked_mul(n_, n_));
      visited_.resize(n_);
      cand_city_.resize(n_);
      cand_weight_.resize(n_);
    }
  }

  // weight[c][j] = pow(tau[c][j], alpha) * pow(1 / d', beta), d' = d when d > 1e-10, else
  // 1e-10. The pheromone only changes between iterations, so every step of every ant of
  // one iteration reads the same table.
  void refresh_weights() {
    if (weight_.empty()) return;
    const double* tau = pheromone_->tau.data();
    for (std::size_t c = 0; c < n_; ++c) {
      const double* row = (*d_)[c].data();
      double* w = &weight_[c * n_];
      for (std::size_t j = 0; j < n_; ++j) {
        const double d = row[j];
        const double floored = d > 1e-10 ? d : 1e-10;
        w[j] = std::pow(tau[c * n_ + j], p_.alpha) * std::pow(1.0 / floored, p_.beta);
      }
    }
  }

  void build_tour(StdRng& rng, std::vector<std::size_t>& tour) {
    tour.clear();
    if (weight_.empty()) {  // not a tour problem: the cities in order, no draw
      for (std::size_t c = 0; c < n_; ++c) tour.push_back(c);
      return;
    }
    std::fill(visited_.begin(), visited_.end(), 0);
    const std::size_t start = static_cast<std::size_t>(rng.index(n_));
    tour.push_back(start);
    visited_[start] = 1;
    while (tour.size() < n_) {
      const double* w = &weight_[tour.back() * n_];
      std::size_t k = 0;
      double total = 0.0;
      for (std::size_t j = 0; j < n_; ++j) {
        if (visited_[j]) continue;
        cand_city_[k] = j;
        cand_weight_[k] = w[j];
        total += w[j];
        ++k;
      }
      const std::size_t next = cand_city_[choose(rng, k, total)];
      tour.push_back(next);
      visited_[next] = 1;
    }
  }

 private:
  std::size_t choose(StdRng& rng, std::size_t k, double total) {
    if (!(std::isfinite(total) && total > 0.0)) return static_cast<std::size_t>(rng.index(k));
    if (p_.variant == AcoVariant::Acs) {
      const double u = rng.u01();
      if (u < p_.q0) {
        // The largest weight; among equal weights the last candidate.
        std::size_t pick = 0;
        for (std::size_t x = 1; x < k; ++x)
          if (!(cand_weight_[x] < cand_weight_[pick])) pick = x;
        return pick;
      }
    }
    const double r = total * rng.u01();
    double running = 0.0;
    for (std::size_t x = 0; x < k; ++x) {
      running += cand_weight_[x];
      if (running >= r) return x;
    }
    return k - 1;
  }

  const AntColony& p_;
  std::size_t n_;
  const Matrix* d_;
  AntColony::Pheromone* pheromone_;
  std::vector<double> weight_;
  std::vector<unsigned char> visited_;
  std::vector<std::size_t> cand_city_;
  std::vector<double> cand_weight_;
};

// tau[a][b] += delta, then tau[b][a] += delta, for every edge of the closed tour.
void deposit(AntColony::Pheromone& ph, const std::size_t* tour, std::size_t length, double delta) {
  const std::size_t m = ph.size;
  for (std::size_t k = 0; k < length; ++k) {
    const std::size_t a = tour[k], b = tour[k + 1 == length ? 0 : k + 1];
    if (a >= m || b >= m) throw InternalError("a deposited tour leaves the pheromone matrix");
    ph.tau[a * m + b] += delta;
    ph.tau[b * m + a] += delta;
  }
}

}  // namespace

Status AntColony::fit(Problem& problem) {
  const std::size_t n = problem.dimensions();
  if (n == 0) return OptimizationError::invalid_input("Problem must have at least one dimension");
  // A tour of another problem must never be deposited or reported.
  if (best_ && best_->position.size() != n) best_.reset();
  if (problem.is_discrete()) {
    pheromone = Pheromone{n, std::vector<double>(checked_mul(n, n), 1.0 / static_cast<double>(n))};
  }
  StdRng rng = StdRng::from_seed(random_state);
  if (n_iterations == 0) return std::nullopt;

  // A DiscreteProblem's matrix is fixed for its whole life, so it is read once.
  const Matrix* d = problem.distance_matrix();
  Colony colony(*this, n, d, pheromone ? &*pheromone : nullptr);
  // What 2-opt learns about the matrix, once for the whole fit.
  std::optional<TwoOptIndex> index;
  if (use_two_opt && d && n >= 4 && n_ants > 0) index.emplace(*d);
  const bool keep_ants = variant != AcoVariant::Acs;
  std::vector<std::size_t> tour;
  tour.reserve(n);
  std::vector<double> position;
  position.reserve(n);
  std::vector<std::size_t> ant_tours;  // this iteration's tours, n entries each
  std::vector<double> ant_values;
  double best_value = std::numeric_limits<double>::infinity();
  if (keep_ants && n_iterations > 0) {  // an impossible colony fails here, not after filling memory
    ant_tours.reserve(checked_mul(n_ants, n));
    ant_values.reserve(n_ants);
  }

  for (std::size_t t = 0; t < n_iterations; ++t) {
    interruption_point();
    if (n_ants > 0) colony.refresh_weights();
    ant_tours.clear();
    ant_values.clear();
    for (std::size_t ant = 0; ant < n_ants; ++ant) {
      colony.build_tour(rng, tour);
      // The first ants of the first iteration take the given tours, after drawing their own
      // (so the other ants' draws stay aligned); a given tour goes on like a built one.
      if (t == 0 && ant < initial.size()) {
        if (initial[ant].size() != n) throw InternalError("a given tour does not visit every city");
        tour.clear();
        for (double v : initial[ant]) tour.push_back(to_city_index(v));
      }
      if (use_two_opt && d && tour.size() >= 4) {
        TwoOptOutcome improved = index ? two_opt(tour, *d, *index) : two_opt(tour, *d);
        if (auto* result = std::get_if<TwoOptResult>(&improved)) tour = std::move(result->tour);
      }
      position.assign(tour.begin(), tour.end());
      const double value = problem.evaluate(position);
      if (value < best_value) {
        best_value = value;
        best_ = Solution{position, value, {{"iteration", std::to_string(t)}}, true};
      }
      if (keep_ants) {
        if (tour.size() != n) throw InternalError("an ant's tour does not visit every city");
        ant_tours.insert(ant_tours.end(), tour.begin(), tour.end());
        ant_values.push_back(value);
      }
    }

    if (!pheromone) continue;
    Pheromone& ph = *pheromone;
    const double keep = 1.0 - rho;
    for (double& tau : ph.tau) tau = tau * keep;
    if (keep_ants && n > 0) {
      for (std::size_t a = 0; a < ant_values.size(); ++a) {
        if (ant_values[a] > 0.0) deposit(ph, &ant_tours[a * n], n, q / ant_values[a]);
      }
    }
    if (variant != AcoVariant::Basic && best_ && best_->value && *best_->value > 0.0 && !best_->position.empty()) {
      std::vector<std::size_t> best_tour;
      best_tour.reserve(best_->position.size());
      for (double v : best_->position) best_tour.push_back(to_city_index(v));
      deposit(ph, best_tour.data(), best_tour.size(), (q * elitist_weight) / *best_->value);
    }
    if (variant == AcoVariant::Mmas) {
      for (double& tau : ph.tau) tau = nan_min(nan_max(tau, tau_min), tau_max);
    }
  }
  return std::nullopt;
}

}  // namespace swarmix
