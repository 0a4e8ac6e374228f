// The byte layout of every record a plugin shares with the core, printed from
// sizeof/offsetof of the installed headers and compared with the checked-in
// table (abi_layout.txt), whose column for this build's pointer size must
// match line for line. Plugins in the field were built against that table: a
// header change that moves a byte fails here, on the host and on the appliance.
//
//   abi_layout                 prints this build's column
//   abi_layout --check TABLE   compares it with TABLE; prints the differing lines
//
// Only the headers and stdio, so it also builds with a bare cross compiler
// (mipsel-linux-gnu-g++ -static) to regenerate the 4-byte column.
#include "dvrcore/aes.h"
#include "dvrcore/drm_crypto.h"
#include "dvrcore/encryptor.h"
#include "dvrcore/guid.h"
#include "dvrcore/ipc_packet.h"
#include "dvrcore/plugin_interface.h"
#include "dvrcore/process_info.h"
#include "dvrcore/sha2.h"
#include "dvrcore/xml_document.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Line {
    std::string name;
    std::string value; ///< "size" of a record, "offset+size" of a field
};

std::string num(size_t n) { return std::to_string(n); }

// The one field list. REC: a record's size; FLD: a field's offset and size;
// PAD: a field only the 8-byte layout has (the table shows "-" for 4 bytes);
// SIZE: a C++ class whose members plugins reach only through the core's code.
#define REC(T) {#T, num(sizeof(T))},
#define FLD(T, f) {#T "." #f, num(offsetof(T, f)) + "+" + num(sizeof(T::f))},
#define SIZE(T) {#T, num(sizeof(T))},
#if UINTPTR_MAX > 0xFFFFFFFFu
#define PAD(T, f) FLD(T, f)
#else
#define PAD(T, f)
#endif

std::vector<Line> layout() {
    return {
        // clang-format off
        REC(ox_EventParms)
        FLD(ox_EventParms, size) FLD(ox_EventParms, version) FLD(ox_EventParms, dataLen)
        PAD(ox_EventParms, reserved0)
        FLD(ox_EventParms, data) FLD(ox_EventParms, source) FLD(ox_EventParms, requestId)
        FLD(ox_EventParms, type) FLD(ox_EventParms, flags) FLD(ox_EventParms, parmsSize)
        FLD(ox_EventParms, parmsVersion) FLD(ox_EventParms, level) FLD(ox_EventParms, seconds)
        FLD(ox_EventParms, milliseconds) FLD(ox_EventParms, frameKind) FLD(ox_EventParms, mediaFlags)
        FLD(ox_EventParms, typed)

        REC(LoadParams)
        FLD(LoadParams, size) FLD(LoadParams, version) FLD(LoadParams, reserved) PAD(LoadParams, reserved1)
        FLD(LoadParams, callback) FLD(LoadParams, identity) FLD(LoadParams, identityLen)

        REC(PluginInfo)
        FLD(PluginInfo, size) FLD(PluginInfo, version) FLD(PluginInfo, address) FLD(PluginInfo, video)
        FLD(PluginInfo, audio) FLD(PluginInfo, alarm) FLD(PluginInfo, ptz) FLD(PluginInfo, serial)
        FLD(PluginInfo, closePriority) FLD(PluginInfo, log) FLD(PluginInfo, reserved40) FLD(PluginInfo, pos)
        FLD(PluginInfo, analytic) FLD(PluginInfo, workerThread) FLD(PluginInfo, reserved53)
        FLD(PluginInfo, asyncReader) FLD(PluginInfo, writeEvents) FLD(PluginInfo, reserved56)

        REC(OpenParams) FLD(OpenParams, size) FLD(OpenParams, version) FLD(OpenParams, reserved)
        REC(OpenResult)
        REC(CloseParams) FLD(CloseParams, size) FLD(CloseParams, version) FLD(CloseParams, reserved)
        REC(CloseResult)
        REC(UnloadParams) FLD(UnloadParams, size) FLD(UnloadParams, version)
        REC(UnloadResult) FLD(UnloadResult, size) FLD(UnloadResult, version) FLD(UnloadResult, reserved)

        REC(ReadParams)
        FLD(ReadParams, size) FLD(ReadParams, version) FLD(ReadParams, reserved) FLD(ReadParams, flag)
        FLD(ReadParams, reserved13) FLD(ReadParams, dataLen) PAD(ReadParams, reserved1) FLD(ReadParams, data)
        FLD(ReadParams, requestId)

        REC(WriteParams)
        FLD(WriteParams, size) FLD(WriteParams, version) FLD(WriteParams, reserved) FLD(WriteParams, event)
        REC(WriteResult)
        FLD(WriteResult, size) FLD(WriteResult, version) FLD(WriteResult, reserved) FLD(WriteResult, keep)

        REC(IoctlParams)
        FLD(IoctlParams, size) FLD(IoctlParams, version) FLD(IoctlParams, code) FLD(IoctlParams, reserved12)
        FLD(IoctlParams, reserved16) FLD(IoctlParams, dataLen) FLD(IoctlParams, data)
        REC(IoctlResult)
        FLD(IoctlResult, size) FLD(IoctlResult, version) FLD(IoctlResult, code) FLD(IoctlResult, reserved12)
        FLD(IoctlResult, keep) FLD(IoctlResult, dataLen) FLD(IoctlResult, data)

        REC(ox_IpcHeader)
        FLD(ox_IpcHeader, length) FLD(ox_IpcHeader, routing) FLD(ox_IpcHeader, type) FLD(ox_IpcHeader, reserved)

        REC(_GUID) FLD(_GUID, Data1) FLD(_GUID, Data2) FLD(_GUID, Data3) FLD(_GUID, Data4)

        REC(aes_encrypt_ctx) FLD(aes_encrypt_ctx, ks) FLD(aes_encrypt_ctx, rounds)
        REC(aes_decrypt_ctx) FLD(aes_decrypt_ctx, ks) FLD(aes_decrypt_ctx, rounds)
        REC(sha256_ctx) FLD(sha256_ctx, hash) FLD(sha256_ctx, count) FLD(sha256_ctx, buf)
        REC(sha512_ctx) FLD(sha512_ctx, hash) FLD(sha512_ctx, count) FLD(sha512_ctx, buf)
        REC(sha2_ctx) FLD(sha2_ctx, uu) FLD(sha2_ctx, digest_size) FLD(sha2_ctx, reserved)

        REC(oxmem::Stats)
        FLD(oxmem::Stats, blocks) FLD(oxmem::Stats, gap1) FLD(oxmem::Stats, bytes) FLD(oxmem::Stats, gap2)
        FLD(oxmem::Stats, refs)

        REC(rapidxml::xmlAttribute<char>)
        FLD(rapidxml::xmlAttribute<char>, name) FLD(rapidxml::xmlAttribute<char>, value)
        FLD(rapidxml::xmlAttribute<char>, parent) FLD(rapidxml::xmlAttribute<char>, prev)
        FLD(rapidxml::xmlAttribute<char>, next)
        REC(rapidxml::xmlNode<char>)
        FLD(rapidxml::xmlNode<char>, name) FLD(rapidxml::xmlNode<char>, value) FLD(rapidxml::xmlNode<char>, parent)
        FLD(rapidxml::xmlNode<char>, type) FLD(rapidxml::xmlNode<char>, firstChild)
        FLD(rapidxml::xmlNode<char>, lastChild) FLD(rapidxml::xmlNode<char>, firstAttr)
        FLD(rapidxml::xmlNode<char>, lastAttr) FLD(rapidxml::xmlNode<char>, prev) FLD(rapidxml::xmlNode<char>, next)
        SIZE(rapidxml::memory_pool<char>)
        SIZE(rapidxml::xmlDocument<char>)
        SIZE(COrvelEncryptor)
        SIZE(CDrmCrypto)
        // clang-format on
    };
}

