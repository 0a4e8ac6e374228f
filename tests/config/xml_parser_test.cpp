#include "dvrcore/xml_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

using namespace std::string_view_literals;
using rapidxml::kParseNonDestructive;
using rapidxml::NodeType;
using rapidxml::parse_error;
using Doc = rapidxml::xmlDocument<char>;

namespace {

std::unique_ptr<Doc> parse(std::string_view text) {
    auto doc = std::make_unique<Doc>();
    doc->parse<kParseNonDestructive>(text);
    return doc;
}

// The message of the parse error the text raises, or "" when it parses.
std::string errorOf(std::string_view text, std::size_t* position = nullptr) {
    Doc doc;
    try {
        doc.parse<kParseNonDestructive>(text);
    } catch (parse_error const& e) {
        if (position) *position = e.position();
        return e.what();
    }
    return "";
}

bool insideInput(std::string_view input, std::string_view v) {
    return v.data() >= input.data() && v.data() + v.size() <= input.data() + input.size();
}

} // namespace

TEST(XmlParse, BuildsElementsAndAttributesAsViewsOfTheInput) {
    std::string const text =
        "<?xml version=\"1.0\"?>\n<oREC a='1' b = \"two\">\n\t<Memory Throttling=\"0\"/>\n"
        "\t<Modules><Module/><Module x='y'>text</Module></Modules>\n</oREC>\n<second/>";
    auto doc = parse(text);
    auto* root = doc->firstChild;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->name, "oREC");
    EXPECT_EQ(root->type, NodeType::element);
    EXPECT_EQ(root->parent, doc.get());
    EXPECT_EQ(root->next->name, "second");  // several top-level elements, no declaration node
    EXPECT_EQ(doc->lastChild, root->next);
    EXPECT_EQ(root->firstAttr->name, "a");
    EXPECT_EQ(root->firstAttr->value, "1");
    EXPECT_EQ(root->lastAttr->name, "b");
    EXPECT_EQ(root->lastAttr->value, "two");
    EXPECT_EQ(root->lastAttr->prev, root->firstAttr);
    EXPECT_EQ(root->lastAttr->parent, root);
    auto* module = root->node("Modules/Module")->nextSibling("Module");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->value, "text");
    EXPECT_EQ(module->prev->name, "Module");
    EXPECT_TRUE(insideInput(text, module->value));
    EXPECT_TRUE(insideInput(text, module->firstAttr->value));
    EXPECT_TRUE(insideInput(text, root->name));
}

TEST(XmlParse, KeepsOnlyTheFirstTextRunWithItsWhitespace) {
    auto doc = parse("<r><a>  x </a><b> \n\t </b><c>first<empty/>second</c></r>");
    auto* r = doc->firstChild;
    EXPECT_EQ(r->node("a")->value, "  x ");
    EXPECT_TRUE(r->node("b")->value.empty());
    EXPECT_EQ(r->node("c")->value, "first");
    EXPECT_EQ(r->node("c")->firstChild->name, "empty");
    EXPECT_EQ(r->node("c")->firstChild->next, nullptr);  // no data nodes
    EXPECT_TRUE(r->value.empty());
}

TEST(XmlParse, AcceptsMismatchedClosingNames) {
    auto doc = parse("<a><b>v</c ></zz>");
    EXPECT_EQ(doc->node("a/b")->value, "v");
}

TEST(XmlParse, SkipsPrologueCommentsCdataAndInstructions) {
    auto doc = parse(
        "\xEF\xBB\xBF<?xml version='1.0'?><!DOCTYPE r [ <!ELEMENT r (#PCDATA)> <!ENTITY x '>'> ]>"
        "<!-- c > -- --><?pi stuff ?><r><![CDATA[<ignored/>]]><!other><?pi?><k/></r><!-- end -->"
        "\0\0\0"sv);
    auto* r = doc->firstChild;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->name, "r");
    EXPECT_EQ(r->next, nullptr);
    EXPECT_EQ(r->firstChild->name, "k");
    EXPECT_EQ(r->firstChild->next, nullptr);  // CDATA text is dropped
    EXPECT_TRUE(r->value.empty());
}

