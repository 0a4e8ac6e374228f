#include "dvrcore/memory_pool.h"

#include "dvrcore/xml_node.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace rapidxml {

template <class Ch>
void memory_pool<Ch>::clear() noexcept {
    while (blocks_) {
        Block* next = blocks_->next;
        if (freeHook_)
            freeHook_(blocks_);
        else
            delete[] reinterpret_cast<char*>(blocks_);
        blocks_ = next;
    }
    reset();
}

template <class Ch>
void* memory_pool<Ch>::grow(std::size_t n) {
    // The block starts with its list link; kBlockSlack covers aligning the data.
    std::size_t const payload = std::max(n, kBlockSize);
    constexpr std::size_t overhead = sizeof(Block) + kBlockSlack + kAlign;
    if (payload > std::numeric_limits<std::size_t>::max() - overhead) throw std::bad_alloc();
    std::size_t const size = payload + overhead;
    void* const mem = allocHook_ ? allocHook_(size) : new char[size];
    if (!mem) throw std::bad_alloc();
    char* const raw = static_cast<char*>(mem);

    // Both allocators return memory aligned for any object.
    auto* block = static_cast<Block*>(mem);
    block->next = blocks_;
    blocks_ = block;

    auto addr = reinterpret_cast<std::uintptr_t>(raw + sizeof(Block));
    char* data = reinterpret_cast<char*>((addr + (kAlign - 1)) & ~std::uintptr_t(kAlign - 1));
    ptr_ = data + n;
    end_ = raw + size;
    return data;
}

template <class Ch>
std::basic_string_view<Ch> memory_pool<Ch>::copy(std::basic_string_view<Ch> text) {
    if (text.empty()) return {};
    Ch* p = allocChars(text.size());
    std::memcpy(p, text.data(), text.size() * sizeof(Ch));
    return {p, text.size()};
}

template <class Ch>
xmlAttribute<Ch>* memory_pool<Ch>::newAttr(std::basic_string_view<Ch> name, std::basic_string<Ch> value) {
    auto* a = new (alloc_aligned(sizeof(xmlAttribute<Ch>))) xmlAttribute<Ch>;
    a->name = name;
    a->value = copy(value);
    return a;
}

template <class Ch>
xmlNode<Ch>* memory_pool<Ch>::newNode(NodeType type, std::basic_string_view<Ch> name) {
    auto* n = new (alloc_aligned(sizeof(xmlNode<Ch>))) xmlNode<Ch>;
    n->type = type;
    n->name = name;
    return n;
}

template class memory_pool<char>;

} // namespace rapidxml
