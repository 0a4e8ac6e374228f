// The event records tests and test plugins build. Each starts from the public
// initialiser, so that the record's heads have one home; the setters fill what
// a test probes. Needs nothing but the public record header: the test plugins,
// built against include/ alone, use it too.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstddef>
#include <string_view>

namespace testing_support {

/// A record from address word `from` carrying `payload`, which stays the caller's.
struct Record : ox::core::EventParms {
    Record(uint32_t from, uint32_t kind, uint32_t classAndFlags = 0, char* payload = nullptr,
           uint32_t payloadLen = 0) noexcept
        : EventParms(ox::core::makeEvent(from, kind, classAndFlags, payload, payloadLen)) {}

    /// Carries all of `bytes`, which must outlive the record.
    template <size_t N>
    Record& withPayload(char (&bytes)[N]) noexcept {
        data = bytes;
        dataLen = static_cast<uint32_t>(N);
        return *this;
    }
    /// Carries `text` (not terminated), which must outlive the record.
    Record& withText(std::string_view text) noexcept {
        data = const_cast<char*>(text.data()); // the core never writes a text payload
        dataLen = static_cast<uint32_t>(text.size());
        return *this;
    }
    Record& withLevel(int32_t word) noexcept {
        level = word;
        return *this;
    }
    Record& withMedia(uint8_t bits) noexcept {
        mediaFlags = bits;
        return *this;
    }
    Record& withRequest(uint32_t id) noexcept {
        requestId = id;
        return *this;
    }
};

} // namespace testing_support
