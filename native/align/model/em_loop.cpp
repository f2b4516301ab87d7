#include "align/model/em_loop.hpp"

#include "common/format.hpp"

namespace zel::align {

void run_em(Host& host, const EmLog& log, EmPhase& phase, std::int32_t limit) {
    if (!log.title.empty()) {
        host.info(log.channel, "----");
        host.info(log.channel, log.title);
    }
    std::optional<double> prev = phase.initial(host, limit > 0);
    if (prev) host.info(log.channel, "initial entropy: " + fmt::float_repr(*prev));
    for (std::int32_t s = 0; s < limit; ++s) {
        host.info(log.channel, "--");
        host.info(log.channel, log.step + ": " + std::to_string(s + 1) + " / " +
                                   std::to_string(limit) + log.note);
        const std::optional<double> cur = phase.step(host, s, s + 1 < limit);
        if (!cur) continue;
        host.info(log.channel, "entropy: " + fmt::float_repr(*cur));
        if (prev && *cur >= *prev) {  // false when either is NaN
            phase.stopped();
            break;
        }
        prev = cur;
    }
}

}  // namespace zel::align
