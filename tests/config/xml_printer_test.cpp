#include "dvrcore/xml_document.h"
#include "dvrcore/xml_printer.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using rapidxml::kParseNonDestructive;
using rapidxml::NodeType;
using rapidxml::toXml;
using rapidxml::xmlLen;
using Doc = rapidxml::xmlDocument<char>;
using Node = rapidxml::xmlNode<char>;

namespace {

// Builds the published shape: declaration, root, nested elements.
struct Sample {
    Doc doc;
    Sample() {
        doc.appendNode(doc.newNode(NodeType::declaration));
        auto* root = doc.newNode(NodeType::element, "oREC");
        doc.appendNode(root);
        auto* memory = doc.newNode(NodeType::element, "Memory");
        memory->appendAttr(doc.newAttr("ID", "-2147483648"));
        memory->appendAttr(doc.newAttr("Throttling", "1"));
        root->appendNode(memory);
        auto* modules = doc.newNode(NodeType::element, "Modules");
        root->appendNode(modules);
        auto* module = doc.newNode(NodeType::element, "Module");
        module->value = "a<b & \"c\" 'd'";
        modules->appendNode(module);
    }
};

template <int Flags>
std::string print(Node const& n) {
    std::string const text = toXml<Flags>(n, false);
    EXPECT_EQ(text.size(), xmlLen<Flags>(n));
    return text;
}

} // namespace

TEST(XmlPrint, IndentsWithTabsOrPrintsOnOneLine) {
    Sample s;
    EXPECT_EQ(print<1>(s.doc),
              "<?xml?><oREC><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules>"
              "<Module>a&lt;b &amp; &quot;c&quot; &apos;d&apos;</Module></Modules></oREC>");
    EXPECT_EQ(print<0>(s.doc),
              "<?xml?>\n<oREC>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n\t<Modules>\n"
              "\t\t<Module>a&lt;b &amp; &quot;c&quot; &apos;d&apos;</Module>\n\t</Modules>\n</oREC>\n\n");
    // A subtree prints without its siblings, starting at depth 0.
    EXPECT_EQ(print<0>(*s.doc.node("oREC/Modules")), "<Modules>\n\t<Module>a&lt;b &amp; &quot;c&quot; &apos;d&apos;</Module>\n</Modules>\n");
    EXPECT_EQ(print<1>(*s.doc.node("oREC/Memory")), "<Memory ID=\"-2147483648\" Throttling=\"1\"/>");
}

TEST(XmlPrint, QuotesAttributeValuesByTheirContent) {
    Doc doc;
    auto* e = doc.newNode(NodeType::element, "e");
    doc.appendNode(e);
    e->appendAttr(doc.newAttr("both", "say \"it's\" <&>"));
    e->appendAttr(doc.newAttr("single", "it's <&>"));
    e->appendAttr(doc.newAttr("empty", ""));
    EXPECT_EQ(print<1>(doc), "<e both='say \"it&apos;s\" &lt;&amp;&gt;' single=\"it's &lt;&amp;&gt;\" empty=\"\"/>");
}

TEST(XmlPrint, MasksPasswordsOnlyWithTheFlag) {
    Doc doc;
    auto* e = doc.newNode(NodeType::element, "User");
    doc.appendNode(e);
    e->appendAttr(doc.newAttr("PassWord", "s3cr\"et"));
    e->appendAttr(doc.newAttr("password", ""));
    e->appendAttr(doc.newAttr("passwords", "shown"));
    EXPECT_EQ(print<2>(doc), "<User PassWord=\"*****\" password=\"*****\" passwords=\"shown\"/>\n\n");
    EXPECT_EQ(print<3>(doc), "<User PassWord=\"*****\" password=\"*****\" passwords=\"shown\"/>");
    EXPECT_EQ(print<1>(doc), "<User PassWord='s3cr\"et' password=\"\" passwords=\"shown\"/>");
    EXPECT_EQ(toXml(doc, true), print<1>(doc));
}

TEST(XmlPrint, OtherNodeKindsAndDataChildren) {
    Doc doc;
    auto* e = doc.newNode(NodeType::element, "e");
    doc.appendNode(e);
    auto* data = doc.newNode(NodeType::data);
    data->value = "1 < 2";
    e->appendNode(data);
    auto* f = doc.newNode(NodeType::element, "f");
    doc.appendNode(f);
    auto kinds = {std::pair{NodeType::cdata, "c"}, {NodeType::comment, "m"}, {NodeType::doctype, "d"},
                  {NodeType::pi, "v"}};
    for (auto [type, value] : kinds) {
        auto* n = doc.newNode(type, type == NodeType::pi ? "target" : "");
        n->value = value;
        f->appendNode(n);
    }
    EXPECT_EQ(print<1>(doc), "<e>1 &lt; 2</e><f><![CDATA[c]]><!--m--><!DOCTYPE d><?target v?></f>");
    EXPECT_EQ(print<0>(doc),
              "<e>1 &lt; 2</e>\n<f>\n\t<![CDATA[c]]>\n\t<!--m-->\n\t<!DOCTYPE d>\n\t<?target v?>\n</f>\n\n");
}

TEST(XmlPrint, ReserveAndTrim) {
    Sample s;
    auto const len = xmlLen<1>(s.doc);
    std::string const big = toXml(s.doc, 4 * len, false);
    EXPECT_GE(big.capacity(), 4 * len);
    std::string const trimmed = toXml(s.doc, 4 * len, true);
    EXPECT_EQ(trimmed, big);
    EXPECT_LT(trimmed.capacity(), 4 * len);
    EXPECT_EQ(toXml(s.doc, 0u, false), big);  // too small a reserve still prints it all
}

