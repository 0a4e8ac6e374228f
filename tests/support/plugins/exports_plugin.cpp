// A test plugin that calls every function and class member the core exports
// to plugins (core/exports.list) and checks what each returns, so it loads
// only when every export resolves and reports when one misbehaves across the
// boundary. It is built without inlining, as a plugin's debug build would be,
// so it calls the core's copy of every inline member of the XML toolkit's
// templates too; tests/plugin/exports_test.cpp checks that it binds to every
// listed export.
//
// It writes "Exports <entry> <details>" lines to probe-trace.txt in the working
// directory and posts "exports plugin: ..." log lines. The checks run in Open
// and, for the payload counters, on the first configuration event; then, with
// PROBE_Exports_STOP=event the plugin stops the core from that OnEvent call,
// with PROBE_Exports_STOP=thread from a thread of its own (dvrcore/core_api.h).
#include "dvrcore/store.h"
#include "dvrcore/xml_document.h"
#include "dvrcore/xml_printer.h"
#include "dvrcore/core_api.h"
#include "dvrcore/drm_crypto.h"
#include "dvrcore/encryptor.h"
#include "dvrcore/ox_crypto.h"
#include "dvrcore/plugin_interface.h"
#include "dvrcore/process_info.h"
#include "test_plugin_support.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace exports_plugin {
/// exports_plugin_inlined.cpp: grows a pool through inlined members.
bool poolGrowsInline();
} // namespace exports_plugin

