#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace swarmix {

// One candidate. Every Solution an optimiser stores as its result has a value.
struct Solution {
  std::vector<double> position;
  std::optional<double> value;
  std::map<std::string, std::string> metadata;
  bool feasible = true;
};

}  // namespace swarmix