// Property: for random documents the printed length is xmlLen, and printing
// then parsing gives back the same tree, indented or not.
namespace {

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    void fill(Doc& doc) {
        if (coin(2)) doc.appendNode(doc.newNode(NodeType::declaration));
        unsigned const roots = 1 + pick(2);
        for (unsigned i = 0; i < roots; ++i) doc.appendNode(element(doc, 0));
    }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
    bool coin(unsigned oneIn) { return pick(oneIn) == 0; }

    std::string_view name() {
        static constexpr std::string_view kNames[] = {"oREC", "Memory", "Module", "Plugin", "a",
                                                      "x-y.z", "\xC3\xA9t\xC3\xA9", "p:q", "Password", "b\"c"};
        return kNames[pick(std::size(kNames))];
    }

    // Text from a mix of plain, special and non-ASCII bytes, never only whitespace.
    std::string text(bool allowEmpty) {
        static constexpr std::string_view kPieces[] = {"v", "42", " ", "\t", "\n", "&", "<", ">", "\"", "'",
                                                       "&amp;", "]]>", "\xE2\x82\xAC", "-->", "="};
        std::string s;
        unsigned const n = pick(8);
        for (unsigned i = 0; i < n; ++i) s += kPieces[pick(std::size(kPieces))];
        if (!allowEmpty && s.find_first_not_of(" \t\r\n") == std::string::npos) s += 'x';
        return s;
    }

    Node* element(Doc& doc, unsigned depth) {
        auto* e = doc.newNode(NodeType::element, name());
        unsigned const attrs = pick(4);
        for (unsigned i = 0; i < attrs; ++i) e->appendAttr(doc.newAttr(name(), text(true)));
        // Either text or children: an element's text is not printed beside children.
        if (depth < 6 && coin(2)) {
            unsigned const children = 1 + pick(4);
            for (unsigned i = 0; i < children; ++i) e->appendNode(element(doc, depth + 1));
        } else if (coin(2)) {
            e->value = doc.copy(text(false));
        }
        return e;
    }

    std::mt19937 rng_;
};

// Same elements, names, values and attributes (declarations are not parsed back).
void expectSameTree(Node const& a, Node const& b, std::string const& where) {
    ASSERT_EQ(a.name, b.name) << where;
    ASSERT_EQ(a.value, b.value) << where;
    auto const* x = a.firstAttr;
    auto const* y = b.firstAttr;
    for (; x && y; x = x->next, y = y->next) {
        ASSERT_EQ(x->name, y->name) << where;
        ASSERT_EQ(x->value, y->value) << where;
    }
    ASSERT_EQ(x == nullptr, y == nullptr) << where;
    auto skipDecl = [](Node const* n) {
        while (n && n->type == NodeType::declaration) n = n->next;
        return n;
    };
    Node const* c = skipDecl(a.firstChild);
    Node const* d = skipDecl(b.firstChild);
    for (; c && d; c = skipDecl(c->next), d = skipDecl(d->next)) expectSameTree(*c, *d, where + "/" + std::string(c->name));
    ASSERT_EQ(c == nullptr, d == nullptr) << where;
}

template <int Flags>
void roundTrip(Doc const& doc, unsigned seed) {
    std::string const text = toXml<Flags>(doc, false);
    ASSERT_EQ(text.size(), xmlLen<Flags>(doc)) << "seed " << seed;
    auto again = std::make_unique<Doc>();
    ASSERT_NO_THROW(again->parse<kParseNonDestructive>(text)) << text;
    expectSameTree(doc, *again, "seed " + std::to_string(seed) + " flags " + std::to_string(Flags));
    EXPECT_EQ(toXml<Flags>(*again, false), text.substr(doc.firstChild->type == NodeType::declaration
                                                           ? (Flags & rapidxml::kPrintNoIndent ? 7 : 8)
                                                           : 0));
}

} // namespace

TEST(XmlPrint, LengthAndRoundTripHoldForGeneratedDocuments) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        Generator gen(seed);
        auto doc = std::make_unique<Doc>();
        gen.fill(*doc);
        roundTrip<0>(*doc, seed);
        roundTrip<1>(*doc, seed);
        // Masking changes only lengths of the masked values, consistently.
        EXPECT_EQ(toXml<2>(*doc, false).size(), xmlLen<2>(*doc));
        EXPECT_EQ(toXml<3>(*doc, false).size(), xmlLen<3>(*doc));
        if (HasFatalFailure()) return;
    }
}

TEST(XmlPrint, RoundTripsParsedConfiguration) {
    std::string const text =
        "<?xml version=\"1.0\"?>\n<oREC>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
        "\t<Modules TotalLoadTimeMs=\"12\" TotalOpenTimeMs=\"3\">\n\t\t<Module Name=\"Core\">\n"
        "\t\t\t<Plugin ID=\"-2147483648\" LogLevel=\"25\" Note='a &amp; b &#x263A;'>  x </Plugin>\n"
        "\t\t</Module>\n\t</Modules>\n</oREC>\n";
    Doc doc;
    doc.parse<kParseNonDestructive>(text);
    std::string const printed = print<0>(doc);
    Doc again;
    again.parse<kParseNonDestructive>(printed);
    expectSameTree(doc, again, "config");
    EXPECT_EQ(print<0>(again), printed);
}
