// Part of the XML toolkit that the core exports to plugins (include
// dvrcore/xml_document.h): nodes and attributes of the document tree. Names
// and values are views into the parsed text, into pool memory, or into
// strings the caller keeps.
#pragma once

#include "memory_pool.h"

#include <concepts>
#include <string_view>

namespace rapidxml {

template <class Ch>
struct xmlAttribute {
    std::basic_string_view<Ch> name;   ///< attribute name
    std::basic_string_view<Ch> value;  ///< value with references expanded
    xmlNode<Ch>* parent = nullptr;     ///< element holding the attribute
    xmlAttribute* prev = nullptr;      ///< previous attribute of the element
    xmlAttribute* next = nullptr;      ///< next attribute of the element
};

template <class Ch>
struct xmlNode {
    using view = std::basic_string_view<Ch>;

    view name;                             ///< element name; empty for document and declaration
    view value;                            ///< first text run of an element, empty if none
    xmlNode* parent = nullptr;             ///< null for the document
    NodeType type = NodeType::element;     ///< kind of node
    xmlNode* firstChild = nullptr;         ///< child list in document order
    xmlNode* lastChild = nullptr;
    xmlAttribute<Ch>* firstAttr = nullptr; ///< attribute list in document order
    xmlAttribute<Ch>* lastAttr = nullptr;
    xmlNode* prev = nullptr;               ///< siblings within the parent's child list
    xmlNode* next = nullptr;

    /// Follows a "/"-separated path of element names from this node: at each
    /// step the first child element of exactly that name. A trailing "/" is
    /// ignored; an empty path (or segment) takes the first child. Null when a
    /// step finds nothing.
    xmlNode* node(view path) const;

    /// Next sibling element with the given name (any element when empty), or null.
    xmlNode* nextSibling(view wanted) const;

    /// First attribute with exactly this name (the first attribute when empty), or null.
    xmlAttribute<Ch>* attribute(view wanted) const;

    /// Value of the named attribute, empty when it is missing.
    view attrText(view wanted) const {
        auto const* a = attribute(wanted);
        return a ? a->value : view{};
    }

    /// Boolean read: missing or empty gives def; one character is false only
    /// for "0"; five characters are false only for "false" in any case; all
    /// else is true.
    bool attr(view wanted, bool def) const;

    /// Decimal read with an optional leading "-", stopping at the first
    /// non-digit. No digits, or a value outside T's range, gives def.
    template <class T>
        requires std::same_as<T, int> || std::same_as<T, long long>
    T attr(view wanted, T def) const;

    /// Appends the attribute at the end of the list and makes this its parent.
    void appendAttr(xmlAttribute<Ch>* a) noexcept {
        a->parent = this;
        a->prev = lastAttr;
        a->next = nullptr;
        if (lastAttr)
            lastAttr->next = a;
        else
            firstAttr = a;
        lastAttr = a;
    }

    /// Appends the node as the last child.
    void appendNode(xmlNode* n) noexcept {
        n->parent = this;
        n->prev = lastChild;
        n->next = nullptr;
        if (lastChild)
            lastChild->next = n;
        else
            firstChild = n;
        lastChild = n;
    }

    /// Unlinks a child (its memory stays in the pool).
    void removeNode(xmlNode* n) noexcept {
        (n->prev ? n->prev->next : firstChild) = n->next;
        (n->next ? n->next->prev : lastChild) = n->prev;
        n->parent = n->prev = n->next = nullptr;
    }

    /// Forgets all children and attributes (their memory stays in the pool).
    void removeAll() noexcept {
        firstChild = lastChild = nullptr;
        firstAttr = lastAttr = nullptr;
    }
};

extern template struct xmlNode<char>;

} // namespace rapidxml
