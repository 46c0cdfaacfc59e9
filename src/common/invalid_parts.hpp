// Why the parts an index was to be rebuilt from do not fit together.
#pragma once

#include <string>

namespace halqen {

// What is inconsistent, with the numbers that matter.
struct InvalidParts {
  std::string reason;
};

}  // namespace halqen
