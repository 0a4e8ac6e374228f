// The parent channel through the real executable: the test is the parent, on
// one end of a socket pair, and the Asker test plugin (plugin id 19) answers
// results and raises requests.
#include "dvrcore/event_parms.h"
#include "dvrcore/ipc_packet.h"
#include "support/core_process.h"
#include "support/parent_end.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;
using namespace std::string_literals;

namespace {

constexpr uint32_t kAsker = 0x19;
constexpr uint32_t kNoOpen = 0x11; // has IOCTL but no OnIpcResult
constexpr uint32_t kResultType = 0x300;
constexpr uint32_t kRequestType = 0x100; // what the probe puts in its requests

uint32_t routingOf(uint32_t pluginId) { return pluginId << OX_IPC_ROUTING_SHIFT; }

std::string packet(uint32_t type, uint32_t routing, std::string const& payload, int64_t length = -1) {
    return ipcPacket(type, routing, payload, length);
}
ox_IpcHeader headerOf(std::string const& p) { return ipcHeaderOf(p); }
using Parent = ParentEnd;

std::string readFile(std::filesystem::path const& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class IpcChannel : public ::testing::Test {
protected:
    void SetUp() override {
        for (char const* v : {"PROBE_Asker_IPC_ACK", "PROBE_Asker_IPC_ON_CLOSE", "PROBE_Asker_IPC_MALFORMED",
                              "PROBE_Asker_POST_TYPE", "PROBE_Asker_POST_SIZE",
                              "PROBE_Asker_POST_COUNT", "PROBE_Asker_POST_THREADS", "PROBE_Asker_POST_RANDOM_SIZE"})
            ::unsetenv(v);
    }
    /// Starts the core as the child of `parent`, with Asker (and NoOpen), and
    /// waits until Asker is open, so results find it in the plugin list.
    std::unique_ptr<CoreProcess> start(Parent& parent, bool withNoOpen = false) {
        tree_.addPlugin("Asker.so");
        if (withNoOpen) tree_.addPlugin("NoOpen.so");
        auto p = std::make_unique<CoreProcess>(tree_.exe(), std::vector<std::string>{std::to_string(parent.coreEnd())},
                                               tree_.root(), std::vector<int>{parent.coreEnd()});
        parent.dropCoreEnd();
        EXPECT_TRUE(p->waitForOutput("probe Asker open")) << p->out() << p->err();
        return p;
    }
    std::string trace() { return readFile(tree_.root() / "probe-trace.txt"); }

    ApplianceTree tree_;
};

} // namespace

TEST_F(IpcChannel, ResultsReachTheNamedPluginWholeAndInOrder) {
    ::setenv("PROBE_Asker_IPC_ACK", "1", 1);
    // At open Asker also posts payloads that are not exactly one packet: they
    // are refused, so the first bytes the parent sees are the first echo.
    ::setenv("PROBE_Asker_IPC_MALFORMED", "1", 1);
    Parent parent;
    auto core = start(parent, true);
    std::string const r1 = packet(kResultType, routingOf(kAsker) | 0x0000ABCD, "r1-one");
    std::string const r2 = packet(kResultType + 1, routingOf(kAsker), "r2-two" + std::string(3000, 'q'));
    std::string const unknown = packet(kResultType, routingOf(0x77), "nobody");
    std::string const toIoctl = packet(kResultType, routingOf(kNoOpen), "ioctl-result");
    // Several packets in one write; then one split into single bytes.
    parent.send(unknown + r1 + toIoctl + r2);
    std::string const r3 = packet(kResultType, routingOf(kAsker), "r3-bytewise");
    for (char c : r3) parent.send(std::string(1, c));

    // Asker sends each result straight back: whole, and in arrival order.
    EXPECT_EQ(parent.next(), r1);
    EXPECT_EQ(parent.next(), r2);
    EXPECT_EQ(parent.next(), r3);

    parent.send(packet(OX_IPC_TYPE_STOP, 0, ""));
    auto st = core->wait();
    EXPECT_EQ(st.code, 0);
    std::string const t = trace();
    EXPECT_NE(t.find("Asker OnIpcResult len=22 type=768 head=r1-one"), std::string::npos) << t;
    EXPECT_NE(t.find("Asker OnIpcResult len=3022 type=769 head=r2-two"), std::string::npos) << t;
    // Without OnIpcResult the result goes to IOCTL; the unknown id reaches nobody.
    EXPECT_NE(t.find("NoOpen IOCTL code=4 len=28"), std::string::npos) << t;
    EXPECT_NE(t.find("Asker malformed-ipc results=1,1"), std::string::npos) << t;
    EXPECT_EQ(t.find("len=22 type=768 head=nobody"), std::string::npos) << t;
    EXPECT_EQ(t.find("OnIpcResult len=22 type=768 head=nobody"), std::string::npos) << t;
}

TEST_F(IpcChannel, LengthOutsideTheFormatIsReportedAndReadingGoesOn) {
    ::setenv("PROBE_Asker_IPC_ACK", "1", 1);
    for (uint32_t bad : {OX_IPC_MAX_PACKET + 1, 15u, 0u}) {
        Parent parent;
        auto core = start(parent);
        // The header alone is enough to judge the length.
        parent.send(packet(kResultType, routingOf(kAsker), "", bad));
        EXPECT_TRUE(core->waitForOutput("bad ipc packet length")) << bad;
        std::string const after = packet(kResultType, routingOf(kAsker), "after");
        parent.send(after);
        EXPECT_EQ(parent.next(), after) << bad;
        parent.closeOwn();
        EXPECT_EQ(core->wait().code, 0);
    }
}

TEST_F(IpcChannel, StopPacketShutsDownWhileRequestsStillGo) {
    ::setenv("PROBE_Asker_IPC_ON_CLOSE", "1", 1);
    Parent parent;
    auto core = start(parent);
    parent.send(packet(OX_IPC_TYPE_STOP, 0, ""));
    auto st = core->wait();
    EXPECT_TRUE(st.exited);
    EXPECT_EQ(st.code, 0);
    std::string const out = core->out();
    EXPECT_NE(out.find("Closing 19:Asker"), std::string::npos) << out;
    EXPECT_EQ(out.find("orveld ipc pipe disconnected"), std::string::npos) << out;
    EXPECT_NE(trace().find("Asker close-ipc result=0"), std::string::npos) << trace();
}

TEST_F(IpcChannel, DisconnectStopsTheCoreAndLaterRequestsAreRefused) {
    ::setenv("PROBE_Asker_IPC_ON_CLOSE", "1", 1);
    Parent parent;
    auto core = start(parent);
    parent.closeOwn();
    auto st = core->wait();
    EXPECT_EQ(st.code, 0);
    std::string const out = core->out();
    EXPECT_EQ(core->countOutput("orveld ipc pipe disconnected"), 1u) << out;
    EXPECT_NE(out.find("Closing 19:Asker"), std::string::npos) << out;
    EXPECT_NE(trace().find("Asker close-ipc result=1"), std::string::npos) << trace();
}

TEST_F(IpcChannel, RequestsFromManyThreadsArriveWholeAndInThreadOrder) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
    ::setenv("PROBE_Asker_POST_TYPE", std::to_string(OX_TYPE_IPC).c_str(), 1);
    ::setenv("PROBE_Asker_POST_THREADS", std::to_string(kThreads).c_str(), 1);
    ::setenv("PROBE_Asker_POST_COUNT", std::to_string(kPerThread).c_str(), 1);
    ::setenv("PROBE_Asker_POST_RANDOM_SIZE", "5000", 1);
    Parent parent;
    auto core = start(parent);

