// A writer killed at any moment of a save: the next load returns exactly the
// last completed document or the one being saved, byte for byte.
#include "dvrcore/store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kTrials = 300;
constexpr int kMaxKillDelayUs = 3000;
constexpr uint32_t kStarted = 0xFFFFFFFFu; // the child's first word: it is about to save
constexpr std::size_t kSeqDigits = 8;
constexpr std::string_view kSeqMark = "Seq=\"";

// Documents from a few hundred bytes to a few hundred KiB, each with its
// sequence number in the root and again in a closing marker element.
std::vector<std::string> makeTemplates() {
    std::vector<std::string> docs;
    for (std::size_t items : {4u, 40u, 90u, 400u, 1200u, 3000u, 5000u}) {
        std::string d = "<?xml version=\"1.0\"?>\n<Crash Seq=\"00000000\" Items=\"" + std::to_string(items) + "\">\n";
        for (std::size_t i = 0; i < items; ++i)
            d += "\t<Item N=\"" + std::to_string(i) + "\" V=\"" + std::string(40 + i % 17, char('a' + i % 26)) + "\"/>\n";
        d += "\t<End Seq=\"00000000\"/>\n</Crash>\n";
        docs.push_back(std::move(d));
    }
    return docs;
}

std::string document(std::vector<std::string> const& templates, uint32_t seq) {
    std::string d = templates[seq % templates.size()];
    char digits[kSeqDigits + 1];
    std::snprintf(digits, sizeof digits, "%08u", seq);
    for (std::size_t at = d.find(kSeqMark); at != std::string::npos; at = d.find(kSeqMark, at + 1))
        d.replace(at + kSeqMark.size(), kSeqDigits, digits);
    return d;
}

uint32_t seqOf(std::string const& text) {
    auto const at = text.find(kSeqMark);
    if (at == std::string::npos || text.size() < at + kSeqMark.size() + kSeqDigits) return kStarted;
    return uint32_t(std::stoul(text.substr(at + kSeqMark.size(), kSeqDigits)));
}

// Saves start, start+1, ... until killed, reporting each completed save.
[[noreturn]] void writer(std::string const& path, std::vector<std::string> const& templates, uint32_t start, int report) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    uint32_t word = kStarted;
    if (::write(report, &word, sizeof word) != sizeof word) ::_exit(2);
    for (uint32_t seq = start;; ++seq) {
        try {
            oxcfg::saveConfig(path, document(templates, seq));
        } catch (...) {
            ::_exit(3);
        }
        if (::write(report, &seq, sizeof seq) != sizeof seq) ::_exit(2);
    }
}

} // namespace

TEST(StoreCrash, KilledWriterLeavesTheOldOrTheNewDocument) {
    testing_support::TempDir const dir("store_crash_test");
    std::string const path = (dir / "core.xml").string();
    std::string const side = path + std::string(oxcfg::kPendingSuffix);
    auto const templates = makeTemplates();

    oxcfg::saveConfig(path, document(templates, 0));
    uint32_t loaded = 0, next = 1;
    int tornSide = 0, wholeSide = 0; // side files the kill left, by what the load made of them
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> delayUs(0, kMaxKillDelayUs);
    for (int trial = 0; trial < kTrials && !HasFailure(); ++trial) {
        int report[2];
        ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
        pid_t const pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) writer(path, templates, next, report[1]);
        ::close(report[1]);
        uint32_t word = 0;
        ASSERT_EQ(::read(report[0], &word, sizeof word), ssize_t(sizeof word));
        ASSERT_EQ(word, kStarted);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng))); // the random moment of the kill
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer failed, status " << status;
        // The last save the writer reported complete, and the one it was in.
        uint32_t done = loaded;
        while (::read(report[0], &word, sizeof word) == ssize_t(sizeof word)) done = word;
        ::close(report[0]);
        uint32_t const inFlight = done == loaded ? next : done + 1;

        bool const sideLeft = fs::exists(side);
        std::string text;
        ASSERT_NO_THROW(text = oxcfg::loadConfig(path)) << "trial " << trial;
        uint32_t const seq = seqOf(text);
        ASSERT_TRUE(seq == done || seq == inFlight)
            << "trial " << trial << ": loaded " << seq << ", last completed " << done << ", in flight " << inFlight;
        ASSERT_EQ(text, document(templates, seq)) << "trial " << trial << ": torn document";
        EXPECT_FALSE(fs::exists(side));
        (seq == inFlight ? wholeSide : tornSide) += sideLeft;
        loaded = seq;
        next = inFlight + 1;
    }
    std::printf("%d trials, %u saves: %d torn side files dropped, %d complete ones promoted\n", kTrials, next - 1,
                tornSide, wholeSide);
    EXPECT_GT(tornSide + wholeSide, 0) << "no kill landed inside a save";
}
