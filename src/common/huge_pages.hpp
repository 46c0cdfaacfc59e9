// Large arrays about to be filled at once (a load's rows, codes and links, a
// numpy array being made) ask the kernel for 2 MiB pages where it gives
// them only on request: first touching a fresh 4 KiB page costs about as
// much as filling it, and filling touches every page. numpy gives its own
// large arrays the same advice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace halqen {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Asks for huge pages over the whole 2 MiB pages inside [data, data +
// bytes), for buffers of two such pages or more. Only advice: it changes
// no value, and where the kernel declines, the pages stay small.
inline void prefer_huge_pages(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < 2 * kHugePageBytes) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePageBytes - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// The same over a vector's whole capacity, before it is filled.
template <typename T>
void prefer_huge_pages(const std::vector<T>& values) noexcept {
  prefer_huge_pages(values.data(), values.capacity() * sizeof(T));
}

}  // namespace halqen
