#include "sim/sim_gateway.h"

#include <cerrno>

namespace sim {

std::string node_loopback_address(uint8_t node_id) { return "127.0.0." + std::to_string(node_id); }

gateway::gateway(gateway_config config) : config_(std::move(config)) {}

gateway::~gateway() { stop(); }

std::string gateway::last_error() const
{
    std::lock_guard lock(state_mu_);
    return last_error_;
}

int gateway::start()
{
    if (started_.exchange(true)) {
        std::lock_guard lock(state_mu_);
        last_error_ = "gateway already started";
        return -EALREADY;
    }
    std::string error;
    int gw = transport_.open(config_.address, config_.port, true, &error);
    if (gw < 0) {
        std::lock_guard lock(state_mu_);
        last_error_ = error;
        return gw;
    }
    port_.store(transport_.local(gw).port);
    {
        std::lock_guard lock(state_mu_);
        gateway_socket_ = gw;
        socket_nodes_[gw] = 0;
    }
    for (const node_address &n : config_.nodes) {
        int rc = add_node(n.node_id, n.address);
        if (rc < 0) {
            transport_.stop();
            return rc;
        }
    }
    if (!config_.dtls_psk.empty()) {
        dtls_ = std::make_unique<dtls_layer>(transport_);
        int drc = dtls_->configure(config_.dtls_psk, &error);
        if (drc < 0) {
            transport_.stop();
            std::lock_guard lock(state_mu_);
            last_error_ = error;
            return drc;
        }
        dtls_->start();
    }
    auto deliver = [this](int id, const uint8_t *data, size_t length, const endpoint &from, const std::string &to) {
        on_datagram(id, data, length, from, to);
    };
    int rc = transport_.start([this, deliver](int id, const uint8_t *data, size_t length, const endpoint &from,
                                              const std::string &to) {
        if (dtls_)
            dtls_->on_wire(id, data, length, from, to, deliver);
        else
            deliver(id, data, length, from, to);
    });
    if (rc < 0) {
        transport_.stop();
        std::lock_guard lock(state_mu_);
        last_error_ = "cannot start the loop thread";
        return rc;
    }
    return 0;
}

void gateway::stop() { transport_.stop(); }

endpoint gateway::address() const { return {config_.address, port_.load()}; }

std::optional<endpoint> gateway::node(uint8_t node_id) const
{
    int id = socket_of(node_id);
    if (id < 0 || node_id == 0)
        return std::nullopt;
    return transport_.local(id);
}

int gateway::add_node(uint8_t node_id, const std::string &address)
{
    const std::string addr = address.empty() ? node_loopback_address(node_id) : address;
    if (node_id == 0 || node_id == foreign_node_id) {
        std::lock_guard lock(state_mu_);
        last_error_ = "node id " + std::to_string(node_id) + " cannot have an address";
        return -EINVAL;
    }
    {
        std::lock_guard lock(state_mu_);
        if (node_sockets_.count(node_id)) {
            last_error_ = "node " + std::to_string(node_id) + " already has an address";
            return -EEXIST;
        }
    }
    std::string error;
    int id = transport_.open(addr, port_.load(), true, &error);
    std::lock_guard lock(state_mu_);
    if (id < 0) {
        last_error_ = error;
        return id;
    }
    node_sockets_[node_id] = id;
    socket_nodes_[id] = node_id;
    return 0;
}

int gateway::socket_of(uint8_t node_id) const
{
    std::lock_guard lock(state_mu_);
    if (node_id == 0)
        return gateway_socket_;
    auto it = node_sockets_.find(node_id);
    return it == node_sockets_.end() ? -1 : it->second;
}

uint8_t gateway::node_of(int socket_id) const
{
    std::lock_guard lock(state_mu_);
    auto it = socket_nodes_.find(socket_id);
    return it == socket_nodes_.end() ? foreign_node_id : it->second;
}

int gateway::foreign_socket(const std::string &address)
{
    int id = transport_.find(address);
    if (id >= 0)
        return id;
    // Port 0: parallel tests may all answer "from elsewhere" through the same
    // third address; only the address matters to the client.
    std::string error;
    id = transport_.open(address, 0, false, &error);
    if (id < 0) {
        std::lock_guard lock(state_mu_);
        last_error_ = error;
    }
    return id;
}

std::optional<endpoint> gateway::last_client() const
{
    std::lock_guard lock(state_mu_);
    return last_client_;
}

void gateway::set_observer(std::function<void(const recorded_frame &)> observer)
{
    std::lock_guard lock(observer_mu_);
    observer_ = std::move(observer);
}

int gateway::add_observer(std::function<void(const recorded_frame &)> observer)
{
    std::lock_guard lock(observer_mu_);
    const int id = next_observer_id_++;
    observers_[id] = std::move(observer);
    return id;
}

void gateway::remove_observer(int id)
{
    std::lock_guard lock(observer_mu_);
    observers_.erase(id);
}

void gateway::notify(const recorded_frame &rec)
{
    std::lock_guard lock(observer_mu_);
    if (observer_)
        observer_(rec);
    for (const auto &kv : observers_)
        kv.second(rec);
}

void gateway::push_record(recorded_frame &rec)
{
    auto &list = rec.dir == direction::received ? received_ : sent_;
    rec.index = rec.dir == direction::received ? next_rx_index_++ : next_tx_index_++;
    list.push_back(rec);
    while (list.size() > config_.max_records)
        list.pop_front();
}

void gateway::record(recorded_frame rec)
{
    {
        std::lock_guard lock(rec_mu_);
        push_record(rec);
    }
    rec_cv_.notify_all();
    notify(rec);
}

int gateway::transmit(int socket_id, const endpoint &to, const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return -EINVAL;
    recorded_frame rec;
    rec.dir = direction::sent;
    rec.bytes = bytes;
    rec.peer = to;
    rec.local = transport_.local(socket_id);
    rec.node_id = node_of(socket_id);
    rec.frame = parse_frame(bytes.data(), bytes.size());
    {
        // Sent and recorded under one lock: whoever has seen the datagram
        // arrive finds it in sent() as well.
        std::lock_guard lock(rec_mu_);
        rec.time = std::chrono::steady_clock::now();
        int rc = dtls_ ? dtls_->send(socket_id, to, bytes.data(), bytes.size())
                       : transport_.send(socket_id, to, bytes.data(), bytes.size());
        if (rc < 0)
            return rc;
        push_record(rec);
    }
    rec_cv_.notify_all();
    notify(rec);
    return 0;
}

void gateway::on_datagram(int socket_id, const uint8_t *data, size_t length, const endpoint &from,
                          const std::string &to_address)
{
    recorded_frame rec;
    rec.dir = direction::received;
    rec.bytes.assign(data, data + length);
    rec.peer = from;
    rec.local = {to_address, transport_.local(socket_id).port};
    rec.node_id = node_of(socket_id);
    rec.time = std::chrono::steady_clock::now();
    rec.frame = parse_frame(data, length);
    {
        std::lock_guard lock(state_mu_);
        last_client_ = from;
    }

    const zip_frame &f = rec.frame;
    std::optional<decision> d;
    bool lost = false;
    // A frame for a sleeping node is the gateway's to keep, whatever the test
    // policy says: the node cannot be reached, so nothing is acknowledged yet.
    // A critical option it does not understand is refused at once, as for
    // any other frame.
    const bool held = f.kind == frame_kind::packet && f.packet.has_command() && !f.packet.ack_response() &&
                      !f.packet.nack() && !f.packet.first_unsupported_critical(config_.known_options) &&
                      node_asleep(rec.node_id);
    if (held) {
        if (f.packet.ack_request()) {
            rec.applied = reply::nack_waiting;
            rec.copy = 1;
        }
    } else if (f.kind == frame_kind::packet && f.packet.has_command() && !f.packet.ack_response() &&
               !f.packet.nack() && node_unreachable(rec.node_id)) {
        // Every transmission to the node fails, whatever the test policy
        // says: the sender gets a NACK and the node never sees the frame.
        lost = true;
        if (f.packet.ack_request()) {
            d = decision{behaviour::nack(), 1};
            rec.applied = reply::nack;
            rec.copy = 1;
        }
    } else if (f.kind == frame_kind::packet && f.packet.ack_request()) {
        d = policy_.decide(from, to_address, f.packet.seq, data, length, rec.time);
        rec.applied = d->b.kind;
        rec.copy = d->copy;
    }
    // Recorded before anything is answered, so a client that has seen the
    // answer finds the frame in the record.
    const uint8_t node_id = rec.node_id;
    const zip_packet packet = f.packet;
    const frame_kind kind = f.kind;
    const uint8_t ka_flags = f.keep_alive_flags;
    record(std::move(rec));

    if (held) {
        // A real gateway queues the frame for the node's next wake-up and
        // answers "NACK waiting" with the expected delay: the frame is not
        // delivered yet (an ACK would say it is) nor lost (a NACK), and the
        // client reports it as queued for a sleeping node. The frame's own ACK
        // follows under its sequence number once the node has woken up and
        // taken it (deliver_held).
        uint32_t delay_s = 0;
        {
            std::lock_guard lock(layer_mu_);
            command_context ctx{packet, from, to_address, node_id};
            delay_s = layer_ ? layer_->hold(ctx) : 0;
        }
        if (packet.ack_request())
            transmit(socket_id, from, build_nack_waiting(packet, delay_s));
    } else if (kind == frame_kind::packet) {
        if (d)
            answer(socket_id, packet, from, node_id, *d);
        else if (!lost && !packet.ack_response() && !packet.nack())
            send_replies(socket_id, from, run_handlers(socket_id, packet, from, node_id));
    } else if (kind == frame_kind::keep_alive && (ka_flags & keep_alive_ack_request) &&
               answer_keep_alives_.load()) {
        transmit(socket_id, from, build_keep_alive(keep_alive_ack_response));
    }
}

void gateway::answer_positive(int socket_id, const zip_packet &p, const endpoint &from)
{
    if (const zip_option *refused = p.first_unsupported_critical(config_.known_options)) {
        // A gateway does not act on a command whose critical option it does
        // not understand.
        transmit(socket_id, from, build_option_error(p, *refused));
        return;
    }
    transmit(socket_id, from, build_ack(p));
}

void gateway::answer(int socket_id, const zip_packet &p, const endpoint &from, uint8_t node_id, const decision &d)
{
    const behaviour &b = d.b;
    const bool refused = p.first_unsupported_critical(config_.known_options) != nullptr;
    // Handlers run once per frame, when it is first acknowledged, and before
    // the ACK leaves, so a client that has its ACK knows the handler ran; their
    // replies follow the ACK on the wire.
    auto ack_and_handle = [this, socket_id, p, from, node_id, refused](int ack_socket, bool first) {
        std::vector<handler_reply> replies;
        if (first && !refused)
            replies = run_handlers(socket_id, p, from, node_id);
        answer_positive(ack_socket, p, from);
        send_replies(socket_id, from, replies);
    };
    switch (b.kind) {
    case reply::ack:
        ack_and_handle(socket_id, d.copy == 1);
        break;
    case reply::drop_first:
        if (d.copy > b.drop_copies)
            ack_and_handle(socket_id, d.copy == b.drop_copies + 1);
        break;
    case reply::silent:
        break;
    case reply::nack:
        transmit(socket_id, from, build_nack(p));
        break;
    case reply::nack_waiting:
        transmit(socket_id, from, build_nack_waiting(p, b.expected_delay_s));
        if (d.copy == 1 && b.delay.count() > 0)
            transport_.schedule(b.delay, [ack_and_handle, socket_id] { ack_and_handle(socket_id, true); });
        break;
    case reply::late_ack:
        if (d.copy == 1)
            transport_.schedule(b.delay, [ack_and_handle, socket_id] { ack_and_handle(socket_id, true); });
        break;
    case reply::ack_from_other: {
        int other = foreign_socket(b.other_address);
        if (other >= 0)
            ack_and_handle(other, d.copy == 1);
        break;
    }
    }
}

std::vector<gateway::handler_reply> gateway::run_handlers(int socket_id, const zip_packet &p, const endpoint &from,
                                                          uint8_t node_id)
{
    std::vector<handler_reply> out;
    if (!p.has_command() || p.command.empty())
        return out;
    command_context ctx{p, from, transport_.local(socket_id).address, node_id};
    std::vector<command_reply> replies;
    {
        std::lock_guard lock(layer_mu_);
        if (layer_ && node_id != 0 && layer_->serves(node_id))
            replies = layer_->handle(ctx);
        else
            replies = handlers_.dispatch(ctx);
    }
    for (command_reply &r : replies) {
        packet_spec s;
        s.flags0 = r.ack_request ? flag0_ack_request : 0;
        s.secure = p.secure();
        s.seq = own_seq_.fetch_add(1);
        s.src_ep = p.dst_ep();
        s.dst_ep = p.src_ep & 0x7F;
        s.command = std::move(r.command);
        s.options = std::move(r.options);
        out.push_back({build_packet(s), r.delay});
    }
    return out;
}

void gateway::send_replies(int socket_id, const endpoint &from, const std::vector<handler_reply> &replies)
{
    for (const handler_reply &r : replies) {
        if (r.delay.count() > 0)
            transport_.schedule(r.delay, [this, socket_id, from, bytes = r.bytes] { transmit(socket_id, from, bytes); });
        else
            transmit(socket_id, from, r.bytes);
    }
}

bool gateway::node_asleep(uint8_t node_id) const
{
    if (node_id == 0 || node_id == foreign_node_id)
        return false;
    std::lock_guard lock(layer_mu_);
    return layer_ && layer_->serves(node_id) && layer_->asleep(node_id);
}

bool gateway::node_unreachable(uint8_t node_id) const
{
    if (node_id == 0 || node_id == foreign_node_id)
        return false;
    std::lock_guard lock(layer_mu_);
    return layer_ && layer_->serves(node_id) && layer_->unreachable(node_id);
}

void gateway::set_node_layer(node_layer *layer)
{
    std::lock_guard lock(layer_mu_);
    layer_ = layer;
    layer_generation_++;
}

void gateway::post_node_task(std::chrono::milliseconds delay, std::function<void()> task)
{
    uint64_t generation;
    {
        std::lock_guard lock(layer_mu_);
        generation = layer_generation_;
    }
    transport_.schedule(delay, [this, generation, task = std::move(task)] {
        std::lock_guard lock(layer_mu_);
        if (layer_generation_ == generation)
            task();
    });
}

int gateway::deliver_held(uint8_t node_id, const zip_packet &p, const endpoint &from)
{
    int id = socket_of(node_id);
    if (id < 0 || node_id == 0)
        return -ENOENT;
    std::vector<handler_reply> replies = run_handlers(id, p, from, node_id);
    if (p.ack_request())
        answer_positive(id, p, from);
    send_replies(id, from, replies);
    return 0;
}

int gateway::send_packet(const own_packet &p)
{
    int id = socket_of(p.from_node);
    if (id < 0)
        return -ENOENT;
    std::optional<endpoint> to = p.to ? p.to : last_client();
    if (!to)
        return -ENOTCONN;
    packet_spec s;
    s.flags0 = p.ack_request ? flag0_ack_request : 0;
    s.secure = p.secure;
    s.more_info = p.more_info;
    s.seq = p.seq ? *p.seq : own_seq_.fetch_add(1);
    s.src_ep = p.src_ep;
    s.dst_ep = p.dst_ep;
    s.bit_address = p.bit_address;
    s.options = p.options;
    s.command = p.command;
    std::vector<uint8_t> bytes = build_packet(s);
    if (bytes.empty())
        return -EINVAL;
    int rc = transmit(id, *to, bytes);
    return rc < 0 ? rc : s.seq;
}

int gateway::send_keep_alive(uint8_t from_node, std::optional<endpoint> to)
{
    return send_raw(build_keep_alive(keep_alive_ack_request), from_node, std::move(to));
}

int gateway::send_raw(const std::vector<uint8_t> &bytes, uint8_t from_node, std::optional<endpoint> to)
{
    int id = socket_of(from_node);
    if (id < 0)
        return -ENOENT;
    if (!to)
        to = last_client();
    if (!to)
        return -ENOTCONN;
    return transmit(id, *to, bytes);
}

sim::dtls_stats gateway::dtls_stats() const { return dtls_ ? dtls_->stats() : sim::dtls_stats{}; }

std::vector<recorded_frame> gateway::received() const
{
    std::lock_guard lock(rec_mu_);
    return {received_.begin(), received_.end()};
}

std::vector<recorded_frame> gateway::sent() const
{
    std::lock_guard lock(rec_mu_);
    return {sent_.begin(), sent_.end()};
}

uint64_t gateway::next_index() const
{
    std::lock_guard lock(rec_mu_);
    return next_rx_index_;
}

void gateway::clear_records()
{
    std::lock_guard lock(rec_mu_);
    received_.clear();
    sent_.clear();
}

std::optional<recorded_frame> gateway::wait_for(const frame_predicate &pred, std::chrono::milliseconds timeout,
                                                uint64_t from_index) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(rec_mu_);
    uint64_t checked_up_to = 0; // frames below this index were already tested
    for (;;) {
        for (const recorded_frame &r : received_) {
            if (r.index < from_index || r.index < checked_up_to)
                continue;
            if (pred(r))
                return r;
        }
        checked_up_to = next_rx_index_;
        if (rec_cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (const recorded_frame &r : received_)
                if (r.index >= from_index && r.index >= checked_up_to && pred(r))
                    return r;
            return std::nullopt;
        }
    }
}

