// A metadata value attached to a stored vector: text, integer or float.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace halqen {

// Alternatives in tag order. Equality is the variant's: values of different
// alternatives never compare equal, texts compare byte for byte, integers by
// value and floats by IEEE rules (NaN equals nothing, -0.0 equals 0.0).
struct Metadata {
  std::variant<std::string, std::int64_t, double> value;

  static Metadata String(std::string text) { return {std::move(text)}; }
  static Metadata Int(std::int64_t number) { return {number}; }
  static Metadata Float(double number) { return {number}; }

  friend bool operator==(const Metadata&, const Metadata&) = default;
};

// The values of one vector, one per schema attribute, in schema order.
using MetadataRecord = std::vector<Metadata>;

// Attribute names, in order; absent, empty or non-empty are three distinct states.
using Schema = std::vector<std::string>;

}  // namespace halqen
