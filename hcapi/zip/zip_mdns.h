// Gateway discovery by mDNS, and the small DNS message codec it needs.
//
// On each local interface the discovery thread joins the mDNS group
// (224.0.0.251 or ff02::fb, port 5353), asks for the PTR records of
// "_z-wave._udp.local" and follows the answers: an SRV question for every new
// service instance, then an A (IPv4) or AAAA (IPv6) question for the SRV
// target host. When the interface's receive window has closed, it reports
// the address and instance name of every instance it could resolve through
// the result callback shared with the probe discovery (zip_discvr.h).
//
// Names travel in two forms. The wire form (length-prefixed labels ending in
// a zero byte, no compression) is what the codec compares and re-asks with,
// so an instance label that itself holds a '.' ("Gateway v7.1") survives a
// round trip. The dotted text (labels joined by '.', no trailing dot) is what
// the caller sees.
//
// Replies come from anyone on the LAN: every reader takes the message start
// and its length and checks before each read. Compression pointers must point
// strictly before the name that holds them (so no loop can form), and a
// decoded name may not exceed 255 bytes in wire form.
#pragma once

#include "hcapi/zip/zip_discvr.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Fixed values
// ---------------------------------------------------------------------------

inline constexpr uint32_t MDNS_DISCVR_TAG = 0x1BABA38;  // first member of an mDNS discovery handle
inline constexpr uint16_t MDNS_PORT = 5353;
inline constexpr const char *MDNS_ZW_SERVICE = "_z-wave._udp.local";
inline constexpr size_t MDNS_HDR_LEN = 12;
inline constexpr size_t MDNS_QUERY_BUF = 200;      // header and one question
inline constexpr size_t MDNS_FOLLOW_UP_BUF = 500;  // question space of a follow-up query
inline constexpr size_t MDNS_RX_MAX = 1280;        // largest datagram read
inline constexpr size_t MDNS_LABEL_MAX = 63;
inline constexpr size_t MDNS_NAME_MAX = 255;       // a name's wire length, zero byte included
inline constexpr int MDNS_MAX_IF_ADDR = 100;       // IPv4 interface addresses
inline constexpr int MDNS_MAX_IF_IDX = 10;         // distinct IPv6 interfaces
inline constexpr int MDNS_MAX_RESULTS = 100;       // results per interface
inline constexpr size_t MDNS_TBL_MAX = 100;        // service instances tracked per receive pass

enum : uint16_t {
    MDNS_TYPE_A = 1,
    MDNS_TYPE_PTR = 12,
    MDNS_TYPE_AAAA = 28,
    MDNS_TYPE_SRV = 33,
};

// ---------------------------------------------------------------------------
// Discovery
// ---------------------------------------------------------------------------

struct mdns_discvr_state;

// Handle of one mDNS discovery. Standard layout, `tag` first, so that a stop
// call can tell it apart from a probe discovery's handle.
struct mdns_discvr_t {
    uint32_t tag;               // MDNS_DISCVR_TAG
    mdns_discvr_state *state;   // shared with the discovery thread
};

// Starts a discovery over IPv4 (ipv4 = 1) or IPv6 (0). Null when there is no
// memory or the thread cannot start. Waits at most 50 x 100 ms for the
// thread to run.
mdns_discvr_t *mdns_discvr_start(zip_gw_discvr_cb_t cb, void *user, int ipv4);

// Stops a discovery and frees its handle: -1 for none, -2 when the handle is
// not an mDNS one (its first 32 bits are not MDNS_DISCVR_TAG: hand it to
// zip_gw_discvr_stop), else 0. Waits at most 50 x 100 ms for the thread; once
// it returns the callback is not called again (a thread still ending keeps
// its own share of the state). May be called from the callback itself.
int mdns_discvr_stop(void *ctx);

// ---------------------------------------------------------------------------
// Message writer
// ---------------------------------------------------------------------------

// 12-byte header in network order into out (at least MDNS_HDR_LEN bytes).
void mdns_hdr_bld(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar, uint8_t *out);

// Dotted name to wire labels. *length: space in, bytes written out (zero byte
// included). 0; -2 a label over 63 bytes or the name over 255 in wire form;
// -3 out of space. Empty labels ("a..b", a leading or trailing '.') are
// skipped.
int mdns_dname_bld(const char *name, uint8_t *out, size_t *length);

// One question (class IN): a compression pointer to `offset` when it is not
// 0, else the encoded name; then type and class. *length: space in, bytes
// written out. 0; the codes of mdns_dname_bld (-2 also for an offset that a
// pointer cannot hold, -3 also when the pointer does not fit); -100 no room
// for type and class.
int mdns_qn_bld(const char *name, uint16_t offset, uint16_t type, uint8_t *out, size_t *length);

