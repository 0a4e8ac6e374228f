// Queueing: the payload is copied once into a reference block and the record
// is queued by value with the queue's own reference.
#include "core/dvr_core.h"
#include "core/ref_block.h"

#include <cstring>

using ox::core::EventParms;

int DvrCore::queueEvent(EventParms& rec) {
    oxmem::RefBlockGuard block(rec.dataLen != 0 ? oxmem::allocRefBlock(rec.dataLen) : nullptr);
    if (rec.dataLen != 0) {
        // Refuse rather than deliver a record whose payload silently vanished.
        if (!block.get()) return 1;
        std::memcpy(block.get(), rec.data, rec.dataLen);
    }

    EventParms queued = rec;
    queued.data = block.release();
    if (!queued.data) queued.dataLen = 0;
    incRef(queued.data, 0);

    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(queued);
    }
    queueCv_.notify_one();
    return 0;
}

void DvrCore::incRef(char const* payload, unsigned pluginId) {
    if (!payload) return;
    oxmem::headerOf(payload)->refCount.fetch_add(1);
    oxmem::stats.refs[pluginId & 0xFF].fetch_add(1);
}

int DvrCore::decRef(char const* payload, unsigned pluginId) {
    if (!payload) return 0;
    oxmem::stats.refs[pluginId & 0xFF].fetch_sub(1);
    if (oxmem::headerOf(payload)->refCount.fetch_sub(1) == 1)
        oxmem::freeRefBlock(const_cast<char*>(payload));
    return 0;
}
