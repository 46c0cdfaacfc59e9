// Saving and loading, between Python and the codec (src/io).
#include "ext/persist.hpp"

#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/decode.hpp"
#include "io/encode.hpp"
#include "io/file_io.hpp"
#include "io/kind_files.hpp"
#include "io/mapped_file.hpp"
#include "module/instance.hpp"
#include "module/module_state.hpp"
#include "module/signal_check.hpp"

namespace halqen::py {
namespace {

// ValueError for a bad file; OSError (of the errno's subclass, such as
// FileNotFoundError) with the path for a refused system call.
// MemoryError (naming what the file claims) when memory ran out while
// reading; a signal handler's exception when one stopped the read.
PyErr codec_error(const io::CodecError& error, const FilePath* path) {
  if (error.kind == io::CodecError::Kind::OutOfMemory) {
    return PyErr::new_err(PyExc_MemoryError, error.message);
  }
  if (error.kind == io::CodecError::Kind::Interrupted) {
    return PyErr::fetch();
  }
  if (!error.is_system()) {
    return PyErr::new_err(PyExc_ValueError, error.message);
  }
  const char* text =
      error.message_is_reason ? error.message.c_str() : std::strerror(error.os_error);
  Ref value = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", error.os_error, text,
                                               path != nullptr ? path->text.get() : Py_None));
  return value ? PyErr::from_exception(std::move(value)) : PyErr::fetch();
}

// body(io::FileKind<Core>{}, index) for the index's kind.
template <typename Body>
auto with_kind(const BorrowedIndex& index, Body&& body) {
  return std::visit([&]<class Core>(const Core* core) { return body(io::FileKind<Core>{}, *core); },
                    index.index());
}

PyResult<Ref> to_instance(io::LoadedIndex loaded) {
  ModuleState& state = module_state();
  return std::visit(
      [&]<class Core>(Core&& core) {
        return Instance<Core>::create(state.type_of<Core>(), std::move(core));
      },
      std::move(loaded));
}

PyResult<Ref> load(io::ByteSource& source, const FilePath* path) {
  SignalInterrupt signals;
  auto loaded = io::decode_index(source, signals);
  if (!loaded) {
    return std::unexpected(codec_error(loaded.error(), path));
  }
  return to_instance(std::move(*loaded));
}

}  // namespace

PyResult<NoneResult> write_index(BorrowedIndex index, FilePath path) {
  auto written = with_kind(index, [&]<class Kind>(Kind, const auto& core) {
    return io::write_file_atomically(path.encoded,
                                     [&](io::ByteSink& sink) { return Kind::encode(core, sink); });
  });
  if (!written) {
    return std::unexpected(codec_error(written.error(), &path));
  }
  return NoneResult{};
}

PyResult<Ref> read_index(FilePath path, std::optional<Flag> mmap) {
  if (mmap && mmap->on) {
    auto mapped = io::MappedFile::open(path.encoded);
    if (!mapped) return std::unexpected(codec_error(mapped.error(), &path));
    SignalInterrupt signals;
    auto loaded = io::decode_mapped_index(std::move(*mapped), signals);
    if (!loaded) return std::unexpected(codec_error(loaded.error(), &path));
    return to_instance(std::move(*loaded));
  }
  auto opened = io::open_for_reading(path.encoded);
  if (!opened) {
    return std::unexpected(codec_error(opened.error(), &path));
  }
  io::FdSource source(opened->descriptor.get(), opened->length);
  return load(source, &path);
}

PyResult<Ref> serialize_index(BorrowedIndex index) {
  return with_kind(index, [&]<class Kind>(Kind, const auto& core) -> PyResult<Ref> {
    const std::uint64_t size = Kind::encoded_size(core);
    if (size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      return std::unexpected(PyErr::new_err(PyExc_OverflowError, "index too large for bytes"));
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
      return fetch_error();
    }
    io::SpanSink sink({reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get())), size});
    if (auto encoded = Kind::encode(core, sink); !encoded) {
      return std::unexpected(codec_error(encoded.error(), nullptr));
    }
    return bytes;
  });
}

PyResult<Ref> deserialize_index(ByteBuffer data) {
  io::SpanSource source(data.bytes());
  return load(source, nullptr);
}

}  // namespace halqen::py
