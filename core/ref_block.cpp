#include "core/ref_block.h"

#include <cstdlib>
#include <new>

namespace oxmem {

Stats stats{}; // zero before main: counts are valid from the first event on

namespace {
// The payload starts one cache line into the allocation; the header takes the
// last 8 bytes of the line in front of it.
constexpr size_t kPayloadAlign = 64;
} // namespace

char* allocRefBlock(uint32_t length) noexcept {
    if (length > UINT32_MAX - kPayloadAlign) return nullptr; // the size word would wrap
    size_t const total = (kPayloadAlign + size_t{length} + kPayloadAlign - 1) / kPayloadAlign * kPayloadAlign;
    if (total < length) return nullptr;
    void* base = std::aligned_alloc(kPayloadAlign, total);
    if (!base) return nullptr;
    char* payload = static_cast<char*>(base) + kPayloadAlign;
    auto* header = new (payload - sizeof(RefBlockHeader)) RefBlockHeader{length + 8u, {0}};
    stats.blocks.fetch_add(1);
    stats.bytes.fetch_add(header->size);
    return payload;
}

void freeRefBlock(char* payload) noexcept {
    RefBlockHeader* header = headerOf(payload);
    stats.blocks.fetch_sub(1);
    stats.bytes.fetch_sub(header->size);
    header->~RefBlockHeader();
    std::free(payload - kPayloadAlign);
}

} // namespace oxmem
