// A record whose payload reference a plugin keeps (its OnEvent returned 1),
// shared by whoever still needs the payload; the last owner gives the
// reference back with exactly one decref. Destroy it with no lock of the
// plugin held, since the decref is a post to the core.
#pragma once

#include <dvrcore/plugin_interface.h>

#include <memory>

namespace demo {

class KeptFrame {
public:
    /// `owner` is the keeping plugin's address word; `post` its callback from Load.
    KeptFrame(ox_EventParms const& e, uint32_t owner, ox_EventCallback post) : record_(e), owner_(owner), post_(post) {}
    KeptFrame(KeptFrame const&) = delete;
    KeptFrame& operator=(KeptFrame const&) = delete;
    ~KeptFrame() {
        auto e = ox::core::makeEvent(owner_, OX_TYPE_DECREF, 0, record_.data);
        post_(&e, nullptr);
    }

    /// The record as delivered; its payload stays valid while this object lives.
    ox::core::EventParms const& record() const { return record_; }

private:
    ox::core::EventParms record_;
    uint32_t owner_;
    ox_EventCallback post_;
};

using FramePtr = std::shared_ptr<KeptFrame const>;

} // namespace demo
