// Deterministic inputs for graph tests.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "common/search_hit.hpp"
#include "metadata/metadata.hpp"
#include "random/random.hpp"

namespace halqen::testing {

// SplitMix64: a reproducible stream for level draws.
class SplitMixSource final : public RandomSource {
 public:
  explicit SplitMixSource(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next_u64() override {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

// Returns the queued words in order, then `fallback` forever; counts draws.
class ScriptedSource final : public RandomSource {
 public:
  explicit ScriptedSource(std::deque<std::uint64_t> words, std::uint64_t fallback = 0)
      : words_(std::move(words)), fallback_(fallback) {}
  std::uint64_t next_u64() override {
    ++draws;
    if (words_.empty()) {
      return fallback_;
    }
    const std::uint64_t word = words_.front();
    words_.pop_front();
    return word;
  }
  std::uint64_t draws = 0;

 private:
  std::deque<std::uint64_t> words_;
  std::uint64_t fallback_;
};

// The word whose uniform double lands in the middle of `level`'s share of the
// draw (weights e^-j below `layers`).
inline std::uint64_t word_for_level(std::uint64_t layers, std::uint64_t level) {
  double total = 0.0;
  double below = 0.0;
  double through = 0.0;
  for (std::uint64_t j = 0; j < layers; ++j) {
    total += std::exp(-static_cast<double>(j));
    if (j < level) {
      below = total;
    }
    if (j == level) {
      through = total;
    }
  }
  const double unit = (below + through) / 2.0 / total;
  return static_cast<std::uint64_t>(unit * 0x1.0p53) << 11;
}

// Draws levels only from `levels`, chosen by a seeded engine.
class LevelScriptSource final : public RandomSource {
 public:
  LevelScriptSource(std::uint64_t layers, std::vector<std::uint64_t> levels, std::uint64_t seed)
      : layers_(layers), levels_(std::move(levels)), engine_(seed) {}
  std::uint64_t next_u64() override {
    return word_for_level(layers_, levels_[engine_() % levels_.size()]);
  }

 private:
  std::uint64_t layers_;
  std::vector<std::uint64_t> levels_;
  std::mt19937_64 engine_;
};

enum class DataKind { Real, SmallIntegers, WithNaN, WithZeros };

inline double real_in(std::mt19937_64& engine, double low, double high) {
  const double unit = static_cast<double>(engine() >> 11) * 0x1.0p-53;
  return low + (high - low) * unit;
}

inline std::vector<double> make_vector(std::mt19937_64& engine, std::uint64_t dim, DataKind kind) {
  std::vector<double> vector(dim);
  for (double& component : vector) {
    switch (kind) {
      case DataKind::Real:
        component = real_in(engine, -1.0, 1.0);
        break;
      case DataKind::SmallIntegers:
        component = static_cast<double>(static_cast<int>(engine() % 5) - 2);
        break;
      case DataKind::WithNaN:
        component = engine() % 17 == 0 ? std::nan("") : real_in(engine, -1.0, 1.0);
        break;
      case DataKind::WithZeros:
        component = engine() % 3 == 0 ? 0.0 : static_cast<double>(engine() % 3);
        break;
    }
  }
  return vector;
}

inline bool same_hits(const std::vector<SearchHit>& a, const std::vector<SearchHit>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i].distance) !=
            std::bit_cast<std::uint64_t>(b[i].distance) ||
        a[i].id != b[i].id) {
      return false;
    }
  }
  return true;
}

// First occurrences in order, without `owner`.
inline std::vector<std::uint32_t> without_repeats(const std::vector<std::uint64_t>& list,
                                                  std::uint64_t owner) {
  std::vector<std::uint32_t> kept;
  for (const std::uint64_t id : list) {
    bool seen = id == owner;
    for (const std::uint32_t earlier : kept) {
      seen = seen || earlier == id;
    }
    if (!seen) {
      kept.push_back(static_cast<std::uint32_t>(id));
    }
  }
  return kept;
}

}  // namespace halqen::testing
