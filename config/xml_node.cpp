#include "dvrcore/xml_node.h"

#include <limits>

namespace rapidxml {

namespace {
// At namespace scope, not a static of attr(): a function-local static of an
// exported template member would be a global object of its own, and the
// export list's pattern for xmlNode<char> would export it.
constexpr char kFalse[] = "false";
} // namespace

template <class Ch>
xmlNode<Ch>* xmlNode<Ch>::node(view path) const {
    if (!path.empty() && path.back() == Ch('/')) path.remove_suffix(1);
    xmlNode const* cur = this;
    for (;;) {
        auto const slash = path.find(Ch('/'));
        view const segment = path.substr(0, slash);
        xmlNode* found = cur->firstChild;
        if (!segment.empty()) {
            while (found && !(found->type == NodeType::element && found->name == segment))
                found = found->next;
        }
        if (!found || slash == view::npos) return found;
        cur = found;
        path.remove_prefix(slash + 1);
    }
}

template <class Ch>
xmlNode<Ch>* xmlNode<Ch>::nextSibling(view wanted) const {
    for (xmlNode* n = next; n; n = n->next)
        if (n->type == NodeType::element && (wanted.empty() || n->name == wanted)) return n;
    return nullptr;
}

template <class Ch>
xmlAttribute<Ch>* xmlNode<Ch>::attribute(view wanted) const {
    if (wanted.empty()) return firstAttr;
    for (xmlAttribute<Ch>* a = firstAttr; a; a = a->next)
        if (a->name == wanted) return a;
    return nullptr;
}

template <class Ch>
bool xmlNode<Ch>::attr(view wanted, bool def) const {
    auto const* a = attribute(wanted);
    if (!a || a->value.empty()) return def;
    view const v = a->value;
    if (v.size() == 1) return v[0] != Ch('0');
    if (v.size() == 5) {
        for (std::size_t i = 0; i < 5; ++i) {
            Ch c = v[i];
            if (c >= Ch('A') && c <= Ch('Z')) c = Ch(c - Ch('A') + Ch('a'));
            if (c != Ch(kFalse[i])) return true;
        }
        return false;
    }
    return true;
}

template <class Ch>
template <class T>
    requires std::same_as<T, int> || std::same_as<T, long long>
T xmlNode<Ch>::attr(view wanted, T def) const {
    auto const* a = attribute(wanted);
    if (!a) return def;
    view v = a->value;
    bool const negative = !v.empty() && v[0] == Ch('-');
    if (negative) v.remove_prefix(1);
    // Magnitude limit: one more for negatives, so the minimum is accepted.
    using U = unsigned long long;
    U const limit = U(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
    U magnitude = 0;
    std::size_t digits = 0;
    for (Ch c : v) {
        if (c < Ch('0') || c > Ch('9')) break;
        U const d = U(c - Ch('0'));
        if (magnitude > (limit - d) / 10) return def;
        magnitude = magnitude * 10 + d;
        ++digits;
    }
    if (digits == 0) return def;
    if (!negative) return static_cast<T>(magnitude);
    // -limit is representable in T; go through limit-1 to stay in range.
    return magnitude == 0 ? T(0) : static_cast<T>(-static_cast<T>(magnitude - 1) - 1);
}

template struct xmlNode<char>;
template int xmlNode<char>::attr<int>(view, int) const;
template long long xmlNode<char>::attr<long long>(view, long long) const;

} // namespace rapidxml