    std::map<int, int> nextSeq; // per thread
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        auto p = parent.next();
        ASSERT_TRUE(p) << "after " << i << " requests";
        ox_IpcHeader const h = headerOf(*p);
        ASSERT_EQ(h.routing, routingOf(kAsker));
        ASSERT_EQ(h.type, kRequestType);
        // Payload: 2-digit thread, 4-digit sequence (also in the fourth word), then filler.
        ASSERT_GE(p->size(), 22u);
        int const thread = std::stoi(p->substr(16, 2));
        int const seq = std::stoi(p->substr(18, 4));
        ASSERT_EQ(static_cast<uint32_t>(seq), h.reserved);
        ASSERT_EQ(seq, nextSeq[thread]++) << "thread " << thread;
        // The probe scribbles over its buffer after each post: the filler of
        // the first request is 'x', of later ones 'Z'. Anything else is torn.
        ASSERT_EQ(p->find_first_not_of(seq == 0 ? 'x' : 'Z', 22), std::string::npos) << "request torn or mixed";
    }
    EXPECT_EQ(nextSeq.size(), static_cast<size_t>(kThreads));
    parent.send(packet(OX_IPC_TYPE_STOP, 0, ""));
    EXPECT_EQ(core->wait().code, 0);
    std::string const t = trace();
    for (int th = 0; th < kThreads; ++th)
        EXPECT_NE(t.find("posted 300 refused 0 thread " + std::to_string(th)), std::string::npos) << t;
}

