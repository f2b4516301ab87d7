// The EM loop every model's training runs, in one process or on a cluster: a phase says how to
// take a step and what its stopping signal is; the loop owns the iterations, their log lines
// and the stopping rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/host.hpp"

namespace zel::align {

// How a phase's log reads: "----" and the title before the steps (neither when the title is
// empty), "--" and "<step>: s / n<note>" before each step, the signals as "initial entropy: h"
// and "entropy: h".
struct EmLog {
    Channel channel = Channel::align;
    std::string title;
    std::string step = "step";
    std::string note;
};

class EmPhase {
public:
    virtual ~EmPhase() = default;
    // The stopping signal (the entropy) of the model as it stands, `step_follows` when the
    // loop takes a step next; none for a phase that takes every step it is allowed.
    virtual std::optional<double> initial(Host& host, bool step_follows) = 0;
    // One E-step and M-step (step `s`, counted from 0): the stopping signal of the model it
    // leaves, `step_follows` when another step may follow.
    virtual std::optional<double> step(Host& host, std::int32_t s, bool step_follows) = 0;
    // The signal rose, so the loop stops: what the phase did ahead for the step that would
    // have followed is undone.
    virtual void stopped() {}
};

// Up to `limit` steps of `phase`, until its signal stops falling (a NaN never stops it).
void run_em(Host& host, const EmLog& log, EmPhase& phase, std::int32_t limit);

}  // namespace zel::align
