// Non-validating parser into views of the caller's text. Every read is bounded
// by the end of the view, and the tree itself is the stack: nesting costs no
// recursion, and kMaxDepth bounds it for the code that walks the result.
#include "dvrcore/xml_document.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace rapidxml {
namespace {

// Byte classes, one bit each in a single table.
constexpr std::uint8_t kSpace = 1;     // space, tab, CR, LF
constexpr std::uint8_t kElemName = 2;  // all but NUL, whitespace, "/", ">", "?"
constexpr std::uint8_t kAttrName = 4;  // all but NUL, whitespace, "!", "/", "<", "=", ">", "?"

constexpr std::array<std::uint8_t, 256> makeClasses() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        bool const space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (space) t[c] |= kSpace;
        if (c != 0 && !space && c != '/' && c != '>' && c != '?') t[c] |= kElemName;
        if (c != 0 && !space && c != '!' && c != '/' && c != '<' && c != '=' && c != '>' && c != '?')
            t[c] |= kAttrName;
    }
    return t;
}
constexpr auto kClasses = makeClasses();

// Parse failure texts.
constexpr char kExpectedLt[] = "expected <";
constexpr char kEndOfData[] = "unexpected end of data";
constexpr char kEndOfCdata[] = "unexpected end of cdata";
constexpr char kExpectedPiEnd[] = "expected ?>";
constexpr char kExpectedElementName[] = "expected element name";
constexpr char kExpectedGt[] = "expected >";
constexpr char kExpectedEq[] = "expected =";
constexpr char kExpectedQuote[] = "expected ' or \"";
constexpr char kExpectedSemicolon[] = "expected ;";
constexpr char kInvalidEntity[] = "invalid numeric character entity";
constexpr char kNulByte[] = "unexpected NUL character";
constexpr char kTooDeep[] = "element nesting too deep";

constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
constexpr std::uint32_t kCodePointEnd = 0x110000;

using Node = xmlNode<char>;
using Attr = xmlAttribute<char>;
using view = std::string_view;

class Parser {
public:
    Parser(xmlDocument<char>& doc, view text) : doc_(doc), origin_(text.data()) {
        while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
        p_ = text.data();
        end_ = p_ + text.size();
        if (text.size() >= 3 && std::memcmp(p_, kBom, 3) == 0) p_ += 3;
    }

    void run() {
        // A NUL inside the document is malformed; finding it first keeps the
        // scanning loops free of that case.
        if (void const* nul = std::memchr(p_, 0, std::size_t(end_ - p_)))
            fail(kNulByte, static_cast<char const*>(nul));

        Node* current = &doc_;  // element whose contents are being read
        unsigned depth = 0;     // open elements
        for (;;) {
            char const* const before = p_;
            skipSpace();
            if (p_ == end_) {
                if (depth == 0) return;
                fail(kEndOfData);
            }
            if (*p_ != '<') {
                if (depth == 0) fail(kExpectedLt);
                text(*current, before);
                continue;
            }
            ++p_;
            if (depth > 0 && p_ != end_ && *p_ == '/') {
                closingTag();
                current = current->parent;
                --depth;
                continue;
            }
            bool open = false;
            Node* element = markup(open);
            if (!element) continue;
            if (depth + 1 > kMaxDepth) fail(kTooDeep);
            current->appendNode(element);
            if (open) {
                current = element;
                ++depth;
            }
        }
    }

private:
    [[noreturn]] void fail(char const* what, char const* where) const {
        throw parse_error(what, where, std::size_t(where - origin_));
    }
    [[noreturn]] void fail(char const* what) const { fail(what, p_); }

    bool has(std::uint8_t cls) const { return p_ != end_ && (kClasses[std::uint8_t(*p_)] & cls); }
    void skipSpace() {
        while (has(kSpace)) ++p_;
    }
    bool startsWith(view s) const { return std::size_t(end_ - p_) >= s.size() && view(p_, s.size()) == s; }

    // Moves past the next occurrence of s, or fails with what.
    void skipPast(view s, char const* what) {
        view const rest(p_, std::size_t(end_ - p_));
        auto const at = rest.find(s);
        if (at == view::npos) fail(what, end_);
        p_ += at + s.size();
    }