TEST_F(IpcChannel, WithoutAParentRequestsAreRefusedAndNoDisconnectIsReported) {
    ::setenv("PROBE_Asker_POST_TYPE", std::to_string(OX_TYPE_IPC).c_str(), 1);
    ::setenv("PROBE_Asker_POST_COUNT", "3", 1);
    tree_.addPlugin("Asker.so");
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-1"}}) {
        std::filesystem::remove(tree_.root() / "probe-trace.txt");
        CoreProcess core(tree_.exe(), args, tree_.root());
        ASSERT_TRUE(core.waitForOutput("probe Asker open")) << core.out();
        core.signal(SIGTERM);
        EXPECT_EQ(core.wait().code, 0);
        EXPECT_EQ(core.out().find("disconnected"), std::string::npos) << core.out();
        EXPECT_NE(trace().find("posted 3 refused 3"), std::string::npos) << trace();
    }
}

TEST_F(IpcChannel, BackgroundIdentitySilencesTheConsoleButNotTheLog) {
    ::setenv("PROBE_Asker_IPC_ACK", "1", 1);
    for (bool background : {false, true}) {
        Parent parent;
        auto core = start(parent);
        // The result's echo tells that the identity before it has been applied.
        std::string const sync = packet(kResultType, routingOf(kAsker), "sync");
        parent.send(packet(OX_IPC_TYPE_IDENTITY, 0, "orveld\0" "2.1\0"s + (background ? "Background:true" : "x")) +
                    sync);
        ASSERT_EQ(parent.next(), sync);
        parent.closeOwn(); // the disconnect message is severity 100
        EXPECT_EQ(core->wait().code, 0);
        std::string const out = core->out();
        EXPECT_EQ(out.find("orveld ipc pipe disconnected") == std::string::npos, background) << out;
        EXPECT_EQ(out.find("Closing 19:Asker") == std::string::npos, background) << out;
        std::string const log = readFile(tree_.root() / "log/dvrcore.log");
        EXPECT_NE(log.find("orveld ipc pipe disconnected"), std::string::npos) << log;
        EXPECT_NE(log.find("Closing 19:Asker"), std::string::npos) << log;
        std::filesystem::remove(tree_.root() / "log/dvrcore.log");
    }
}

TEST_F(IpcChannel, InheritedDescriptorIsClosedOnExec) {
    if (!launcher().empty()) GTEST_SKIP() << "the launcher's descriptors are not the core's";
    Parent parent;
    int const fd = parent.coreEnd();
    auto core = start(parent);
    std::string const info = readFile("/proc/" + std::to_string(core->pid()) + "/fdinfo/" + std::to_string(fd));
    auto const at = info.find("flags:");
    ASSERT_NE(at, std::string::npos) << info;
    unsigned long const flags = std::strtoul(info.c_str() + at + 6, nullptr, 8);
    EXPECT_NE(flags & O_CLOEXEC, 0u) << info;
    parent.send(packet(OX_IPC_TYPE_STOP, 0, ""));
    EXPECT_EQ(core->wait().code, 0);
}

TEST_F(IpcChannel, RequestsAreRefusedWhileTheParentDoesNotReadAndGoAgainOnceItDoes) {
    // 400 packets of the largest size, 25 MiB: more than the send queue holds.
    constexpr int kRequests = 400;
    ::setenv("PROBE_Asker_POST_TYPE", std::to_string(OX_TYPE_IPC).c_str(), 1);
    ::setenv("PROBE_Asker_POST_COUNT", std::to_string(kRequests).c_str(), 1);
    ::setenv("PROBE_Asker_POST_SIZE", std::to_string(OX_IPC_MAX_PACKET - OX_IPC_HEADER_SIZE).c_str(), 1);
    Parent parent;
    auto core = start(parent); // Asker posts them all in its Open, before it says it is open
    EXPECT_EQ(core->countOutput("parent send queue full"), 1u) << core->out();
    std::string const t = trace();
    std::string const posted = "posted " + std::to_string(kRequests) + " refused ";
    auto const at = t.find(posted);
    ASSERT_NE(at, std::string::npos) << t;
    int const refused = std::stoi(t.substr(at + posted.size()));
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, kRequests - 200); // well over 200 were taken
    for (int i = 0; i < kRequests - refused; ++i) ASSERT_TRUE(parent.next()) << "after " << i << " requests";
    EXPECT_TRUE(core->waitForOutput("parent send queue drained; " + std::to_string(refused) + " requests were refused"))
        << core->out();
    parent.send(packet(OX_IPC_TYPE_STOP, 0, ""));
    EXPECT_EQ(core->wait().code, 0);
}
