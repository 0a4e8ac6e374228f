// Part of the XML toolkit that the core exports to plugins (include
// dvrcore/xml_document.h): the pointer-bump allocator that owns every node,
// attribute and expanded value of one document. Nothing is freed on its own;
// clear() drops it all at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rapidxml {

template <class Ch> struct xmlNode;
template <class Ch> struct xmlAttribute;

/// Node kinds, stored as a 32-bit word in every node.
enum class NodeType : std::uint32_t {
    document = 0,
    element = 1,
    data = 2,
    cdata = 3,
    comment = 4,
    declaration = 5,
    doctype = 6,
    pi = 7,
};

template <class Ch>
class memory_pool {
public:
    /// Size of the block that lives inside the pool, so small documents need no heap.
    static constexpr std::size_t kInlineSize = 16 * 1024;
    /// Least size of a block taken from the heap when the current one is full.
    static constexpr std::size_t kBlockSize = 64 * 1024;
    /// Extra bytes per heap block, room for aligning its start.
    static constexpr std::size_t kBlockSlack = 10;
    /// Alignment of every alloc_aligned result: 4 on the appliance, the pointer size elsewhere.
    static constexpr std::size_t kAlign = alignof(void*) > 4 ? alignof(void*) : 4;

    using alloc_func = void* (*)(std::size_t);
    using free_func = void (*)(void*);

    memory_pool() noexcept { reset(); }
    ~memory_pool() { clear(); }
    memory_pool(memory_pool const&) = delete;
    memory_pool& operator=(memory_pool const&) = delete;

    /// Installs allocate/free hooks for heap blocks; call while the pool is empty.
    /// A hook that returns null makes the allocation throw std::bad_alloc.
    void set_allocator(alloc_func af, free_func ff) noexcept {
        allocHook_ = af;
        freeHook_ = ff;
    }

    /// Returns n bytes aligned to kAlign, valid until clear().
    void* alloc_aligned(unsigned n) {
        auto addr = reinterpret_cast<std::uintptr_t>(ptr_);
        std::uintptr_t aligned = (addr + (kAlign - 1)) & ~std::uintptr_t(kAlign - 1);
        if (aligned <= reinterpret_cast<std::uintptr_t>(end_) &&
            n <= reinterpret_cast<std::uintptr_t>(end_) - aligned) {
            ptr_ = reinterpret_cast<char*>(aligned) + n;
            return reinterpret_cast<char*>(aligned);
        }
        return grow(n);
    }

    /// Frees every heap block and returns to the inline block.
    void clear() noexcept;

    /// Copies text into the pool; the view stays valid until clear().
    std::basic_string_view<Ch> copy(std::basic_string_view<Ch> text);

    /// New attribute: the name is kept as a view (it must outlive the pool),
    /// the value is copied into the pool.
    xmlAttribute<Ch>* newAttr(std::basic_string_view<Ch> name, std::basic_string<Ch> value);

    /// New unlinked node of the given type; the name is kept as a view.
    xmlNode<Ch>* newNode(NodeType type, std::basic_string_view<Ch> name = {});

    /// Bytes of text for value expansion: unaligned, taken from the current block.
    Ch* allocChars(std::size_t n) {
        if (n <= static_cast<std::size_t>(end_ - ptr_)) {
            Ch* p = reinterpret_cast<Ch*>(ptr_);
            ptr_ += n;
            return p;
        }
        return static_cast<Ch*>(grow(n));
    }
    /// Gives back the tail of the last allocChars block: p is its new end.
    void releaseTail(Ch* p) noexcept { ptr_ = reinterpret_cast<char*>(p); }

private:
    struct Block {
        Block* next;
    };

    void reset() noexcept {
        blocks_ = nullptr;
        ptr_ = inline_;
        end_ = inline_ + kInlineSize;
    }
    void* grow(std::size_t n);

    Block* blocks_;            ///< heap blocks, newest first
    char* ptr_;                ///< next free byte of the current block
    char* end_;                ///< end of the current block
    alignas(kAlign) char inline_[kInlineSize];  ///< first block
    alloc_func allocHook_ = nullptr;  ///< heap block allocator; null: new[]
    free_func freeHook_ = nullptr;    ///< heap block release; null: delete[]
};

extern template class memory_pool<char>;

} // namespace rapidxml