    // After "<": skips declarations, comments, CDATA and processing
    // instructions; returns an element, open says whether contents follow.
    Node* markup(bool& open) {
        if (p_ != end_ && *p_ == '!') {
            if (startsWith("!DOCTYPE") && std::size_t(end_ - p_) > 8 && (kClasses[std::uint8_t(p_[8])] & kSpace)) {
                skipDoctype();
            } else if (startsWith("!--")) {
                p_ += 3;
                skipPast("-->", kEndOfData);
            } else if (startsWith("![CDATA[")) {
                p_ += 8;
                skipPast("]]>", kEndOfCdata);
            } else {
                skipPast(">", kEndOfData);
            }
            return nullptr;
        }
        if (p_ != end_ && *p_ == '?') {
            if (startsWith("?xml")) {
                p_ += 4;
                skipPast("?>", kExpectedPiEnd);
            } else {
                ++p_;
                skipPast("?>", kEndOfData);
            }
            return nullptr;
        }
        return element(open);
    }

    // Quoted literals ("a>b.dtd"), comments and processing instructions may
    // hold '>', '[' and ']': they are skipped whole, so only the DOCTYPE's
    // own markup counts.
    void skipDoctype() {
        p_ += 9;
        unsigned brackets = 0;
        while (p_ != end_) {
            char const c = *p_;
            if (c == '"' || c == '\'') {
                char const* const close = static_cast<char const*>(std::memchr(p_ + 1, c, std::size_t(end_ - p_ - 1)));
                if (!close) fail(kEndOfData, end_);
                p_ = close + 1;
            } else if (startsWith("<!--")) {
                p_ += 4;
                skipPast("-->", kEndOfData);
            } else if (startsWith("<?")) {
                p_ += 2;
                skipPast("?>", kEndOfData);
            } else {
                ++p_;
                if (c == '[') {
                    ++brackets;
                } else if (c == ']') {
                    if (brackets) --brackets;
                } else if (c == '>' && brackets == 0) {
                    return;
                }
            }
        }
        fail(kEndOfData);
    }

    Node* element(bool& open) {
        char const* const name = p_;
        while (has(kElemName)) ++p_;
        if (p_ == name || p_ == end_) fail(kExpectedElementName);
        auto* node = new (doc_.alloc_aligned(sizeof(Node))) Node;  // inline: one per element
        node->name = view(name, std::size_t(p_ - name));
        skipSpace();
        attributes(*node);
        if (p_ != end_ && *p_ == '/' && end_ - p_ >= 2 && p_[1] == '>') {
            p_ += 2;
            open = false;
        } else if (p_ != end_ && *p_ == '>') {
            ++p_;
            open = true;
        } else {
            fail(kExpectedGt);
        }
        return node;
    }

    void attributes(Node& node) {
        while (has(kAttrName)) {
            char const* const name = p_;
            while (has(kAttrName)) ++p_;
            view const attrName(name, std::size_t(p_ - name));
            skipSpace();
            if (p_ == end_ || *p_ != '=') fail(kExpectedEq);
            ++p_;
            skipSpace();
            if (p_ == end_ || (*p_ != '\'' && *p_ != '"')) fail(kExpectedQuote);
            char const quote = *p_++;
            auto const* close = static_cast<char const*>(std::memchr(p_, quote, std::size_t(end_ - p_)));
            if (!close) fail(kExpectedQuote, end_);
            auto* a = new (doc_.alloc_aligned(sizeof(Attr))) Attr;
            a->name = attrName;
            a->value = expand(p_, close, true);
            node.appendAttr(a);
            p_ = close + 1;
            skipSpace();
        }
    }

    // A text run: from before (ahead of the skipped whitespace) to the next "<".
    void text(Node& node, char const* before) {
        auto const* lt = static_cast<char const*>(std::memchr(p_, '<', std::size_t(end_ - p_)));
        if (!lt) fail(kEndOfData, end_);
        // Only the first run is kept; later ones are still checked.
        bool const keep = node.value.empty();
        view const value = expand(before, lt, keep);
        if (keep) node.value = value;
        p_ = lt;
    }

    // After "</": the closing name is not compared with the opening one.
    void closingTag() {
        ++p_;
        while (has(kElemName)) ++p_;
        skipSpace();
        if (p_ == end_ || *p_ != '>') fail(kExpectedGt);
        ++p_;
    }

