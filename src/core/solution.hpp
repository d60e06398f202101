#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace swarmix {

// One candidate. Every Solution an optimiser stores as its result has a value; a constrained
// fit's also has its constraint values (g then h) and whether they are all met.
struct Solution {
  std::vector<double> position;
  std::optional<double> value;
  std::map<std::string, std::string> metadata;
  bool feasible = true;
  std::vector<double> constraint_values = {};
};

}  // namespace swarmix
