// One walk drives both printing and length counting, so xmlLen always equals
// the printed length. The walk follows parent and sibling links instead of
// recursing, so a deep tree cannot exhaust the stack.
#include "dvrcore/xml_printer.h"

#include <string_view>

namespace rapidxml {
namespace {

constexpr std::string_view kMask = "*****";
constexpr std::string_view kPasswordName = "password";

// Counts characters.
struct Counter {
    std::size_t n = 0;
    void put(char) { ++n; }
    void put(std::string_view s) { n += s.size(); }
    void fill(unsigned count, char) { n += count; }
};

// Appends to a string.
struct Writer {
    std::string& out;
    void put(char c) { out.push_back(c); }
    void put(std::string_view s) { out.append(s); }
    void fill(unsigned count, char c) { out.append(count, c); }
};

bool isPassword(std::string_view name) {
    if (name.size() != kPasswordName.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != kPasswordName[i]) return false;
    }
    return true;
}

// Writes s with "&", "<" and ">" escaped, plus each quote character not
// equal to keep (0 escapes both).
template <class Out>
void escaped(Out& o, std::string_view s, char keep) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::string_view rep;
        switch (s[i]) {
        case '&': rep = "&amp;"; break;
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        case '"': if (keep != '"') rep = "&quot;"; break;
        case '\'': if (keep != '\'') rep = "&apos;"; break;
        default: break;
        }
        if (rep.empty()) continue;
        o.put(s.substr(run, i - run));
        o.put(rep);
        run = i + 1;
    }
    o.put(s.substr(run));
}

template <int Flags, class Out>
void attributes(Out& o, xmlNode<char> const& n) {
    for (auto const* a = n.firstAttr; a; a = a->next) {
        o.put(' ');
        o.put(a->name);
        o.put('=');
        std::string_view value = a->value;
        if ((Flags & kPrintMaskPasswords) && isPassword(a->name)) value = kMask;
        // A value holding a double quote goes in single quotes.
        if (value.find('"') != std::string_view::npos) {
            o.put('\'');
            escaped(o, value, '"');
            o.put('\'');
        } else {
            o.put('"');
            escaped(o, value, '\'');
            o.put('"');
        }
    }
}

template <int Flags, class Out>
void indent(Out& o, unsigned depth) {
    if (!(Flags & kPrintNoIndent)) o.fill(depth, '\t');
}

// An element whose children are printed on their own lines.
bool hasChildLines(xmlNode<char> const& n) {
    if (!n.firstChild) return false;
    return n.firstChild->next || n.firstChild->type != NodeType::data;
}

// Prints what comes before a node's children; true when they follow.
template <int Flags, class Out>
bool open(Out& o, xmlNode<char> const& n, unsigned depth) {
    switch (n.type) {
    case NodeType::document:
        return n.firstChild != nullptr;
    case NodeType::element:
        indent<Flags>(o, depth);
        o.put('<');
        o.put(n.name);
        attributes<Flags>(o, n);
        if (n.value.empty() && !n.firstChild) {
            o.put("/>");
            return false;
        }
        o.put('>');
        if (!n.firstChild) {
            escaped(o, n.value, 0);
            return false;
        }
        if (!hasChildLines(n)) {
            escaped(o, n.firstChild->value, 0);
            return false;
        }
        if (!(Flags & kPrintNoIndent)) o.put('\n');
        return true;
    case NodeType::data:
        indent<Flags>(o, depth);
        escaped(o, n.value, 0);
        return false;
    case NodeType::cdata:
        indent<Flags>(o, depth);
        o.put("<![CDATA[");
        o.put(n.value);
        o.put("]]>");
        return false;
    case NodeType::comment:
        indent<Flags>(o, depth);
        o.put("<!--");
        o.put(n.value);
        o.put("-->");
        return false;
    case NodeType::declaration:
        indent<Flags>(o, depth);
        o.put("<?xml");
        attributes<Flags>(o, n);
        o.put("?>");
        return false;
    case NodeType::doctype:
        indent<Flags>(o, depth);
        o.put("<!DOCTYPE ");
        o.put(n.value);
        o.put('>');
        return false;
    case NodeType::pi:
        indent<Flags>(o, depth);
        o.put("<?");
        o.put(n.name);
        o.put(' ');
        o.put(n.value);
        o.put("?>");
        return false;
    }
    return false;
}

// Prints what follows a node, including its line break.
template <int Flags, class Out>
void close(Out& o, xmlNode<char> const& n, unsigned depth) {
    if (n.type == NodeType::element && (!n.value.empty() || n.firstChild)) {
        if (hasChildLines(n)) indent<Flags>(o, depth);
        o.put("</");
        o.put(n.name);
        o.put('>');
    }
    if (!(Flags & kPrintNoIndent)) o.put('\n');
}

template <int Flags, class Out>
void print(Out& o, xmlNode<char> const& root) {
    xmlNode<char> const* n = &root;
    unsigned depth = 0;
    for (;;) {
        if (open<Flags>(o, *n, depth)) {
            if (n->type == NodeType::element) ++depth;
            n = n->firstChild;
            continue;
        }
        // Close this node and every ancestor whose last child it completes.
        for (;;) {
            close<Flags>(o, *n, depth);
            if (n == &root) return;
            if (n->next) {
                n = n->next;
                break;
            }
            n = n->parent;
            if (n->type == NodeType::element) --depth;
        }
    }
}

} // namespace

template <int Flags, class Ch>
unsigned xmlLen(xmlNode<Ch> const& node) {
    Counter c;
    print<Flags>(c, node);
    return static_cast<unsigned>(c.n);
}

template <int Flags, class Ch>
std::basic_string<Ch> toXml(xmlNode<Ch> const& node, unsigned reserve, bool trim) {
    std::basic_string<Ch> out;
    out.reserve(reserve);
    Writer w{out};
    print<Flags>(w, node);
    if (trim) out.shrink_to_fit();
    return out;
}

#define DVR_XML_PRINT_FLAGS(F)                                                               \
    template unsigned xmlLen<F, char>(xmlNode<char> const&);                                 \
    template std::string toXml<F, char>(xmlNode<char> const&, unsigned, bool);
DVR_XML_PRINT_FLAGS(0)
DVR_XML_PRINT_FLAGS(1)
DVR_XML_PRINT_FLAGS(2)
DVR_XML_PRINT_FLAGS(3)
#undef DVR_XML_PRINT_FLAGS

} // namespace rapidxml
