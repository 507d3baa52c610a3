#include "sim/sim_policy.h"

#include <algorithm>

namespace sim {

const char *reply_text(reply r)
{
    switch (r) {
    case reply::ack: return "ack";
    case reply::drop_first: return "drop-first";
    case reply::silent: return "silent";
    case reply::nack: return "nack";
    case reply::nack_waiting: return "nack-waiting";
    case reply::late_ack: return "late-ack";
    case reply::ack_from_other: return "ack-from-other";
    }
    return "?";
}

void policy::set_default(const behaviour &b)
{
    std::lock_guard lock(mu_);
    default_ = b;
}

void policy::push_next(const behaviour &b)
{
    std::lock_guard lock(mu_);
    next_.push_back(b);
}

void policy::set_for_seq(uint8_t seq, const behaviour &b)
{
    std::lock_guard lock(mu_);
    by_seq_[seq] = b;
}

void policy::reset()
{
    std::lock_guard lock(mu_);
    default_ = behaviour{};
    next_.clear();
    by_seq_.clear();
    frames_.clear();
}

void policy::set_resend_window(std::chrono::milliseconds w)
{
    std::lock_guard lock(mu_);
    window_ = w;
}

size_t policy::pending_rules() const
{
    std::lock_guard lock(mu_);
    return next_.size() + by_seq_.size();
}

decision policy::decide(const endpoint &from, const std::string &to_address, uint8_t seq,
                        const uint8_t *bytes, size_t length, std::chrono::steady_clock::time_point now)
{
    std::lock_guard lock(mu_);
    std::erase_if(frames_, [&](const auto &kv) { return now - kv.second.last > window_; });

    frame_key key{from.address, from.port, to_address, seq};
    auto it = frames_.find(key);
    if (it != frames_.end() && it->second.bytes.size() == length &&
        std::equal(bytes, bytes + length, it->second.bytes.begin())) {
        frame_memory &m = it->second;
        m.copies++;
        m.last = now;
        return {m.b, m.copies};
    }

    behaviour b = default_;
    if (auto s = by_seq_.find(seq); s != by_seq_.end()) {
        b = s->second;
        by_seq_.erase(s);
    } else if (!next_.empty()) {
        b = next_.front();
        next_.pop_front();
    }
    frames_[key] = {std::vector<uint8_t>(bytes, bytes + length), b, 1, now};
    return {b, 1};
}

} // namespace sim
