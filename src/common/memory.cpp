#include "common/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace mdspeak::memory {

void advise_huge_pages(const void* data, std::size_t size) {
  if (size < kHugePageWorthFrom) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + size) & ~(page - 1);
  // Only a hint: a refusal leaves ordinary pages.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace mdspeak::memory
