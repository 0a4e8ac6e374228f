// Text splitting of the parent's identity packet.
#include "core/ipc_reader.h"

namespace ox::ipc {

IdentityTexts splitIdentity(std::string_view payload) noexcept {
    IdentityTexts out;
    size_t pos = 0;
    while (pos < payload.size() && out.count < out.text.size()) {
        size_t const nul = payload.find('\0', pos);
        if (nul == std::string_view::npos) {
            out.text[out.count++] = payload.substr(pos);
            break;
        }
        out.text[out.count++] = payload.substr(pos, nul - pos);
        pos = nul + 1;
    }
    return out;
}

} // namespace ox::ipc
