// For plugin authors: the XML toolkit that the core exports. A document is the
// root node together with the pool that owns the tree; include this header for
// the whole toolkit but printing (dvrcore/xml_printer.h).
#pragma once

#include "memory_pool.h"
#include "xml_node.h"
#include "xml_parse_error.h"

#include <string_view>

namespace rapidxml {

/// Parse flags: the only mode parses into views of the caller's text, which
/// is never modified; values are copied into the pool only to expand references.
inline constexpr int kParseNonDestructive = 1;

/// Deepest element nesting the parser accepts; deeper input is a parse_error.
inline constexpr unsigned kMaxDepth = 256;

template <class Ch>
class xmlDocument : public xmlNode<Ch>, public memory_pool<Ch> {
public:
    xmlDocument() noexcept { this->type = NodeType::document; }
    xmlDocument(xmlDocument const&) = delete;
    xmlDocument& operator=(xmlDocument const&) = delete;

    /// Replaces the document's children with the elements parsed from text.
    /// The text must outlive the tree (names and values are views into it).
    /// The pool is not cleared, so parsing again keeps the old tree's memory.
    /// Throws parse_error on malformed input and leaves a partial tree.
    template <int Flags>
    void parse(std::basic_string_view<Ch> text);

    /// Drops the tree and every pool block.
    void clear() noexcept {
        this->removeAll();
        memory_pool<Ch>::clear();
    }
};

extern template class xmlDocument<char>;

} // namespace rapidxml
