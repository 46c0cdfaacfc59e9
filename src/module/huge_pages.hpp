// Huge pages for large buffers that are about to be filled.
#pragma once

#include <cstddef>

namespace halqen::py {

// Buffers smaller than this are left as they are; numpy draws the same line.
inline constexpr std::size_t kHugePageAdviceBytes = std::size_t{1} << 22;

// Asks the system to back the whole pages of [data, data + bytes) with huge
// pages when the buffer is at least kHugePageAdviceBytes long. Fresh memory
// is mapped in on first touch, and at 4 KiB a time that costs more than the
// copy that fills it; numpy gives its own large arrays the same advice. Only
// a hint: it changes no value, and a refusal is ignored.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

}  // namespace halqen::py
