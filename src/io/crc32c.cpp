// Chooses the CRC-32C implementation once per process.
#include "io/crc32c.hpp"

namespace halqen::io {
namespace {

using ExtendFn = std::uint32_t (*)(std::uint32_t, const std::byte*, std::size_t);

bool processor_has_sse42() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("sse4.2");
#else
  return false;
#endif
}

ExtendFn chosen_extend() {
#if defined(__x86_64__)
  static const ExtendFn extend =
      processor_has_sse42() ? crc32c_detail::extend_hardware : crc32c_detail::extend_table;
#else
  static const ExtendFn extend = crc32c_detail::extend_table;
#endif
  return extend;
}

}  // namespace

void Crc32c::update(std::span<const std::byte> bytes) {
  state_ = chosen_extend()(state_, bytes.data(), bytes.size());
}

std::uint32_t crc32c(std::span<const std::byte> bytes) {
  Crc32c checksum;
  checksum.update(bytes);
  return checksum.value();
}

bool crc32c_uses_hardware() {
  return chosen_extend() != crc32c_detail::extend_table;
}

}  // namespace halqen::io