    // Expands references in [b, e). Without a reference the result is a view
    // of the input; otherwise it is built in the pool (keep) or only checked.
    view expand(char const* b, char const* e, bool keep) {
        auto const* amp = static_cast<char const*>(std::memchr(b, '&', std::size_t(e - b)));
        if (!amp) return view(b, std::size_t(e - b));

        // Expansion never lengthens the text, so its length bounds the copy.
        char* const out = doc_.allocChars(std::size_t(e - b));
        std::size_t const prefix = std::size_t(amp - b);
        std::memcpy(out, b, prefix);
        char* o = out + prefix;
        char const* s = amp;
        // Values between references are short: a byte loop beats memchr here.
        while (s != e) {
            if (*s != '&')
                *o++ = *s++;
            else
                s = reference(s, e, o);
        }
        view const result(out, std::size_t(o - out));
        doc_.releaseTail(keep ? o : out);
        return keep ? result : view{};
    }

    // One reference at s ("&"); writes its expansion at o and returns the
    // position after it. An unknown "&" is copied as it is.
    char const* reference(char const* s, char const* e, char*& o) {
        view const rest(s, std::size_t(e - s));
        auto named = [&](view entity, char ch) {
            if (!rest.starts_with(entity)) return false;
            *o++ = ch;
            return true;
        };
        if (rest.size() >= 4) {
            switch (rest[1]) {
            case 'a':
                if (named("&amp;", '&')) return s + 5;
                if (named("&apos;", '\'')) return s + 6;
                break;
            case 'l':
                if (named("&lt;", '<')) return s + 4;
                break;
            case 'g':
                if (named("&gt;", '>')) return s + 4;
                break;
            case 'q':
                if (named("&quot;", '"')) return s + 6;
                break;
            default:
                break;
            }
        }
        if (rest.size() >= 3 && rest[1] == '#') {
            bool const hex = rest[2] == 'x';
            char const* d = s + (hex ? 3 : 2);
            char const* const digits = d;
            std::uint32_t code = 0;
            for (; d != e; ++d) {
                unsigned v;
                char const c = *d;
                if (c >= '0' && c <= '9')
                    v = unsigned(c - '0');
                else if (hex && c >= 'a' && c <= 'f')
                    v = unsigned(c - 'a' + 10);
                else if (hex && c >= 'A' && c <= 'F')
                    v = unsigned(c - 'A' + 10);
                else
                    break;
                // Saturate so long digit runs cannot wrap into a valid code point.
                code = code * (hex ? 16 : 10) + v;
                if (code >= kCodePointEnd) code = kCodePointEnd;
            }
            if (d != digits) {
                if (d == e || *d != ';') fail(kExpectedSemicolon, d);
                // Only characters a document may contain: a reference to NUL,
                // another control character, a surrogate or U+FFFE/U+FFFF would
                // be printed raw into documents other parsers refuse.
                if (!isXmlChar(code)) fail(kInvalidEntity, s);
                o = utf8(code, o);
                return d + 1;
            }
        }
        *o++ = '&';
        return s + 1;
    }

    static bool isXmlChar(std::uint32_t code) {
        if (code < 0x20) return code == 0x9 || code == 0xA || code == 0xD;
        if (code >= 0xD800 && code <= 0xDFFF) return false;
        return code != 0xFFFE && code != 0xFFFF && code < kCodePointEnd;
    }

    static char* utf8(std::uint32_t code, char* o) {
        if (code < 0x80) {
            *o++ = char(code);
        } else if (code < 0x800) {
            *o++ = char(0xC0 | (code >> 6));
            *o++ = char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *o++ = char(0xE0 | (code >> 12));
            *o++ = char(0x80 | ((code >> 6) & 0x3F));
            *o++ = char(0x80 | (code & 0x3F));
        } else {
            *o++ = char(0xF0 | (code >> 18));
            *o++ = char(0x80 | ((code >> 12) & 0x3F));
            *o++ = char(0x80 | ((code >> 6) & 0x3F));
            *o++ = char(0x80 | (code & 0x3F));
        }
        return o;
    }

    xmlDocument<char>& doc_;
    char const* const origin_;  ///< start of the caller's view, for positions
    char const* p_;             ///< next byte to read
    char const* end_;           ///< end of the text without NUL padding
};

} // namespace

template <class Ch>
template <int Flags>
void xmlDocument<Ch>::parse(std::basic_string_view<Ch> text) {
    static_assert(Flags == kParseNonDestructive, "the parser has one mode");
    static_assert(std::is_same_v<Ch, char>, "the parser reads bytes");
    this->removeAll();
    Parser(*this, text).run();
}

template void xmlDocument<char>::parse<kParseNonDestructive>(std::string_view);
template class xmlDocument<char>;

} // namespace rapidxml
