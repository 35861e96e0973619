// Memory hints for large blocks written from end to end (the decoded text of a long request).
//
// A block of many megabytes written for the first time costs a page fault every 4 KB, and page
// faults are about an eighth of the CPU a large load takes; where the system backs the block
// with huge pages instead, a fault every 2 MB. The hint changes no contents and no result, only
// how soon the writing ends: where huge pages are off or unavailable, it is ignored.
#pragma once

#include <cstddef>

namespace mdspeak::memory {

// Blocks smaller than this gain nothing from the hint.
inline constexpr std::size_t kHugePageWorthFrom = std::size_t{4} << 20;

// Asks for huge pages behind the whole pages of [data, data + size), when `size` is at least
// kHugePageWorthFrom. Call before the block is first written.
void advise_huge_pages(const void* data, std::size_t size);

}  // namespace mdspeak::memory
