// halqen_ext's saving and loading: the module-level functions and their
// descriptors, entered through the one call protocol (module/entry.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "ext/byte_buffer.hpp"
#include "ext/file_path.hpp"
#include "ext/graph/py_graph_arguments.hpp"
#include "module/args.hpp"
#include "module/index_borrow.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Writes the index to a new file in the directory of `path` (after symbolic
// links), syncs it and renames it over that path; the index is read under
// its shared borrow.
PyResult<NoneResult> write_index(BorrowedIndex index, FilePath path);
// A new index of the kind the file at `path` holds; with `mmap`, a
// GraphIndex that uses the file's arrays where they lie, read-only.
PyResult<Ref> read_index(FilePath path, std::optional<Flag> mmap);
// The file's bytes, encoded straight into a new bytes object.
PyResult<Ref> serialize_index(BorrowedIndex index);
// A new index of the kind `data` holds, from any bytes-like object.
PyResult<Ref> deserialize_index(ByteBuffer data);

inline constexpr std::array<std::string_view, 2> kIndexAndPath = {"index", "path"};
inline constexpr std::array<std::string_view, 2> kPathAndMmap = {"path", "mmap"};
inline constexpr std::array<std::string_view, 1> kIndex = {"index"};
inline constexpr std::array<std::string_view, 1> kData = {"data"};

inline constexpr FunctionDescription kWriteIndex{"", "write_index", kIndexAndPath, 2};
inline constexpr FunctionDescription kReadIndex{"", "read_index", kPathAndMmap, 1};
inline constexpr FunctionDescription kSerializeIndex{"", "serialize_index", kIndex, 1};
inline constexpr FunctionDescription kDeserializeIndex{"", "deserialize_index", kData, 1};

inline constexpr const char* kWriteIndexDoc =
    "write_index($module, index, path)\n--\n\n"
    "Write a PyFlat, PyHNSW or GraphIndex to the file at path.\n\n"
    "The file is written in path's directory (after symbolic links), flushed\n"
    "to the disk and renamed over path, so path holds either its old content\n"
    "or the whole new index, with the old file's mode and owner.";
inline constexpr const char* kReadIndexDoc =
    "read_index($module, path, mmap=False)\n--\n\n"
    "Read the PyFlat, PyHNSW or GraphIndex that write_index wrote to path.\n\n"
    "mmap=True maps a GraphIndex's file instead of reading it: its vectors and\n"
    "codes stay in the file's pages, shared by every process that maps the\n"
    "file and read only where a search touches them. Such an index answers as\n"
    "one read into memory, but is read-only: add and remove raise, and\n"
    "copy.copy(index) gives an in-memory index that can change. A file written\n"
    "before format version 3 is refused (read it without mmap, then write it\n"
    "again); PyFlat and PyHNSW files are read into memory.";
inline constexpr const char* kSerializeIndexDoc =
    "serialize_index($module, index)\n--\n\n"
    "The bytes write_index would write for a PyFlat, PyHNSW or GraphIndex.";
inline constexpr const char* kDeserializeIndexDoc =
    "deserialize_index($module, data)\n--\n\n"
    "The index that serialize_index gave as data (any bytes-like object).";

}  // namespace halqen::py