std::optional<recorded_frame> gateway::wait_for_answer(uint8_t seq, std::chrono::milliseconds timeout,
                                                       uint64_t from_index) const
{
    return wait_for(
        [seq](const recorded_frame &r) {
            const zip_frame &f = r.frame;
            return f.kind == frame_kind::packet && !f.packet.ack_request() && f.packet.seq == seq &&
                   (f.packet.ack_response() || f.packet.nack());
        },
        timeout, from_index);
}

std::optional<recorded_frame> gateway::wait_for_keep_alive_ack(std::chrono::milliseconds timeout,
                                                               uint64_t from_index) const
{
    return wait_for(
        [](const recorded_frame &r) {
            return r.frame.kind == frame_kind::keep_alive && (r.frame.keep_alive_flags & keep_alive_ack_response);
        },
        timeout, from_index);
}

std::optional<recorded_frame> gateway::wait_for_command(uint8_t cmd_class, uint8_t command,
                                                        std::chrono::milliseconds timeout, uint64_t from_index) const
{
    return wait_for(
        [cmd_class, command](const recorded_frame &r) {
            const std::vector<uint8_t> &c = r.frame.packet.command;
            return r.frame.kind == frame_kind::packet && c.size() >= 2 && c[0] == cmd_class && c[1] == command;
        },
        timeout, from_index);
}

} // namespace sim
