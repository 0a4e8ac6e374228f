// Event records built from arbitrary bytes and posted through the posting
// callback into a real core, hosted once per process in a temporary appliance
// tree (as bench/dispatch does) with the log plugin and two sinks that consume
// every type. Each input is a sequence of records; the harness waits until the
// queue is empty before it returns, so a fault shows up at the input that
// caused it. The core stops when the process ends (the static host's
// destructor), so the leak check and thread checks see a clean shutdown.
//
// One record, from the input (missing bytes read as zero):
//   u8  shape     bits 0..3 type (0..14 a catalogue entry, 15 the raw type word)
//                 bit 4 the modifier bit, bit 5 raw heads (size, version,
//                 parmsSize, parmsVersion) instead of the right ones,
//                 bits 6..7 data: 0 the payload, 1 null, 2 inside the payload,
//                 3 the payload of an earlier record of this input
//   u32 type word, flags, source, requestId, level, seconds
//   u32 size, version, parmsSize, parmsVersion (used with bit 5)
//   u16 milliseconds, u8 frameKind, u8 mediaFlags
//   u8  typed length (up to 132), then the typed bytes
//   u16 payload length, then the payload (cut to what is left)
// The payload is a heap buffer of exactly its length, and dataLen always runs
// to its end, so a read or write past dataLen is caught.
#include "core/dvr_core.h"
#include "support/core_test_access.h"
#include "support/running_core.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using ox::core::EventParms;