// Well-formed documents whose DOCTYPE quotes or comments '>', '[' or ']'.
TEST(XmlParse, DoctypeLiteralsAndCommentsAreSkippedWhole) {
    for (std::string_view text : {"<!DOCTYPE a SYSTEM \"a>b.dtd\"><a/>"sv, "<!DOCTYPE a PUBLIC 'x]' 'y[>'><a/>"sv,
                                  "<!DOCTYPE a [ <!-- ]> --> <!ENTITY e \"[\"> <?pi ]>?> ]><a/>"sv}) {
        auto doc = parse(text);
        ASSERT_NE(doc->firstChild, nullptr) << text;
        EXPECT_EQ(doc->firstChild->name, "a") << text;
        EXPECT_EQ(doc->firstChild->next, nullptr) << text;
    }
}

TEST(XmlParse, ByteClassesDecideNamesAndLetQuotesNest) {
    auto doc = parse("<a<b c\"d='x\"y' e=\"it's\"/>");
    auto* n = doc->firstChild;
    EXPECT_EQ(n->name, "a<b");
    EXPECT_EQ(n->firstAttr->name, "c\"d");
    EXPECT_EQ(n->firstAttr->value, "x\"y");
    EXPECT_EQ(n->lastAttr->value, "it's");
    // No whitespace between attributes is needed; non-ASCII bytes are name bytes.
    auto d2 = parse("<\xC3\xA9l a='1'b='2'/>");
    EXPECT_EQ(d2->firstChild->name, "\xC3\xA9l");
    EXPECT_EQ(d2->firstChild->lastAttr->name, "b");
}

