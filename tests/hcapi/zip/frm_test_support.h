// A frame layer on a real UDP socket, with recorders for what it reports up,
// for the frame and transport tests against the gateway simulator.
#pragma once

#include "hcapi/zip/zip_frame.h"
#include "hcapi/zip/zip_platform.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace frm_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

struct tx_event {
    uint8_t status;
    uint8_t seq;
    int matched;
    std::string src;  // dotted address of the answer, empty when none
    steady::time_point time;
};

struct rx_event {
    std::vector<uint8_t> bytes;
    zip_rx_hdr_t hdr;
    uint16_t flags;
    uint16_t fmt;
    std::string src;
};

using zip_test::capture_line;
using zip_test::log_clear;
using zip_test::log_has;

inline std::string addr_text(const tpt_sockaddr_t *a, bool ipv4)
{
    if (a == nullptr)
        return {};
    char buf[INET6_ADDRSTRLEN] = {};
    if (ipv4)
        inet_ntop(AF_INET, &a->v4.sin_addr, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, &a->v6.sin6_addr, buf, sizeof buf);
    return buf;
}

inline tpt_sockaddr_t v4_addr(const std::string &address, uint16_t port)
{
    tpt_sockaddr_t a{};
    a.v4.sin_family = AF_INET;
    a.v4.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.v4.sin_addr);
    return a;
}

// The frame layer inside a record of ours, as the session layer embeds it.
class frame_host {
public:
    // Starts the platform (tick of `tick_ms`) and the frame layer towards
    // `gateway` (IPv4 dotted or IPv6 text).
    int start(const std::string &gateway, unsigned tick_ms, uint16_t host_port = 0)
    {
        plt_tick_ms_set(tick_ms);
        if (plt_init(&plt_, capture_line) != 0)
            return -1;
        plt_up_ = true;
        frm_ = std::make_unique<frm_layer_ctx>();
        frm_->plt_ctx = &plt_;
        frm_->upper_ctx = this;
        frm_->tx_sts_cb = on_tx;
        frm_->rx_cb = on_rx;
        ipv4_ = gateway.find(':') == std::string::npos;
        frm_->tpt.ipv4 = ipv4_ ? 1 : 0;
        frm_->tpt.host_port = host_port;
        if (ipv4_)
            inet_pton(AF_INET, gateway.c_str(), frm_->tpt.peer_addr);
        else
            inet_pton(AF_INET6, gateway.c_str(), frm_->tpt.peer_addr);
        int rc = frm_init(frm_.get());
        frm_up_ = rc == 0;
        return rc;
    }
    void stop()
    {
        if (frm_up_)
            frm_exit(frm_.get());
        frm_up_ = false;
        if (plt_up_)
            plt_exit(&plt_);
        plt_up_ = false;
        plt_tick_ms_set(0);
    }
    ~frame_host() { stop(); }

    frm_layer_ctx *ctx() { return frm_.get(); }
    uint16_t port() const { return frm_->tpt.host_port; }
    uint32_t scaled(uint32_t ms) const { return plt_tick_scale_ms(ms); }

    // One Z/IP packet with a command.
    int send(const tpt_sockaddr_t &dst, const std::vector<uint8_t> &cmd, uint8_t seq, uint16_t flags = ZIP_FRM_ACK_REQ,
             const uint8_t *src = nullptr, uint16_t encap_fmt = 0)
    {
        zip_frm_req_t r{};
        r.dst = &dst;
        r.src = src;
        r.data = cmd.empty() ? nullptr : cmd.data();
        r.len = static_cast<uint16_t>(cmd.size());
        r.flags = flags;
        r.encap_fmt = encap_fmt;
        r.seq = seq;
        return frm_cmd_snd(frm_.get(), &r);
    }

    std::vector<tx_event> tx() const
    {
        std::lock_guard lk(mtx_);
        return tx_;
    }
    std::vector<rx_event> rx() const
    {
        std::lock_guard lk(mtx_);
        return rx_;
    }
    // Waits for the n-th transmit result (1-based).
    std::optional<tx_event> wait_tx(size_t n, std::chrono::milliseconds limit = 8000ms) const
    {
        std::unique_lock lk(mtx_);
        if (!cv_.wait_for(lk, limit, [&] { return tx_.size() >= n; }))
            return std::nullopt;
        return tx_[n - 1];
    }
    std::optional<rx_event> wait_rx(size_t n, std::chrono::milliseconds limit = 5000ms) const
    {
        std::unique_lock lk(mtx_);
        if (!cv_.wait_for(lk, limit, [&] { return rx_.size() >= n; }))
            return std::nullopt;
        return rx_[n - 1];
    }

private:
    static void on_tx(frm_layer_ctx *ctx, uint8_t status, uint8_t seq, const tpt_sockaddr_t *src, int matched)
    {
        auto *self = static_cast<frame_host *>(ctx->upper_ctx);
        std::lock_guard lk(self->mtx_);
        self->tx_.push_back({status, seq, matched, addr_text(src, self->ipv4_), steady::now()});
        self->cv_.notify_all();
    }
    static void on_rx(frm_layer_ctx *ctx, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                      const zip_rx_hdr_t *hdr, uint16_t flags, uint16_t fmt)
    {
        auto *self = static_cast<frame_host *>(ctx->upper_ctx);
        std::lock_guard lk(self->mtx_);
        self->rx_.push_back({std::vector<uint8_t>(data, data + length), *hdr, flags, fmt, addr_text(src, self->ipv4_)});
        self->cv_.notify_all();
    }

    plt_tmr_ctx plt_{};
    bool plt_up_ = false;
    bool frm_up_ = false;
    bool ipv4_ = true;
    std::unique_ptr<frm_layer_ctx> frm_;
    mutable std::mutex mtx_;
    mutable std::condition_variable cv_;
    std::vector<tx_event> tx_;
    std::vector<rx_event> rx_;
};

}  // namespace frm_test
