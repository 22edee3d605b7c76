#include "reply.h"

#include <algorithm>

namespace state {

std::vector<ModuleReply> moduleReplies(const x10::HeardEvent& event) {
    std::vector<ModuleReply> replies;
    if (event.kind != x10::HeardEvent::Kind::Function) return replies;
    if (event.function == x10::ExtendedCode) {
        if (event.extendedCommand != x10::kExtStatusReply || event.amount < 0 ||
            event.addresses.empty())
            return replies;
        // The frame carries its own unit; its house is the function's.
        const Address a{event.house, event.addresses.front().unit};
        if (!a.valid() || a.unit == 0) return replies;
        const x10::ModuleStatus s = x10::moduleStatus(event.amount);
        ModuleReply r;
        r.address = a;
        r.on = s.level > 0;
        r.level = x10::extPercent(s.level);
        if (!s.appliance) r.load = s.load ? 1 : 0;
        replies.push_back(r);
        return replies;
    }
    if (event.function != x10::StatusOn && event.function != x10::StatusOff) return replies;
    for (const x10::Address& h : event.addresses) {
        if (h.house != event.house || h.unit < 1 || h.unit > 16) continue;
        const Address a{h.house, h.unit};
        if (std::any_of(replies.begin(), replies.end(),
                        [&](const ModuleReply& r) { return r.address == a; }))
            continue;
        ModuleReply r;
        r.address = a;
        r.on = event.function == x10::StatusOn;
        replies.push_back(r);
    }
    return replies;
}

}  // namespace state