TEST(XmlParse, ExpandsReferencesIntoThePoolOnlyWhenPresent) {
    std::string const text =
        "<r a='&lt;&amp;&gt;&quot;&apos;' b='&unknown; & &amp' c='&#65;&#x42;&#xe9;&#8364;&#x1F600;'>"
        "x &lt; y</r>";
    auto doc = parse(text);
    auto* r = doc->firstChild;
    EXPECT_EQ(r->attrText("a"), "<&>\"'");
    EXPECT_EQ(r->attrText("b"), "&unknown; & &amp");
    EXPECT_EQ(r->attrText("c"), "AB\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(r->value, "x < y");
    EXPECT_FALSE(insideInput(text, r->value));
    // "&#" without digits, and "&#X" with a capital X, are not references.
    auto d2 = parse("<r a='&#;&#x;&#X41;&#'/>");
    EXPECT_EQ(d2->firstChild->attrText("a"), "&#;&#x;&#X41;&#");
    // The largest code point is accepted.
    auto d3 = parse("<r>&#x10FFFF;&#1114111;</r>");
    EXPECT_EQ(d3->firstChild->value, "\xF4\x8F\xBF\xBF\xF4\x8F\xBF\xBF");
}

TEST(XmlParse, DoesNotNeedATerminatedViewAndStopsAtItsEnd) {
    std::string const text = "<a>x</a><b>yyyy</b>";
    auto doc = parse(std::string_view(text).substr(0, 8));
    EXPECT_EQ(doc->firstChild->name, "a");
    EXPECT_EQ(doc->firstChild->next, nullptr);
    EXPECT_EQ(errorOf(std::string_view(text).substr(0, 10)), "expected element name");
    auto empty = parse("");
    EXPECT_EQ(empty->firstChild, nullptr);
    auto padding = parse(" \n\0\0"sv);
    EXPECT_EQ(padding->firstChild, nullptr);
}

TEST(XmlParse, ParsingAgainReplacesTheTree) {
    Doc doc;
    doc.parse<kParseNonDestructive>("<a x='1'/>");
    doc.parse<kParseNonDestructive>("<b/>");
    EXPECT_EQ(doc.firstChild->name, "b");
    EXPECT_EQ(doc.firstChild, doc.lastChild);
    doc.clear();
    EXPECT_EQ(doc.firstChild, nullptr);
}

TEST(XmlParse, ReportsEveryFaultWithItsPosition) {
    struct Case {
        std::string_view text;
        std::string_view message;
        std::size_t position;
    };
    Case const cases[] = {
        {" x", "expected <", 1},
        {"<a/>text", "expected <", 4},
        {"<a>", "unexpected end of data", 3},
        {"<a>text", "unexpected end of data", 7},
        {"<a><b></b>", "unexpected end of data", 10},
        {"<!DOCTYPE a [ > ", "unexpected end of data", 16},
        {"<!-- x ->", "unexpected end of data", 9},
        {"<!-->", "unexpected end of data", 5},
        {"<!x", "unexpected end of data", 3},
        {"<?pi x", "unexpected end of data", 6},
        {"<a><![CDATA[ x ]]", "unexpected end of cdata", 17},
        {"<?xml version='1.0' >", "expected ?>", 21},
        {"<", "expected element name", 1},
        {"< a/>", "expected element name", 1},
        {"<>", "expected element name", 1},
        {"<abc", "expected element name", 4},
        {"<a x='1'", "expected >", 8},
        {"<a/ >", "expected >", 2},
        {"<a =1>", "expected >", 3},
        {"<a></a", "expected >", 6},
        {"<a></a x>", "expected >", 7},
        {"<a x>", "expected =", 4},
        {"<a x", "expected =", 4},
        {"<a x=1>", "expected ' or \"", 5},
        {"<a x='1>", "expected ' or \"", 8},
        {"<a x=", "expected ' or \"", 5},
        {"<a x='&#65'/>", "expected ;", 10},
        {"<a>&#x41 </a>", "expected ;", 8},
        {"<a>&#65</a>", "expected ;", 7},
        {"<a>&#x110000;</a>", "invalid numeric character entity", 3},
        {"<a>&#99999999999999999999999;</a>", "invalid numeric character entity", 3},
        {"<a>&#0;</a>", "invalid numeric character entity", 3},
        // Characters no document may hold: other parsers refuse what we would print.
        {"<a x='&#1;'/>", "invalid numeric character entity", 6},
        {"<a>&#x1F;</a>", "invalid numeric character entity", 3},
        {"<a>&#xD800;</a>", "invalid numeric character entity", 3},
        {"<a>&#xDFFF;</a>", "invalid numeric character entity", 3},
        {"<a>&#xFFFE;</a>", "invalid numeric character entity", 3},
        {"<a>&#65535;</a>", "invalid numeric character entity", 3},
        {"<!DOCTYPE a SYSTEM \"a>b", "unexpected end of data", 23},
        // Later text runs are dropped but still checked.
        {"<a>ok<b/>&#x;&#65</a>", "expected ;", 17},
        {"<a>x\0y</a>"sv, "unexpected NUL character", 4},
        {"<!-- \0 -->"sv, "unexpected NUL character", 5},
        {"\0<a/>"sv, "unexpected NUL character", 0},
    };
    for (auto const& c : cases) {
        std::size_t position = ~std::size_t(0);
        EXPECT_EQ(errorOf(c.text, &position), c.message) << c.text;
        EXPECT_EQ(position, c.position) << c.text;
    }
}

TEST(XmlParse, BoundsNestingDepth) {
    auto nested = [](unsigned depth) {
        std::string s;
        for (unsigned i = 0; i < depth; ++i) s += "<e>";
        for (unsigned i = 0; i < depth; ++i) s += "</e>";
        return s;
    };
    std::string const deepest = nested(rapidxml::kMaxDepth);
    auto doc = parse(deepest);
    std::string path;
    for (unsigned i = 0; i < rapidxml::kMaxDepth; ++i) path += "e/";
    EXPECT_NE(doc->node(path), nullptr);
    EXPECT_EQ(errorOf(nested(rapidxml::kMaxDepth + 1)), "element nesting too deep");
    // A hostile document far deeper than the limit fails the same way.
    std::string hostile;
    for (int i = 0; i < 1'000'000; ++i) hostile += "<a>";
    EXPECT_EQ(errorOf(hostile), "element nesting too deep");
    // Empty elements at the limit do not open a level.
    EXPECT_EQ(errorOf(nested(rapidxml::kMaxDepth - 1).insert(rapidxml::kMaxDepth * 3 - 3, "<x/><y/>")), "");
}
