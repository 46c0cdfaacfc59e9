#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <stdexcept>

#include "filter/filter.hpp"
#include "metadata/metadata_store.hpp"

namespace halqen {
namespace {

const Schema kColorSize{"color", "size"};

bool admits(const Filter& filter, const Metadata& value) {
  return (*filter.predicate)(value);
}

TEST(EqualityFilter, MatchesEqualValuesOfTheSameAlternative) {
  const Filter blue = equality_filter("color", Metadata::String("blue"));
  EXPECT_EQ(blue.attribute, "color");
  EXPECT_TRUE(admits(blue, Metadata::String("blue")));
  EXPECT_FALSE(admits(blue, Metadata::String("Blue")));
  EXPECT_FALSE(admits(blue, Metadata::String("blue ")));

  const Filter one = equality_filter("size", Metadata::Int(1));
  EXPECT_TRUE(admits(one, Metadata::Int(1)));
  EXPECT_FALSE(admits(one, Metadata::Float(1.0)));
  EXPECT_FALSE(admits(one, Metadata::String("1")));
}

TEST(EqualityFilter, FloatsCompareAsIeee) {
  const Filter zero = equality_filter("size", Metadata::Float(0.0));
  EXPECT_TRUE(admits(zero, Metadata::Float(-0.0)));
  const Filter negative_zero = equality_filter("size", Metadata::Float(-0.0));
  EXPECT_TRUE(admits(negative_zero, Metadata::Float(0.0)));
  const Filter nan = equality_filter("size", Metadata::Float(std::nan("")));
  EXPECT_FALSE(admits(nan, Metadata::Float(std::nan(""))));
  EXPECT_FALSE(admits(nan, Metadata::Float(0.0)));
}

TEST(EqualityFilter, CopiesShareOnePredicate) {
  const Filter original = equality_filter("color", Metadata::String("red"));
  const Filter copy = original;
  EXPECT_EQ(original.predicate.get(), copy.predicate.get());
  EXPECT_EQ(original.predicate.use_count(), 2);
}

TEST(ValidateFilter, ChecksInOrder) {
  const Filter unknown = equality_filter("weight", Metadata::Int(3));
  EXPECT_EQ(validate_filter(unknown, std::nullopt).error(), FilterError::NoSchema);
  EXPECT_EQ(validate_filter(unknown, Schema{}).error(), FilterError::EmptySchema);
  EXPECT_EQ(validate_filter(unknown, kColorSize).error(), FilterError::AttributeNotFound);
  const Filter size = equality_filter("size", Metadata::Int(3));
  EXPECT_EQ(validate_filter(size, kColorSize).value(), 1u);
}

TEST(ValidateFilter, NamesMatchByteForByte) {
  const Filter upper = equality_filter("Color", Metadata::Int(3));
  EXPECT_EQ(validate_filter(upper, kColorSize).error(), FilterError::AttributeNotFound);
  const Filter empty_name = equality_filter("", Metadata::Int(3));
  EXPECT_EQ(validate_filter(empty_name, Schema{"a", ""}).value(), 1u);
}

TEST(ValidateFilter, DuplicateNamesUseTheFirst) {
  const Filter tag = equality_filter("tag", Metadata::String("a"));
  EXPECT_EQ(validate_filter(tag, Schema{"x", "tag", "tag"}).value(), 1u);
}

TEST(ValidateFilter, MissingPredicateIsAProgrammingError) {
  const Filter broken{"color", nullptr};
  EXPECT_THROW(validate_filter(broken, kColorSize), std::invalid_argument);
}

TEST(MetadataStore, KeepsEachNodesRecordInPlace) {
  MetadataStore store;
  store.append(MetadataRecord{Metadata::String("red"), Metadata::Int(1)});
  store.append_without_record();
  store.append(MetadataRecord{Metadata::String("blue"), Metadata::Int(2)});
  EXPECT_EQ(store.node_count(), 3u);
  EXPECT_EQ(store.value_count(), 4u);
  EXPECT_EQ(*store.value(0, 1), Metadata::Int(1));
  EXPECT_EQ(store.value(1, 0), nullptr);
  EXPECT_EQ(*store.value(2, 0), Metadata::String("blue"));
  EXPECT_EQ(store.value(2, 2), nullptr);
  EXPECT_EQ(store.value(3, 0), nullptr);
  EXPECT_TRUE(store.record(1).empty());
  EXPECT_EQ(store.record(2).size(), 2u);
  EXPECT_THROW(store.record(3), std::out_of_range);
}

TEST(MetadataStore, StoresCopies) {
  MetadataStore store;
  MetadataRecord record{Metadata::String("red")};
  store.append(record);
  record[0] = Metadata::String("changed");
  EXPECT_EQ(*store.value(0, 0), Metadata::String("red"));
}

TEST(NodeMatches, TestsTheNodesOwnValue) {
  MetadataStore store;
  store.append(MetadataRecord{Metadata::String("red"), Metadata::Float(0.0)});
  store.append_without_record();
  store.append(MetadataRecord{Metadata::String("blue"), Metadata::Float(std::nan(""))});
  const Filter red = equality_filter("color", Metadata::String("red"));
  const Filter blue = equality_filter("color", Metadata::String("blue"));
  EXPECT_TRUE(node_matches(red, 0, store, 0));
  EXPECT_FALSE(node_matches(red, 0, store, 1));
  EXPECT_FALSE(node_matches(red, 0, store, 2));
  // Without the per-node ranges node 1 would read node 2's values here.
  EXPECT_FALSE(node_matches(blue, 0, store, 1));
  EXPECT_TRUE(node_matches(blue, 0, store, 2));
  const Filter negative_zero = equality_filter("size", Metadata::Float(-0.0));
  EXPECT_TRUE(node_matches(negative_zero, 1, store, 0));
  const Filter nan = equality_filter("size", Metadata::Float(std::nan("")));
  EXPECT_FALSE(node_matches(nan, 1, store, 2));
  EXPECT_FALSE(node_matches(red, 0, store, 99));
}

}  // namespace
}  // namespace halqen