namespace {

constexpr uint32_t kCatalogue[] = {
    OX_TYPE_UNSPECIFIED, OX_TYPE_VIDEO,  OX_TYPE_AUDIO,  OX_TYPE_ALARM,  OX_TYPE_PTZ,
    OX_TYPE_SERIAL,      OX_TYPE_WATCHDOG, OX_TYPE_LOG,  OX_TYPE_CONFIG, OX_TYPE_DECREF,
    OX_TYPE_POS,         OX_TYPE_CANCEL, OX_TYPE_IPC,    OX_TYPE_CRYPTO, OX_TYPE_ANALYTIC,
};
constexpr size_t kMaxRecords = 32; ///< per input: enough for a search and its cancel, and bounded
constexpr auto kDrainLimit = std::chrono::seconds(10);

/// The real core with the log plugin and the two sinks; the tree is the working directory for the whole run.
class HostedCore {
public:
    HostedCore()
        : running_("dvr-fuzz-event", DVR_EVENT_LOGPI, DVR_EVENT_SINKS, [](fs::path const& root, std::vector<fs::path> const&) {
              // The first sink keeps half of what it gets and gives it back from a thread of its own.
              ::setenv("PROBE_EventSinkA_KEEP_RANDOM", "1", 1);
              // The entries of the directory the process started in are linked
              // into the tree, so that relative paths the fuzzer or the replay
              // were given (corpus, artifacts) still resolve.
              for (auto const& entry : fs::directory_iterator(fs::current_path())) {
                  std::string const name = entry.path().filename().string();
                  if (treeName(name) || fs::exists(fs::symlink_status(root / name))) continue;
                  std::error_code ec;
                  fs::create_symlink(entry.path(), root / name, ec);
              }
          }) {
        // Run loads and opens the plugins. Until the sinks are open their
        // statics are not registered for exit yet, and they would then be
        // destroyed after this host, with the core still running.
        auto const until = std::chrono::steady_clock::now() + kDrainLimit;
        while (!sinksOpen()) {
            if (std::chrono::steady_clock::now() > until) throw std::runtime_error("the sinks never opened");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    /// Returns once the dispatcher has taken every queued record (or the limit passed: a hang).
    void drain() {
        auto const until = std::chrono::steady_clock::now() + kDrainLimit;
        while (!DvrCoreTestAccess::queued(running_.core()).empty()) {
            if (std::chrono::steady_clock::now() > until) std::abort(); // the dispatcher is stuck
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }

private:
    /// Names the core and the plugins use in their working directory: never links.
    static bool treeName(std::string const& name) {
        for (char const* own : {"bin", "log", "product.xml", "dvrcore.lock", "probe-trace.txt"})
            if (name == own) return true;
        return name.starts_with("core.xml") || name.starts_with("config-");
    }

    static bool sinksOpen() {
        std::ifstream in("probe-trace.txt");
        std::string const trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return trace.find("EventSinkA Open") != std::string::npos && trace.find("EventSinkB Open") != std::string::npos;
    }

    testing_support::RunningCore running_;
};

HostedCore& host() {
    static HostedCore core; // destroyed at exit, before the core's own statics
    return core;
}

/// Reads the input front to back; past its end every value is zero.
class Reader {
public:
    Reader(uint8_t const* data, size_t size) : p_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    template <class T>
    T take() {
        T v{};
        size_t const n = std::min(sizeof v, left_);
        if (n) std::memcpy(&v, p_, n);
        p_ += n;
        left_ -= n;
        return v;
    }
    /// Up to `n` bytes, as many as are left.
    std::vector<char> bytes(size_t n) {
        n = std::min(n, left_);
        std::vector<char> v(p_, p_ + n);
        p_ += n;
        left_ -= n;
        return v;
    }

private:
    uint8_t const* p_;
    size_t left_;
};

/// A payload buffer of exactly its length on the heap (a vector may hold spare capacity).
struct Payload {
    std::unique_ptr<char[]> bytes;
    uint32_t size = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    HostedCore& core = host();
    Reader in(data, size);
    std::vector<Payload> held; // every payload of this input stays valid until it ends
    for (size_t n = 0; n < kMaxRecords && !in.empty(); ++n) {
        uint8_t const shape = in.take<uint8_t>();
        uint32_t const typeWord = in.take<uint32_t>();
        EventParms e;
        std::memset(&e, 0, sizeof e);
        e.flags = in.take<uint32_t>();
        e.source = in.take<uint32_t>();
        e.requestId = in.take<uint32_t>();
        e.level = in.take<int32_t>();
        e.seconds = in.take<uint32_t>();
        uint32_t const heads[4] = {in.take<uint32_t>(), in.take<uint32_t>(), in.take<uint32_t>(), in.take<uint32_t>()};
        e.milliseconds = in.take<uint16_t>();
        e.frameKind = in.take<uint8_t>();
        e.mediaFlags = in.take<uint8_t>();
        std::vector<char> const typed = in.bytes(in.take<uint8_t>() % (sizeof e.typed + 1));
        if (!typed.empty()) std::memcpy(e.typed, typed.data(), typed.size());
        std::vector<char> const body = in.bytes(in.take<uint16_t>());

        unsigned const kind = shape & 0x0Fu;
        e.type = kind < std::size(kCatalogue) ? kCatalogue[kind] : typeWord;
        if (shape & 0x10u) e.type |= OX_TYPE_MODIFIER;
        if (shape & 0x20u) {
            e.size = heads[0];
            e.version = heads[1];
            e.parmsSize = heads[2];
            e.parmsVersion = heads[3];
        } else {
            e.size = sizeof e;
            e.version = OX_EVENT_RECORD_VERSION;
            e.parmsSize = ox::core::kParmsSize;
            e.parmsVersion = OX_EVENT_PARMS_VERSION;
        }

        Payload p;
        p.size = static_cast<uint32_t>(body.size());
        if (p.size) {
            p.bytes.reset(new char[p.size]);
            std::memcpy(p.bytes.get(), body.data(), p.size);
        }
        // dataLen always reaches the end of the buffer it describes.
        switch (shape >> 6) {
        case 0:
            e.data = p.bytes.get();
            e.dataLen = p.size;
            break;
        case 1:
            e.data = nullptr;
            e.dataLen = typeWord; // the core must ignore a length without data
            break;
        case 2: {
            uint32_t const at = p.size ? typeWord % p.size : 0;
            e.data = p.bytes.get() ? p.bytes.get() + at : nullptr;
            e.dataLen = p.size - at;
            break;
        }
        default:
            if (!held.empty()) {
                Payload const& earlier = held[typeWord % held.size()];
                e.data = earlier.bytes.get();
                e.dataLen = earlier.size;
            }
            break;
        }
        held.push_back(std::move(p));
        EventParms posted = e;
        DvrCore::eventReceiver(&posted, nullptr);
    }
    core.drain();
    return 0;
}