// The same with a name already in wire form (as the reader returns it).
int mdns_qn_bld_wire(const std::string &wire, uint16_t type, uint8_t *out, size_t *length);

// Sends to the group at port 5353; sendto's result.
long mdns_v4_snd(int sock, const uint8_t *data, size_t length);
long mdns_v6_snd(int sock, const uint8_t *data, size_t length);

// ---------------------------------------------------------------------------
// Message reader
// ---------------------------------------------------------------------------

struct mdns_name_t {
    std::string wire;  // labels with their length bytes, zero byte last
    std::string text;  // labels joined by '.'
};

// A parsed resource record of the answer section.
struct mdns_rr_t {
    uint16_t type = 0;
    uint32_t ttl = 0;
    mdns_name_t owner;
    bool has_value = false;  // the data of an A, AAAA, PTR or SRV record parsed
    uint8_t addr[16] = {};   // A: the first 4 bytes
    mdns_name_t target;      // PTR and SRV
    uint16_t priority = 0, weight = 0, port = 0;  // SRV
};

// 0 with the three counts; -1 fewer than 12 bytes; -2 not a response to a
// standard query without error (flags & 0xF80F != 0x8000); -3 questions
// present.
int mdns_hdr_parse(const uint8_t *msg, size_t length, uint16_t *an, uint16_t *ns, uint16_t *ar);

// Decodes the name at msg + pos, using at most *length bytes there (in) and
// returning the bytes it occupies at pos (out). 0; -1 empty name; -3 a label
// or pointer past the bytes available; -4 the pointed name is bad; -6 a
// length byte with only one top bit set; -7 nothing available; -8 a pointer
// to the name itself or beyond; -9 the name is over 255 bytes in wire form.
int mdns_parse_dname(const uint8_t *msg, size_t msg_len, size_t pos, size_t *length, mdns_name_t *name);

// Record data of `type` at msg + pos, *length bytes of it (in; the bytes
// used out). 0; -110 no data; -1 too short for its type; -100 a type that is
// not read; a name's code offset by -10 (so -11 .. -19) when a PTR or SRV
// target is bad.
int mdns_parse_rdata(uint16_t type, const uint8_t *msg, size_t msg_len, size_t pos, size_t *length, mdns_rr_t *rr);

// `count` records from msg + pos: 0 with the records; -1 count 0; -3 an
// owner name is bad; -4 fewer than 10 bytes of type, class, TTL and length;
// -5 class other than IN (the cache-flush bit ignored); -6 the data runs past
// the message. On failure `out` is left empty. Records whose data cannot be
// read stay in with has_value false.
int mdns_parse_answer(const uint8_t *msg, size_t msg_len, size_t pos, unsigned count, std::vector<mdns_rr_t> &out);

// ---------------------------------------------------------------------------
// Receive pass (exposed for tests and the fuzz target)
// ---------------------------------------------------------------------------

// One discovered service instance.
struct mdns_svc_t {
    mdns_name_t svc;     // instance name
    mdns_name_t host;    // SRV target, once its address has been asked for
    bool host_set = false;
    bool addr_set = false;
    uint8_t addr[16] = {};  // IPv4 in the first 4 bytes
};

// The table of one receive pass and the questions it wants sent.
struct mdns_pass_t {
    int ipv4 = 1;
    std::vector<mdns_svc_t> tbl;                 // at most MDNS_TBL_MAX entries
    std::vector<std::vector<uint8_t>> to_send;   // follow-up queries, oldest first
};

mdns_svc_t *mdns_tbl_find_by_svc(mdns_pass_t &pass, const std::string &wire);
mdns_svc_t *mdns_tbl_find_by_host(mdns_pass_t &pass, const std::string &wire);
// Adds an instance: the entry, or none when the table is full.
mdns_svc_t *mdns_svc_add(mdns_pass_t &pass, const mdns_name_t &svc);

// Handles one received datagram: 0 when it was used, else a negative code
// (the datagram was skipped). Follow-up queries land in pass.to_send.
int mdns_rcv_datagram(mdns_pass_t &pass, const uint8_t *msg, size_t length);

// The resolved instances of a pass, at most `max`: their addresses (4 or 16
// bytes each, by pass.ipv4) and dotted names.
void mdns_pass_results(const mdns_pass_t &pass, int max, std::vector<uint8_t> &addrs,
                       std::vector<std::string> &names);
