// The control channel of zipgw-sim: a test script (bash, Python) makes the
// simulated nodes act at a moment of its own choosing. It connects to a UNIX
// stream socket and writes one command per line; each line gets one answer
// line, "ok" (for `values`: "ok" and the bytes) or "error: <why>":
//   report N CLS       node N sends its class CLS's current Report, unsolicited
//   send N HEX...      node N sends these command bytes (class first)
//   set N CLS HEX...   node N's class CLS takes this state (layouts: sim_node.h)
//   values N CLS       the state of node N's class CLS: "ok 32 02 ..."
//   wake N             sleeping node N wakes up (Wake Up Notification, then
//                      the frames the gateway held for it)
//   sleep N            sleeping node N goes back to sleep
//   dest ADDR:PORT     where nodes' own frames go from now on; "dest none":
//                      to the client the gateway last heard from (the default)
// N is decimal (1 to 232); CLS and the bytes are hex, one byte a token ("32",
// "0x32"). Blank lines get no answer; lines longer than 4096 bytes are
// refused. E.g. from bash:
//   printf 'send 7 32 02 21 44 00 0a\n' | nc -U -q1 /tmp/sim.ctl
// Frames go to the client the gateway last heard from unless `dest` says
// otherwise, so a node has nobody to send to before a client has spoken.
//
// The channel runs on a thread of its own and calls the model's thread-safe
// calls; destroy it (or stop()) before the model and the gateway stop.
#pragma once

#include <string>
#include <thread>

namespace sim {

class node_model;

// Carries out one command line (without its line end) on the model: the
// answer line, without its line end; empty for a blank line.
std::string control_command(node_model &model, const std::string &line);

class control_channel {
public:
    explicit control_channel(node_model &model) : model_(model) {}
    ~control_channel() { stop(); }
    control_channel(const control_channel &) = delete;
    control_channel &operator=(const control_channel &) = delete;

    // Listens at `path` (a socket left there by an earlier run is replaced,
    // any other file is not: -EEXIST): 0 or -errno.
    int start(const std::string &path);
    // Closes every connection and removes the socket. Idempotent.
    void stop();

private:
    void loop();

    node_model &model_;
    std::string path_;
    int listen_fd_ = -1;
    int wake_fd_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace sim
