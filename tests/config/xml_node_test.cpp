#include "dvrcore/xml_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using rapidxml::kParseNonDestructive;
using rapidxml::NodeType;
using Doc = rapidxml::xmlDocument<char>;

TEST(XmlNode, PathLookupTakesTheFirstMatchingElementAtEachStep) {
    Doc doc;
    doc.parse<kParseNonDestructive>(
        "<oREC><Memoryx/><memory/><Memory n='1'><Deep/></Memory><Memory n='2'/></oREC><oREC><Memory n='3'/></oREC>");
    auto* memory = doc.node("oREC/Memory");
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->attrText("n"), "1");
    EXPECT_EQ(doc.node("oREC/Memory/"), memory);
    EXPECT_EQ(doc.node("oREC/Memory/Deep")->name, "Deep");
    EXPECT_EQ(doc.node(""), doc.firstChild);
    EXPECT_EQ(doc.node("oREC/")->node(""), doc.firstChild->firstChild);
    EXPECT_EQ(doc.node("oREC/Memory/Missing"), nullptr);
    EXPECT_EQ(doc.node("oREC/Memory/Deep/x"), nullptr);
    EXPECT_EQ(doc.node("Memory"), nullptr);
    EXPECT_EQ(memory->nextSibling("Memory")->attrText("n"), "2");
    EXPECT_EQ(memory->nextSibling("Memory")->nextSibling("Memory"), nullptr);
    EXPECT_EQ(doc.firstChild->nextSibling("oREC")->node("Memory")->attrText("n"), "3");
}

TEST(XmlNode, BooleanReads) {
    Doc doc;
    doc.parse<kParseNonDestructive>(
        "<a e='' z='0' o='1' x='x' f='False' F='FALSE' off='off' t='true' y='yes' n='no' f1='FALSE1' ff='falsy'/>");
    auto const* a = doc.firstChild;
    EXPECT_TRUE(a->attr("missing", true));
    EXPECT_FALSE(a->attr("missing", false));
    EXPECT_TRUE(a->attr("e", true));
    EXPECT_FALSE(a->attr("e", false));
    EXPECT_FALSE(a->attr("z", true));
    EXPECT_TRUE(a->attr("o", false));
    EXPECT_TRUE(a->attr("x", false));
    EXPECT_FALSE(a->attr("f", true));
    EXPECT_FALSE(a->attr("F", true));
    EXPECT_TRUE(a->attr("off", true));
    EXPECT_TRUE(a->attr("t", false));
    EXPECT_TRUE(a->attr("y", false));
    EXPECT_TRUE(a->attr("n", false));
    EXPECT_TRUE(a->attr("f1", false));
    EXPECT_TRUE(a->attr("ff", false));
    EXPECT_TRUE(a->attr("", true));  // the first attribute, which is empty
}

TEST(XmlNode, IntegerReads) {
    Doc doc;
    doc.parse<kParseNonDestructive>(
        "<a v='12abc' min='-2147483648' max='2147483647' over='2147483648' under='-2147483649' plus='+5' "
        "ws=' 5' minus='-' e='' zero='-0' big='99999999999999999999999' "
        "lmin='-9223372036854775808' lmax='9223372036854775807' lover='9223372036854775808'/>");
    auto const* a = doc.firstChild;
    EXPECT_EQ(a->attr<int>("v", 7), 12);
    EXPECT_EQ(a->attr<int>("min", 7), INT32_MIN);
    EXPECT_EQ(a->attr<int>("max", 7), INT32_MAX);
    EXPECT_EQ(a->attr<int>("over", 7), 7);
    EXPECT_EQ(a->attr<int>("under", 7), 7);
    EXPECT_EQ(a->attr<int>("plus", 7), 7);
    EXPECT_EQ(a->attr<int>("ws", 7), 7);
    EXPECT_EQ(a->attr<int>("minus", 7), 7);
    EXPECT_EQ(a->attr<int>("e", 7), 7);
    EXPECT_EQ(a->attr<int>("zero", 7), 0);
    EXPECT_EQ(a->attr<int>("missing", 7), 7);
    EXPECT_EQ(a->attr<int>("", 7), 12);
    EXPECT_EQ(a->attr<long long>("over", 7), 2147483648LL);
    EXPECT_EQ(a->attr<long long>("under", 7), -2147483649LL);
    EXPECT_EQ(a->attr<long long>("lmin", 7), INT64_MIN);
    EXPECT_EQ(a->attr<long long>("lmax", 7), INT64_MAX);
    EXPECT_EQ(a->attr<long long>("lover", 7), 7);
    EXPECT_EQ(a->attr<long long>("big", 7), 7);
    EXPECT_EQ(a->attr<long long>("minus", 7), 7);
}

