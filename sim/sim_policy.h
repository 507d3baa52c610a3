// How the simulated gateway answers the acknowledgement-requested packets it
// receives: a default behaviour, one-shot behaviours for the next packets,
// and one-shot behaviours for a given sequence number.
//
// A behaviour belongs to a frame, not to a datagram: a resend (same source,
// same local address, same sequence number, same bytes, within the resend
// window) is a further copy of the frame it repeats and continues that
// frame's behaviour instead of taking the next rule. That is what lets
// "drop the first copy, acknowledge the resend" work.
#pragma once

#include "sim/sim_udp.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace sim {

enum class reply : uint8_t {
    ack,            // acknowledge every copy
    drop_first,     // ignore the first `drop_copies` copies, acknowledge the ones after
    silent,         // never answer
    nack,           // NACK every copy
    nack_waiting,   // NACK waiting (optional expected-delay option) on every copy,
                    // and once an ACK `delay` after the first copy when delay > 0
    late_ack,       // one ACK `delay` after the first copy
    ack_from_other, // acknowledge every copy from `other_address`
};

const char *reply_text(reply r);

struct behaviour {
    reply kind = reply::ack;
    unsigned drop_copies = 1;
    std::chrono::milliseconds delay{0};
    std::optional<uint32_t> expected_delay_s;
    std::string other_address = "127.0.0.254";

    static behaviour ack() { return {}; }
    static behaviour drop_first(unsigned copies = 1)
    {
        behaviour b;
        b.kind = reply::drop_first;
        b.drop_copies = copies;
        return b;
    }
    static behaviour silent()
    {
        behaviour b;
        b.kind = reply::silent;
        return b;
    }
    static behaviour nack()
    {
        behaviour b;
        b.kind = reply::nack;
        return b;
    }
    static behaviour nack_waiting(std::optional<uint32_t> expected_delay_s,
                                  std::chrono::milliseconds then_ack_after = std::chrono::milliseconds(0))
    {
        behaviour b;
        b.kind = reply::nack_waiting;
        b.expected_delay_s = expected_delay_s;
        b.delay = then_ack_after;
        return b;
    }
    static behaviour late_ack(std::chrono::milliseconds after)
    {
        behaviour b;
        b.kind = reply::late_ack;
        b.delay = after;
        return b;
    }
    static behaviour ack_from(std::string address)
    {
        behaviour b;
        b.kind = reply::ack_from_other;
        b.other_address = std::move(address);
        return b;
    }
};

// What the policy decided for one received copy.
struct decision {
    behaviour b;
    unsigned copy = 1; // 1 = first copy of the frame
    bool resend() const { return copy > 1; }
};

class policy {
public:
    // Frames that match no rule.
    void set_default(const behaviour &b);
    // One-shot: the next new acknowledgement-requested frame (FIFO).
    void push_next(const behaviour &b);
    // One-shot: the next new frame with this sequence number; takes
    // precedence over push_next.
    void set_for_seq(uint8_t seq, const behaviour &b);
    // Drops every rule and the frame memory; the default becomes ack.
    void reset();
    void set_resend_window(std::chrono::milliseconds w);
    size_t pending_rules() const;

    // Called by the gateway for every received acknowledgement-requested packet.
    decision decide(const endpoint &from, const std::string &to_address, uint8_t seq,
                    const uint8_t *bytes, size_t length, std::chrono::steady_clock::time_point now);

private:
    struct frame_memory {
        std::vector<uint8_t> bytes;
        behaviour b;
        unsigned copies = 0;
        std::chrono::steady_clock::time_point last;
    };
    using frame_key = std::tuple<std::string, uint16_t, std::string, uint8_t>;

    mutable std::mutex mu_;
    behaviour default_;
    std::deque<behaviour> next_;
    std::map<uint8_t, behaviour> by_seq_;
    std::map<frame_key, frame_memory> frames_;
    std::chrono::milliseconds window_{6000};
};

} // namespace sim