#undef REC
#undef FLD
#undef SIZE
#undef PAD

std::vector<std::string> words(char const* line) {
    std::vector<std::string> w;
    for (char const* p = line; *p;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
        char const* start = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') ++p;
        if (p != start) w.emplace_back(start, p);
    }
    return w;
}

/// The table's column for this build's pointer size; "-" entries are left out.
bool readColumn(char const* path, std::vector<Line>& out) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) {
        std::printf("abi: cannot read %s\n", path);
        return false;
    }
    size_t const column = sizeof(void*) == 4 ? 1 : 2;
    char buf[512];
    bool ok = true;
    for (int n = 1; std::fgets(buf, sizeof buf, f); ++n) {
        auto const w = words(buf);
        if (w.empty() || w[0][0] == '#') continue;
        if (w.size() != 3) {
            std::printf("abi: %s:%d: want a name and two columns\n", path, n);
            ok = false;
            continue;
        }
        if (w[column] != "-") out.push_back({w[0], w[column]});
    }
    std::fclose(f);
    return ok;
}

int check(char const* path) {
    if (sizeof(void*) != 4 && sizeof(void*) != 8) {
        std::printf("abi: no column for %zu-byte pointers\n", sizeof(void*));
        return 1;
    }
    std::vector<Line> want;
    if (!readColumn(path, want)) return 1;
    auto const have = layout();
    int differ = 0;
    // Same order on both sides; a line missing on one side is named, not cascaded.
    size_t i = 0, j = 0;
    while (i < want.size() || j < have.size()) {
        if (i < want.size() && j < have.size() && want[i].name == have[j].name) {
            if (want[i].value != have[j].value) {
                std::printf("abi: %s: table %s, this build %s\n", want[i].name.c_str(), want[i].value.c_str(),
                            have[j].value.c_str());
                ++differ;
            }
            ++i, ++j;
            continue;
        }
        bool inHave = false;
        for (size_t k = j; i < want.size() && k < have.size() && !inHave; ++k) inHave = have[k].name == want[i].name;
        if (i < want.size() && !inHave) {
            std::printf("abi: %s: table %s, not in this build\n", want[i].name.c_str(), want[i].value.c_str());
            ++i;
        } else {
            std::printf("abi: %s: this build %s, not in the table\n", have[j].name.c_str(), have[j].value.c_str());
            ++j;
        }
        ++differ;
    }
    std::printf("abi: %zu-byte pointers, %zu lines, %d differ\n", sizeof(void*), have.size(), differ);
    return differ == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return check(argv[2]);
    if (argc != 1) {
        std::printf("usage: abi_layout [--check TABLE]\n");
        return 2;
    }
    for (auto const& l : layout()) std::printf("%s %s\n", l.name.c_str(), l.value.c_str());
    return 0;
}
