#include "module/huge_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace halqen::py {

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes < kHugePageAdviceBytes) {
    return;
  }
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) {
    return;
  }
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first_page = (begin + page - 1) / page * page;
  const std::uintptr_t end_page = (begin + bytes) / page * page;
  if (end_page > first_page) {
    madvise(reinterpret_cast<void*>(first_page), end_page - first_page, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace halqen::py