namespace {

using namespace std::string_view_literals;

constexpr uint32_t kAddress = 0x001B0000u;
constexpr unsigned kPluginId = (kAddress >> 16) & 0xFFu;
constexpr char const* kName = "Exports";

ox_EventCallback g_post = nullptr;
int g_checks = 0;               ///< main thread (Open, OnEvent)
std::string g_failed;           ///< texts of the failed checks; main thread
bool g_summarised = false;      ///< main thread
std::thread g_stopper;          ///< STOP=thread; joined in Close

void trace(std::string const& line) { test_plugin::trace(kName, line); }

void postLog(std::string const& text) {
    auto e = testing_support::Record(kAddress | 1u, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD).withText(text);
    e.level = 25;
    g_post(&e, nullptr);
}

void check(bool ok, char const* what, int line) {
    ++g_checks;
    if (!ok) g_failed += " [" + std::to_string(line) + ": " + what + "]";
}
#define CHECK(...) check(static_cast<bool>(__VA_ARGS__), #__VA_ARGS__, __LINE__)

using test_plugin::hex;

unsigned char const* bytes(std::string_view s) { return reinterpret_cast<unsigned char const*>(s.data()); }

std::string readFile(char const* path) {
    std::string out;
    if (std::FILE* f = std::fopen(path, "rb")) {
        char buf[512];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

void checkCore() {
    CHECK(GetCore() != nullptr);
    // The core has taken on its parent's user, which is ours too.
    CHECK(GetParentUid() == ::getuid());
    CHECK(oxmem::stats.refs[kPluginId].load() == 0);
}

void checkConfigStore() {
    std::string const xml = "<?xml version=\"1.0\"?><exports n=\"1\"/>";
    oxcfg::saveConfig("exports-plugin.xml", xml);
    CHECK(oxcfg::loadConfig("exports-plugin.xml") == xml);
    std::string refusal;
    try {
        oxcfg::saveConfig("exports-plugin.xml", "not xml");
    } catch (std::runtime_error const& e) {
        refusal = e.what();
    }
    CHECK(refusal == "Failed - not xml content");
    CHECK(oxcfg::loadConfig("exports-plugin.xml") == xml);
    std::string_view const opaque("\0\1\2opaque\xff", 10);
    oxcfg::saveConfigOpaque("exports-plugin.bin", opaque);
    CHECK(readFile("exports-plugin.bin") == opaque);
}

void checkGuids() {
    _GUID a{}, b{};
    CHECK(CoCreateGuid(&a) == 0);
    CHECK(CoCreateGuid(&b) == 0);
    CHECK(std::memcmp(&a, &b, sizeof a) != 0);
    char text[OX_GUID_TEXT_SIZE + 1];
    std::memset(text, '#', sizeof text);
    CHECK(GuidToText(a, text, OX_GUID_TEXT_SIZE - 1) == 0 && text[0] == '#');
    CHECK(GuidToText(a, text, OX_GUID_TEXT_SIZE) == 1);
    char first[9];
    std::snprintf(first, sizeof first, "%08x", a.Data1);
    CHECK(std::strlen(text) == 36 && std::string_view(text, 8) == first && text[8] == '-' && text[13] == '-' &&
          text[18] == '-' && text[23] == '-');
    char iv1[16], iv2[16];
    GenerateIV16(iv1);
    GenerateIV16(iv2);
    CHECK(std::memcmp(iv1, iv2, sizeof iv1) != 0);
}

void checkAes() {
    // FIPS-197 appendix C: key 00 01 02 ..., plaintext 00 11 22 ... ff.
    unsigned char key[32], plain[16], out[16], back[16];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 16; ++i) plain[i] = static_cast<unsigned char>(i * 0x11);
    struct Vector {
        int bits;
        char const* cipher;
    } const vectors[] = {
        {128, "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {192, "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {256, "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (auto const& v : vectors) {
        aes_encrypt_ctx ec{};
        aes_decrypt_ctx dc{};
        int const rc = v.bits == 128 ? aes_encrypt_key128(key, &ec) + aes_decrypt_key128(key, &dc)
                       : v.bits == 192 ? aes_encrypt_key192(key, &ec) + aes_decrypt_key192(key, &dc)
                                       : aes_encrypt_key256(key, &ec) + aes_decrypt_key256(key, &dc);
        CHECK(rc == 0 && ec.rounds == static_cast<uint32_t>(6 + v.bits / 32));
        CHECK(aes_encrypt(plain, out, &ec) == 0 && hex(out, 16) == v.cipher);
        CHECK(aes_decrypt(out, back, &dc) == 0 && std::memcmp(back, plain, 16) == 0);
        // The selectors take the length in bytes or in bits.
        aes_encrypt_ctx ec2{};
        aes_decrypt_ctx dc2{};
        CHECK(aes_encrypt_key(key, v.bits / 8, &ec2) == 0 && aes_encrypt(plain, out, &ec2) == 0 &&
              hex(out, 16) == v.cipher);
        CHECK(aes_decrypt_key(key, v.bits, &dc2) == 0 && aes_decrypt(out, back, &dc2) == 0 &&
              std::memcmp(back, plain, 16) == 0);
    }
    aes_encrypt_ctx unkeyed{};
    aes_decrypt_ctx unkeyedDec{};
    CHECK(aes_encrypt_key(key, 20, &unkeyed) == -1 && aes_decrypt_key(key, 100, &unkeyedDec) == -1);
    CHECK(aes_encrypt(plain, out, &unkeyed) == OX_AES_BAD_ROUNDS);
    CHECK(aes_decrypt(plain, out, &unkeyedDec) == OX_AES_BAD_ROUNDS);
}

/// One block compiled by hand leaves the state that hashing it leaves.
template <class Ctx>
bool compiledAsHashed(void (*begin)(Ctx*), void (*hash)(unsigned char const*, size_t, Ctx*), void (*compile)(Ctx*)) {
    Ctx byHand, hashed;
    unsigned char block[sizeof byHand.buf];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(i * 7);
    begin(&byHand);
    std::memcpy(byHand.buf, block, sizeof block);
    compile(&byHand);
    begin(&hashed);
    hash(block, sizeof block, &hashed);
    return std::memcmp(byHand.hash, hashed.hash, sizeof hashed.hash) == 0;
}

void checkSha2() {
    auto const abc = bytes("abc");
    std::string const d224 = "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7";
    std::string const d256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::string const d384 = "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
                             "8086072ba1e7cc2358baeca134c825a7";
    std::string const d512 = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                             "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
    unsigned char d[64];
    sha224(d, abc, 3);
    CHECK(hex(d, 28) == d224);
    sha256(d, abc, 3);
    CHECK(hex(d, 32) == d256);
    sha384(d, abc, 3);
    CHECK(hex(d, 48) == d384);
    sha512(d, abc, 3);
    CHECK(hex(d, 64) == d512);

    sha256_ctx c256;
    sha224_begin(&c256);
    sha256_hash(abc, 1, &c256);
    sha256_hash(abc + 1, 2, &c256);
    sha224_end(d, &c256);
    CHECK(hex(d, 28) == d224);
    sha256_begin(&c256);
    sha256_hash(abc, 3, &c256);
    sha256_end(d, &c256);
    CHECK(hex(d, 32) == d256);
    sha512_ctx c512;
    sha384_begin(&c512);
    sha512_hash(abc, 3, &c512);
    sha384_end(d, &c512);
    CHECK(hex(d, 48) == d384);
    sha512_begin(&c512);
    sha512_hash(abc, 2, &c512);
    sha512_hash(abc + 2, 1, &c512);
    sha512_end(d, &c512);
    CHECK(hex(d, 64) == d512);

    sha2_ctx c2;
    CHECK(sha2_begin(100, &c2) == 1);
    CHECK(sha2_begin(256, &c2) == 0);
    sha2_hash(abc, 3, &c2);
    sha2_end(d, &c2);
    CHECK(hex(d, 32) == d256);
    CHECK(sha2_begin(48, &c2) == 0);
    sha2_hash(abc, 3, &c2);
    sha2_end(d, &c2);
    CHECK(hex(d, 48) == d384);

    CHECK(compiledAsHashed(sha256_begin, sha256_hash, sha256_compile));
    CHECK(compiledAsHashed(sha512_begin, sha512_hash, sha512_compile));
}

/// Subclasses call the base-object constructors and destructors, which the
/// core exports beside the complete-object ones.
struct PluginDrm : CDrmCrypto {};
struct PluginEncryptor : COrvelEncryptor {
    using COrvelEncryptor::COrvelEncryptor;
};

void checkDrm() {
    PluginDrm drm;
    CHECK(drm.XpowYmodN(2, 10, 1000) == 24);
    int thrown = -1;
    try {
        drm.XpowYmodN(5, 0, 7);
    } catch (int e) {
        thrown = e;
    }
    CHECK(thrown == 0);
    CHECK(!drm.IsItPrime(2, 1));
    CHECK(drm.IsItPrime(2, 7));
    CHECK(drm.MillerRabin(10, 5) == 0); // no base in 2..8 passes for 10
    CHECK(drm.MillerRabin(7919, 5) == 1);
    long long const p = drm.GeneratePrime(false);
    CHECK(p > 2 && p < (1LL << 31) && p % 2 == 1 && drm.MillerRabin(p, 5) == 1);
    long long const safe = drm.GeneratePrime(true);
    CHECK(safe > 5 && drm.MillerRabin(safe, 5) == 1 && drm.MillerRabin((safe - 1) / 2, 5) == 1);
    drm.CleanMem(CDrmCrypto::kKeepLast);
    drm.CleanMem(CDrmCrypto::kWipeAll);
    CDrmCrypto plain; // the complete-object destructor
    CHECK(plain.XpowYmodN(3, 3, 100) == 27);
}

void checkEncryptorBuffers() {
    using E = COrvelEncryptor;
    std::string key;
    E::MakeDefaultKey(key, 32);
    CHECK(key.size() == 32 && key.substr(0, 8) == key.substr(8, 8) && key.substr(0, 8) == key.substr(24, 8));

    E enc(true, true);
    CHECK(enc.key == key.substr(0, 16) && enc.zeroPadding && enc.keyMode == E::Key16);
    enc.SetKey("the exports plugin key, 32 bytes!", E::Key32);
    CHECK(enc.key == "the exports plugin key, 32 bytes" && enc.keyMode == E::Key32);
    enc.zeroPadding = false;
    enc.Init();
    CHECK(enc.zeroPadding && enc.keyMode == E::Key16 && enc.key.size() == 32);

    std::vector<unsigned char> work(4096);
    std::string const text = "plain text for the transformed format, plain text for the transformed format";
    uint32_t len = 0;
    int err = 1, zerr = 1;
    len = static_cast<uint32_t>(text.size());
    CHECK(enc.TransformBuffer(bytes(text), len, err, zerr) == nullptr && len == 0 && err == E::WorkBufferInvalid);
    enc.workBuffer = work.data();
    enc.workCapacity = static_cast<uint32_t>(work.size());
    len = static_cast<uint32_t>(text.size());
    unsigned char* image = enc.TransformBuffer(bytes(text), len, err, zerr);
    CHECK(image == work.data() && err == 0 && len > 16 && (len - 16) % 16 == 0);
    std::vector<unsigned char> const copy(work.data(), work.data() + len);
    unsigned char* restored = enc.DetransformBuffer(copy.data(), len, err, zerr);
    CHECK(restored && err == 0 && len == text.size() && std::memcmp(restored, text.data(), len) == 0);
    CHECK(restored == work.data() + enc.lastOutputOffset && enc.lastOutputLength == len);

    E zip(true, false);
    std::vector<unsigned char> packed(512), unpacked(512);
    uint32_t packedLen = static_cast<uint32_t>(packed.size());
    CHECK(zip.Compress(bytes(text), static_cast<uint32_t>(text.size()), packed.data(), packedLen, zerr) == 0 &&
          packedLen > 0 && packed[0] == 0x78);
    uint32_t unpackedLen = static_cast<uint32_t>(unpacked.size());
    CHECK(zip.Decompress(packed.data(), packedLen, unpacked.data(), unpackedLen, zerr) == 0 &&
          unpackedLen == text.size() && std::memcmp(unpacked.data(), text.data(), unpackedLen) == 0);
    uint32_t tooSmall = 4;
    CHECK(zip.Decompress(packed.data(), packedLen, unpacked.data(), tooSmall, zerr) == E::DecompressBuffer &&
          tooSmall == 0);

    // C0 = E(iv), C1 = E(P1 ^ C0): the core's cipher, undone with the exported one.
    PluginEncryptor aes(false, true);
    std::string const aesKey(16, 'k');
    aes.SetKey(aesKey, E::Key16);
    unsigned char buf[16 + 16 + 16] = {};
    std::memcpy(buf + 16, "0123456789", 10);
    uint32_t imageLen = 10;
    CHECK(aes.Encrypt(buf + 16, buf, imageLen) == 0 && imageLen == 32);
    aes_decrypt_ctx dc;
    aes_decrypt_key128(bytes(aesKey), &dc);
    unsigned char p1[16];
    aes_decrypt(buf + 16, p1, &dc);
    for (int i = 0; i < 16; ++i) p1[i] ^= buf[i];
    CHECK(std::memcmp(p1, "0123456789\0\0\0\0\0\0", 16) == 0);
    unsigned char plain[32] = {};
    uint32_t plainLen = imageLen;
    CHECK(aes.Decrypt(buf, plain, plainLen) == 0 && plainLen == 10 && std::memcmp(plain, "0123456789", 10) == 0);

    CHECK(E::ErrorText(E::WorkBufferTooSmall, 0) == "transform buffer too small for operation (err 0)");
    CHECK(E::ErrorText(5, 7) == "[5,7]");
}

void checkEncryptorFiles() {
    using E = COrvelEncryptor;
    E enc(true, true);
    std::vector<unsigned char> work(4096);
    enc.workBuffer = work.data();
    enc.workCapacity = static_cast<uint32_t>(work.size());
    std::string const text = "a plugin's file, saved transformed and read back three ways";
    int zerr = 0, err = 0;
    bool verifyFailed = true;

    std::FILE* f = std::fopen("exports-plugin.enc", "wb+");
    CHECK(f != nullptr);
    if (!f) return;
    CHECK(enc.SaveTransformedFile(bytes(text), static_cast<uint32_t>(text.size()), f, zerr, verifyFailed) == 0 &&
          !verifyFailed);
    std::fflush(f);
    long const size = std::ftell(f);
    std::rewind(f);
    uint32_t len = 0;
    unsigned char* r = enc.LoadTransformedFile(f, static_cast<uint32_t>(size), len, err, zerr);
    CHECK(r && err == 0 && std::string_view(reinterpret_cast<char*>(r), len) == text);
    std::rewind(f);
    r = enc.LoadTransformedFile(f, len, err, zerr);
    CHECK(r && err == 0 && std::string_view(reinterpret_cast<char*>(r), len) == text);
    std::fclose(f);
    r = enc.LoadTransformedFile(std::string("exports-plugin.enc"), len, err, zerr);
    CHECK(r && err == 0 && std::string_view(reinterpret_cast<char*>(r), len) == text);
    r = enc.LoadTransformedFile(std::string("exports-plugin.none"), len, err, zerr);
    CHECK(!r && len == 0 && err == E::LoadLocate);

    if (std::FILE* plain = std::fopen("exports-plugin.txt", "wb")) {
        std::fwrite(text.data(), 1, text.size(), plain);
        std::fclose(plain);
    }
    std::FILE* in = std::fopen("exports-plugin.txt", "rb");
    std::FILE* out = std::fopen("exports-plugin.conv", "wb");
    CHECK(in && out);
    if (in && out)
        CHECK(enc.ConvertPlaintextFile(in, out, static_cast<uint32_t>(text.size()), zerr, verifyFailed) == 0 &&
              !verifyFailed);
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    r = enc.LoadTransformedFile(std::string("exports-plugin.conv"), len, err, zerr);
    CHECK(r && err == 0 && std::string_view(reinterpret_cast<char*>(r), len) == text);
}

int g_hookAllocs = 0;
int g_hookFrees = 0;
void* hookAlloc(std::size_t n) {
    ++g_hookAllocs;
    return std::malloc(n);
}
void hookFree(void* p) {
    ++g_hookFrees;
    std::free(p);
}

/// Subclasses call the base-object constructors and destructors.
struct PluginPool : rapidxml::memory_pool<char> {};
struct PluginDocument : rapidxml::xmlDocument<char> {};

void checkXmlPool() {
    using Pool = rapidxml::memory_pool<char>;
    PluginPool pool;
    pool.set_allocator(hookAlloc, hookFree);
    auto const small = reinterpret_cast<std::uintptr_t>(pool.alloc_aligned(3));
    auto const next = reinterpret_cast<std::uintptr_t>(pool.alloc_aligned(8));
    CHECK(small % Pool::kAlign == 0 && next % Pool::kAlign == 0 && next > small);
    CHECK(pool.alloc_aligned(Pool::kInlineSize) != nullptr && g_hookAllocs == 1);
    std::string_view const copied = pool.copy("copied");
    CHECK(copied == "copied");
    char* chars = pool.allocChars(4);
    std::memcpy(chars, "abcd", 4);
    pool.releaseTail(chars + 2);
    CHECK(pool.allocChars(1) == chars + 2);
    pool.clear();
    CHECK(g_hookFrees == 1);
    Pool plain; // the complete-object constructor and destructor
    CHECK(plain.alloc_aligned(16) != nullptr);
    CHECK(exports_plugin::poolGrowsInline());
}

void checkXmlDocument() {
    using namespace rapidxml;
    std::string const text = "\xEF\xBB\xBF<?xml version=\"1.0\"?><oREC a=\"12abc\" b=\"-2147483648\" "
                             "big=\"9000000000\" on=\"False\" Password=\"x\">  hi <Memory size=\"4\"/>more"
                             "<Memory size=\"5\"/></oREC>";
    PluginDocument doc;
    doc.parse<kParseNonDestructive>(text);
    xmlNode<char>* rec = doc.node("oREC");
    CHECK(rec && rec->value == "  hi ");
    if (!rec) return;
    xmlNode<char>* memory = doc.node("oREC/Memory/");
    CHECK(memory && memory->attr<int>("size", 0) == 4);
    xmlNode<char>* second = memory ? memory->nextSibling("Memory") : nullptr;
    CHECK(second && second->attr<int>("size", 0) == 5 && second->nextSibling("") == nullptr);
    CHECK(rec->attr<int>("a", 0) == 12 && rec->attr<int>("b", 0) == INT_MIN && rec->attr<int>("big", 7) == 7);
    CHECK(rec->attr<long long>("big", 0) == 9000000000LL && rec->attr<long long>("none", -3) == -3);
    CHECK(!rec->attr("on", true) && rec->attr("missing", true) && rec->attr("a", false));
    CHECK(rec->attribute("a") == rec->firstAttr && rec->attrText("a") == "12abc" && rec->attrText("none").empty());

    xmlNode<char>* added = doc.newNode(NodeType::element, "Added");
    added->appendAttr(doc.newAttr("k", "v'\""));
    rec->appendNode(added);
    CHECK(rec->lastChild == added && added->parent == rec && added->firstAttr->parent == added);
    CHECK(toXml<0, char>(*added, 0, false) == "<Added k='v&apos;\"'/>\n");
    CHECK(xmlLen<1, char>(*added) == toXml<1, char>(*added, 0, true).size());
    CHECK(toXml(*added, true) == "<Added k='v&apos;\"'/>");
    std::string const masked = toXml<3, char>(*rec, xmlLen<3, char>(*rec), true);
    CHECK(masked.find("Password=\"*****\"") != std::string::npos && masked.find('\n') == std::string::npos);
    std::string const maskedIndented = toXml<2, char>(*rec, 64, false);
    CHECK(maskedIndented.size() == xmlLen<2, char>(*rec) && maskedIndented.find("\t<Added") != std::string::npos);
    CHECK(xmlLen<0, char>(*rec) == toXml<0, char>(*rec, 0, false).size());
    rec->removeNode(added);
    CHECK(rec->lastChild == second && added->parent == nullptr);
    rec->removeAll();
    CHECK(rec->firstChild == nullptr && rec->firstAttr == nullptr);

    std::string message;
    size_t position = 0;
    try {
        doc.parse<kParseNonDestructive>("<a x=1>");
    } catch (parse_error const& e) {
        message = e.what();
        position = e.position();
    }
    CHECK(message == "expected ' or \"" && position == 5);
    doc.clear();
    CHECK(doc.firstChild == nullptr);
}

template <class F>
void guarded(char const* what, F f) {
    try {
        f();
    } catch (std::exception const& e) {
        check(false, (std::string(what) + " threw " + e.what()).c_str(), __LINE__);
    } catch (...) {
        check(false, (std::string(what) + " threw").c_str(), __LINE__);
    }
}

/// The counters the core keeps per plugin id see the reference it holds for us.
void checkPayloadCounters(ox::core::EventParms const& e) {
    CHECK(oxmem::stats.refs[kPluginId].load() == 1);
    CHECK(oxmem::stats.blocks.load() >= 1 && oxmem::stats.bytes.load() >= e.dataLen + 8);
}

void stopCore(char const* how) {
    trace(std::string("Stop ") + how);
    GetCore()->Stop();
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    trace("Load");
    out->address = kAddress;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) {
    trace("Unload");
    return 0;
}

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    trace("Open");
    guarded("core", checkCore);
    guarded("config store", checkConfigStore);
    guarded("guids", checkGuids);
    guarded("aes", checkAes);
    guarded("sha2", checkSha2);
    guarded("drm", checkDrm);
    guarded("encryptor buffers", checkEncryptorBuffers);
    guarded("encryptor files", checkEncryptorFiles);
    guarded("xml pool", checkXmlPool);
    guarded("xml document", checkXmlDocument);
    return 0;
}

OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const* e) {
    if ((e->type & ~OX_TYPE_MODIFIER) != OX_TYPE_CONFIG || !e->data || g_summarised) return OX_EVENT_DONE;
    g_summarised = true;
    guarded("payload counters", [e] { checkPayloadCounters(*e); });
    trace("checks=" + std::to_string(g_checks) + " failed:" + (g_failed.empty() ? " none" : g_failed));
    postLog("exports plugin: " + std::to_string(g_checks) + " checks done, failed:" +
            (g_failed.empty() ? " none" : g_failed));
    std::string const stop = std::getenv("PROBE_Exports_STOP") ? std::getenv("PROBE_Exports_STOP") : "";
    if (stop == "event") stopCore("event");
    if (stop == "thread") g_stopper = std::thread([] { stopCore("thread"); });
    return OX_EVENT_DONE;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    if (g_stopper.joinable()) g_stopper.join();
    trace("Close");
    return 0;
}