TEST(XmlNode, BuildsTreesFromThePool) {
    Doc doc;
    auto* decl = doc.newNode(NodeType::declaration);
    doc.appendNode(decl);
    auto* root = doc.newNode(NodeType::element, "oREC");
    doc.appendNode(root);
    std::string value = "temporary";
    auto* a = doc.newAttr("Name", value);
    value.assign("overwritten");
    root->appendAttr(a);
    root->appendAttr(doc.newAttr("Other", "2"));
    EXPECT_EQ(root->attrText("Name"), "temporary");  // the value was copied
    EXPECT_EQ(a->parent, root);
    EXPECT_EQ(root->lastAttr->prev, a);
    auto* child = doc.newNode(NodeType::element, "Product");
    root->appendNode(child);
    EXPECT_EQ(doc.node("oREC/Product"), child);
    root->removeNode(child);
    EXPECT_EQ(root->firstChild, nullptr);
    EXPECT_EQ(root->lastChild, nullptr);
    EXPECT_EQ(doc.firstChild, decl);
    EXPECT_EQ(decl->next, root);
}

TEST(XmlNode, PoolAlignsAndGrowsPastItsInlineBlock) {
    Doc doc;
    using Pool = rapidxml::memory_pool<char>;
    // Odd-sized text followed by nodes: every node stays aligned.
    for (int i = 0; i < 20'000; ++i) {
        doc.copy("abc");
        auto* n = doc.newNode(NodeType::element, "e");
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(n) % Pool::kAlign, 0u);
        doc.appendNode(n);
    }
    // A value larger than a whole block gets a block of its own.
    std::string big(3 * Pool::kBlockSize, 'v');
    auto* a = doc.newAttr("big", big);
    EXPECT_EQ(a->value, big);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(doc.alloc_aligned(1)) % Pool::kAlign, 0u);
    doc.clear();
    EXPECT_EQ(doc.firstChild, nullptr);
    // After clear the inline block serves small documents again.
    auto* n = doc.alloc_aligned(16);
    EXPECT_GE(static_cast<void*>(n), static_cast<void*>(&doc));
    EXPECT_LT(static_cast<void*>(n), static_cast<void*>(&doc + 1));
}

namespace {
int hookAllocs = 0;
int hookFrees = 0;
void* countingAlloc(std::size_t n) {
    ++hookAllocs;
    return ::operator new(n);
}
void countingFree(void* p) {
    ++hookFrees;
    ::operator delete(p);
}
void* failingAlloc(std::size_t) { return nullptr; }
} // namespace

TEST(XmlNode, PoolUsesItsAllocatorHooks) {
    {
        Doc doc;
        doc.set_allocator(countingAlloc, countingFree);
        std::string text = "<r>";
        for (int i = 0; i < 2000; ++i) text += "<e a='1' b='2'/>";
        text += "</r>";
        doc.parse<kParseNonDestructive>(text);
        EXPECT_GT(hookAllocs, 0);
        EXPECT_LT(hookAllocs, 10);  // 64 KiB blocks, not one per node
    }
    EXPECT_EQ(hookFrees, hookAllocs);
    Doc doc;
    doc.set_allocator(failingAlloc, countingFree);
    EXPECT_THROW(doc.alloc_aligned(100'000), std::bad_alloc);
}
