// Names of the format's sections in messages.
#include "io/format.hpp"

namespace halqen::io::format {

std::string_view section_name(SectionTag tag) {
  switch (tag) {
    case SectionTag::Vectors:
      return "vectors";
    case SectionTag::Deleted:
      return "deleted";
    case SectionTag::Levels:
      return "levels";
    case SectionTag::Graph:
      return "graph";
    case SectionTag::Schema:
      return "schema";
    case SectionTag::Metadata:
      return "metadata";
    case SectionTag::Labels:
      return "labels";
    case SectionTag::FreeSlots:
      return "free slots";
    case SectionTag::Codes:
      return "codes";
    case SectionTag::BuildState:
      return "build state";
    case SectionTag::CodeScale:
      return "code scale";
    case SectionTag::RowStorage:
      return "row storage";
    case SectionTag::CodeRows:
      return "code rows";
    case SectionTag::RowNorms:
      return "row norms";
    case SectionTag::PartitionState:
      return "partition state";
    case SectionTag::Centroids:
      return "centroids";
    case SectionTag::PartitionLists:
      return "partition lists";
  }
  return "unknown";
}

}  // namespace halqen::io::format
