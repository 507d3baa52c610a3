// The shape every interface message family shares: the per-interface state
// and how reports reach it, the report waits, the field tables of requests
// and replies, and the descriptors built from them. A family module is then
// mostly rows: its state record, the fields of its requests and replies, and
// one descriptor per message; hand-written code is left for what really
// differs between classes.
//
// Reports never wait for the descriptor lock. They arrive on the session's
// receive thread, the same thread whose reading of the gateway's answers
// opens the one-send gate that a worker may be waiting at with the
// descriptor lock held. A report callback therefore finds its interface's
// state on a board of its own (a leaf lock), stores under the state's own
// lock, and posts the network's report sequence; a worker takes the
// sequence number before it looks at the state and waits for a later post
// (daemon/zwp_net.h). Lock order: descriptor lock, then a state's lock; the
// board's lock is taken alone.
//
// Each kind of report a state holds (a value, a supported list, readings
// keyed by type and scale...) carries the number of its last report, and a
// keyed kind the number per key. Reports are numbered across all states;
// a get takes the number at its call, and its wait ends only once its own
// kind (and key) was reported after that: a reading of another scale, or a
// configuration report, never ends a get for something else.
#pragma once

#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_log.h"
#include "hcapi/include/zwif.h"

#include <avro.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zwp_if {

// ---------------------------------------------------------------------------
// Report numbers
// ---------------------------------------------------------------------------

// The next report number (never 0).
uint64_t stamp_next();
// The number taken by the last call slot on this thread. The call slot and
// the report check of one request run one after the other on the same
// worker, and a get has no argument record to carry it.
uint64_t call_stamp();
// Takes the number for a call about to be made on this thread.
void call_begin();

// One kind of report: the number of its last report, 0 before any.
struct report_kind {
    uint64_t stamp = 0;
    void touch() { stamp = stamp_next(); }
    bool since_call() const { return stamp > call_stamp(); }
};

// ---------------------------------------------------------------------------
// States
// ---------------------------------------------------------------------------

// The head of every module's state. `module` tags the module that made it,
// so that a slot never reads another class's state as its own. Everything
// below the head is read and written under `lock`.
struct state_base {
    explicit state_base(const void *tag) : module(tag) {}
    virtual ~state_base() = default;
    state_base(const state_base &) = delete;
    state_base &operator=(const state_base &) = delete;

    const void *const module;
    std::mutex lock;
};

// Where the tree keeps a state: the tree's pointer owns one reference, the
// board another, and a report callback at work a third, so a state that the
// tree drops in the middle of a report outlives that report.
struct state_ref {
    std::shared_ptr<state_base> state;
};

// The board: from an interface of the library (network, node, endpoint,
// class) to its state, without the descriptor lock.
void board_add(const zwif_desc_t *intf, const std::shared_ptr<state_base> &state);
void board_remove(const state_base *state);
std::shared_ptr<state_base> board_find(const zwif_desc_t *intf);

// After a report was stored: wakes the workers that wait on the network.
void report_post(const zwif_desc_t *intf);

// The state of the module `State` (State::tag) on a tree interface, under
// the descriptor lock; null with `error` logged when there is none.
template <typename State> State *state_of(const zwif_desc_t *intf, const char *error = "Failed to get state")
{
    const auto *ref = static_cast<const state_ref *>(zwp_desc_state_get(intf));
    if (!ref || !ref->state || ref->state->module != &State::tag) {
        ZWS_LOG_ERROR("%s", error);
        return nullptr;
    }
    return static_cast<State *>(ref->state.get());
}

template <typename State> int state_create(void **out, apr_pool_t *)
{
    auto *ref = new (std::nothrow) state_ref{};
    if (ref) {
        try {
            ref->state = std::make_shared<State>();
        } catch (const std::bad_alloc &) {
            delete ref;
            ref = nullptr;
        }
    }
    if (!ref) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    *out = ref;
    return 0;
}

// The tree lets go of a state: a worker waiting on it is woken by the
// tree's change and finds its interface again, or none.
void state_destroy(void *opaque);

// Runs fn(State &) under the state's lock for a report from the library,
// then wakes the waiting workers. A report for an interface that has no
// state of this module (or no longer has one) is dropped.
template <typename State, typename Fn> void report_store(zwif_desc_t *intf, Fn fn)
{
    std::shared_ptr<state_base> found = board_find(intf);
    if (!found || found->module != &State::tag) {
        ZWS_LOG_ERROR("Failed to get state");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(found->lock);
        fn(*static_cast<State *>(found.get()));
    }
    report_post(intf);
}

// The slot's view of a state: found and locked, or not found.
template <typename State> class locked {
public:
    locked(const zwif_desc_t *intf, const char *error) : state_(state_of<State>(intf, error))
    {
        if (state_)
            state_->lock.lock();
    }
    ~locked()
    {
        if (state_)
            state_->lock.unlock();
    }
    locked(const locked &) = delete;
    locked &operator=(const locked &) = delete;
    explicit operator bool() const { return state_ != nullptr; }
    State *operator->() const { return state_; }
    State &operator*() const { return *state_; }

private:
    State *state_;
};

// ---------------------------------------------------------------------------
// State kinds
// ---------------------------------------------------------------------------

// One record and its kind: a value with its time, a supported report.
template <typename Record> struct single {
    report_kind kind;
    Record record{};
};

// Entries keyed by type, scale, component...: at most `Cap` of them (a
// device cannot grow the daemon's memory), the oldest dropped first, each
// with the number of its last report.
template <typename Key, typename Entry, size_t Cap = 64> struct keyed {
    using key_type = Key;
    using entry_type = Entry;
    struct item {
        Key key;
        uint64_t stamp;
        Entry entry;
    };
    report_kind kind; // any report of this kind, with data or not
    std::vector<item> items;

    // The entry of `key`, made (zero-filled) when missing, stamped as just
    // reported. Null when out of memory.
    Entry *update(const Key &key)
    {
        kind.touch();
        for (item &i : items) {
            if (i.key == key) {
                i.stamp = kind.stamp;
                return &i.entry;
            }
        }
        try {
            if (items.size() >= Cap)
                items.erase(std::min_element(items.begin(), items.end(),
                                             [](const item &a, const item &b) { return a.stamp < b.stamp; }));
            items.push_back(item{key, kind.stamp, Entry{}});
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        return &items.back().entry;
    }
    // A report with data of `key`: its entry as update() gives it, an
    // allocation failure logged.
    Entry *reported(const Key &key)
    {
        Entry *entry = update(key);
        if (!entry)
            ZWS_LOG_ERROR("Failed to allocate memory");
        return entry;
    }
    // Some key that `match` accepts was reported after this thread's call.
    template <typename Match> bool since_call(Match match) const
    {
        for (const item &i : items) {
            if (i.stamp > call_stamp() && match(i.key))
                return true;
        }
        return false;
    }
    template <typename Match> std::vector<Entry> copy_if(Match match) const
    {
        std::vector<Entry> out;
        for (const item &i : items) {
            if (match(i.key))
                out.push_back(i.entry);
        }
        return out;
    }
    const Entry *find(const Key &key) const
    {
        for (const item &i : items) {
            if (i.key == key)
                return &i.entry;
        }
        return nullptr;
    }
};

// ---------------------------------------------------------------------------
// Request fields
// ---------------------------------------------------------------------------

// The range a request's int field must fall in before it is stored; -1
// stands for "absent" where the range allows it. Values sent to a device are
// never narrowed into its field silently. The common ranges are named
// (check::u8, ...); a field narrower than a byte gives its own bounds.
struct check {
    int32_t min;
    int32_t max;
    bool absent = false;  // -1 is taken as well
    bool nonzero = false; // any value but 0

    static const check none, u8, u8_absent, u16, u16_absent, nonzero_any, flag;
};
inline constexpr check check::none{INT32_MIN, INT32_MAX};
inline constexpr check check::u8{0, 255};
inline constexpr check check::u8_absent{0, 255, true};
inline constexpr check check::u16{0, 65535};
inline constexpr check check::u16_absent{0, 65535, true};
inline constexpr check check::nonzero_any{INT32_MIN, INT32_MAX, false, true};
inline constexpr check check::flag{0, 1};

// One int field of a request's `parameter` record, stored into `member` of
// the family's argument record; `error` is the line for a value out of
// range, with one %d.
template <typename Args> struct arg_field {
    const char *name;
    int32_t Args::*member;
    check range;
    const char *error;
};

// Checks one value; logs `error` and returns 22 when it is out of range.
int arg_check(int32_t value, const check &range, const char *error);
// The int field `name` of `parameter`: 0, or 22 (the field helper logs).
int arg_int(avro_value_t *parameter, const char *name, int32_t *value);

template <typename Args> void args_free(void *arguments) { delete static_cast<Args *>(arguments); }

template <typename Args> int args_read(avro_value_t *parameter, std::span<const arg_field<Args>> fields, Args **out)
{
    auto *args = new (std::nothrow) Args{};
    if (!args) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    for (const arg_field<Args> &field : fields) {
        int32_t value = 0;
        if (arg_int(parameter, field.name, &value) != 0 || arg_check(value, field.range, field.error) != 0) {
            delete args;
            return 22;
        }
        args->*field.member = value;
    }
    *out = args;
    return 0;
}

// The argument handler of a message whose fields are the table `Fields`.
template <typename Args, const auto &Fields> int args_handler(avro_value_t *parameter, void **arguments)
{
    Args *args = nullptr;
    if (args_read<Args>(parameter, std::span<const arg_field<Args>>(Fields), &args) != 0)
        return 22;
    *arguments = args;
    return 0;
}

template <typename Args> const Args &args_of(void *arguments) { return *static_cast<const Args *>(arguments); }

// ---------------------------------------------------------------------------
// Reply fields
// ---------------------------------------------------------------------------

using fixed4 = std::array<uint8_t, 4>;
using byte_list = std::vector<uint8_t>;

// A reading's value as the reply holds it: the first `size` bytes (most
// significant first) behind a zero fill. A size beyond the field is cut to
// it, so that size and bytes agree; the size kept.
inline uint8_t value_copy(const uint8_t (&data)[4], uint8_t size, fixed4 *out)
{
    const uint8_t n = std::min<uint8_t>(size, 4);
    *out = {};
    std::memcpy(out->data(), data, n);
    return n;
}

// A reply field and the member it is written from; the member's type says
// the Avro type: 64 bits a long, narrower numbers an int, fixed4 a fixed of
// 4 bytes, byte_list an array of int.
template <typename Rec>
using member_t = std::variant<uint64_t Rec::*, uint32_t Rec::*, int32_t Rec::*, uint16_t Rec::*, uint8_t Rec::*,
                              fixed4 Rec::*, byte_list Rec::*>;

template <typename Rec> struct out_field {
    const char *name;
    member_t<Rec> member;
};

int out_long(avro_value_t *record, const char *name, int64_t value);
int out_int(avro_value_t *record, const char *name, int32_t value);
int out_fixed(avro_value_t *record, const char *name, const fixed4 &value);
int out_int_list(avro_value_t *record, const char *name, const byte_list &values);
// The array field `name` of `record`, emptied, for entries to be appended;
// `error` (with the field's name and the Avro error) logged on failure.
int out_array(avro_value_t *record, const char *name, const char *error, avro_value_t *array);
int out_append(avro_value_t *array, avro_value_t *element);

template <typename Rec> int out_write(avro_value_t *record, const Rec &rec, std::span<const out_field<Rec>> fields)
{
    for (const out_field<Rec> &field : fields) {
        const int written = std::visit(
            [&](auto member) -> int {
                using T = std::remove_cvref_t<decltype(rec.*member)>;
                if constexpr (std::is_same_v<T, uint64_t>)
                    return out_long(record, field.name, static_cast<int64_t>(rec.*member));
                else if constexpr (std::is_same_v<T, fixed4>)
                    return out_fixed(record, field.name, rec.*member);
                else if constexpr (std::is_same_v<T, byte_list>)
                    return out_int_list(record, field.name, rec.*member);
                else
                    return out_int(record, field.name, static_cast<int32_t>(rec.*member));
            },
            field.member);
        if (written != 0)
            return 22;
    }
    return 0;
}

// The result handler of a reply whose fields are the table `Fields` of the
// result record `Rec`.
template <typename Rec, const auto &Fields> int result_handler(void *results, avro_value_t *parameter)
{
    if (!results)
        return 22;
    return out_write<Rec>(parameter, *static_cast<const Rec *>(results), std::span<const out_field<Rec>>(Fields));
}

// A reply that is one list of records: `name` the array field, `Fields`
// the fields of each entry, `error` the line for a missing array.
template <typename Entry> struct out_list {
    const char *name;
    std::span<const out_field<Entry>> fields;
    const char *error;
};

template <typename Entry, const out_list<Entry> &List> int list_handler(void *results, avro_value_t *parameter)
{
    if (!results)
        return 22;
    avro_value_t array;
    if (out_array(parameter, List.name, List.error, &array) != 0)
        return 22;
    for (const Entry &entry : *static_cast<const std::vector<Entry> *>(results)) {
        avro_value_t element;
        if (out_append(&array, &element) != 0 || out_write<Entry>(&element, entry, List.fields) != 0)
            return 22;
    }
    return 0;
}

template <typename Rec> void result_free(void *results) { delete static_cast<Rec *>(results); }

// Hands a copy of `rec` out as a request's result.
template <typename Rec> int result_make(Rec rec, void **out)
{
    auto *copy = new (std::nothrow) Rec(std::move(rec));
    if (!copy) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    *out = copy;
    return 0;
}

// ---------------------------------------------------------------------------
// Slots
// ---------------------------------------------------------------------------

// Flags of a get: post the cached report (bit 0), then ask the device (bit 1).
inline constexpr uint32_t get_cached_and_live = 3;
inline constexpr uint32_t get_cached_only = 1;

// A call slot in a family's terms: the library's status, after the state's
// report numbers were taken for a get.
using call_fn = int (*)(const zwif_desc_t *intf, void *arguments);

// The call slot of a get: finds the state (so a get on an interface
// without its module fails before anything is sent), takes this call's
// report number, calls.
template <typename State, call_fn Call> int get_call(const zwif_desc_t *intf, void *arguments, uint32_t *status)
{
    if (!state_of<State>(intf, State::state_error))
        return 22;
    call_begin();
    *status = static_cast<uint32_t>(Call(intf, arguments));
    return 0;
}

// The call slot of a set: the library's status, nothing waited for.
template <call_fn Call> int set_call(const zwif_desc_t *intf, void *arguments, uint32_t *status)
{
    *status = static_cast<uint32_t>(Call(intf, arguments));
    return 0;
}

// The report check of a get that waits for one kind: done once that kind
// was reported after the call.
template <typename State, auto Kind> int kind_wait(const zwif_desc_t *intf, void *)
{
    locked<State> state(intf, State::state_error);
    if (!state)
        return 22;
    return ((*state).*Kind).kind.since_call() ? 0 : 22;
}

// The report check of a get that waits on the keyed kind `Kind` of its
// state. A request that asks for no key (`Any(args)`) ends on any report of
// the kind, one without data too; otherwise only a report with data of a key
// that `Match(args, key)` accepts ends it, once it came after the call.
template <typename Args> bool no_key(const Args &) { return false; }

template <typename State, auto Kind, typename Args, auto Any, auto Match>
int keyed_wait(const zwif_desc_t *intf, void *arguments)
{
    const Args &args = args_of<Args>(arguments);
    locked<State> state(intf, State::state_error);
    if (!state)
        return 22;
    const auto &kind = (*state).*Kind;
    using key_type = typename std::remove_cvref_t<decltype(kind)>::key_type;
    const bool done = Any(args) ? kind.kind.since_call()
                                : kind.since_call([&](const key_type &key) { return Match(args, key); });
    return done ? 0 : 22;
}

// The entries of the keyed kind `Kind` whose keys `Match(args, key)` accepts,
// as the reply of a list get.
template <typename State, auto Kind, typename Args, auto Match> auto keyed_take(const State &state, void *arguments)
{
    const Args &args = args_of<Args>(arguments);
    const auto &kind = state.*Kind;
    using key_type = typename std::remove_cvref_t<decltype(kind)>::key_type;
    return kind.copy_if([&](const key_type &key) { return Match(args, key); });
}

// A result taken from the state under its lock.
template <typename State, typename Rec, Rec (*Take)(const State &, void *arguments)>
int result_get(const zwif_desc_t *intf, void *arguments, void **out)
{
    Rec rec;
    {
        locked<State> state(intf, State::state_error);
        if (!state)
            return 22;
        try {
            rec = Take(*state, arguments);
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
    }
    return result_make(std::move(rec), out);
}

// The record of a single kind, as the reply of its get.
template <typename State, auto Kind> auto single_take(const State &state, void *) { return (state.*Kind).record; }

// Registers a report callback once per interface when the tree is built;
// the library's status goes to `status`.
using report_set_fn = int (*)(const zwif_desc_t *intf);
template <report_set_fn... Sets> int setup(const zwif_desc_t *intf, uint32_t *status)
{
    int result = 0;
    // Every registration runs; the first failure is the one reported.
    ((result = [&] {
         const int set = Sets(intf);
         return result < 0 ? result : set;
     }()),
     ...);
    *status = result < 0 ? static_cast<uint32_t>(result) : 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

// Every field of a descriptor, named, so that a family's table reads as
// rows. The get that owns the module's state carries `owner` true.
struct message_row {
    const char *name;
    uint64_t command_class;
    int (*setup)(const zwif_desc_t *intf, uint32_t *status) = nullptr;
    zwp_avi_argument_handler_t argument_handler = nullptr;
    zwp_avi_free_t argument_free = nullptr;
    int (*report_wait)(const zwif_desc_t *intf, void *arguments) = nullptr;
    int (*hcapi_call)(const zwif_desc_t *intf, void *arguments, uint32_t *status) = nullptr;
    int (*result_get)(const zwif_desc_t *intf, void *arguments, void **results) = nullptr;
    zwp_avi_result_handler_t result_handler = nullptr;
    zwp_avi_free_t result_free = nullptr;
};

// The descriptor of a row; `State` makes and frees the state when the row
// is the module's owner (has a setup, or is the first row of the module).
template <typename State> constexpr zwp_avi_message_interfaces descriptor(const message_row &row, bool owner)
{
    return {row.name,
            row.command_class,
            row.setup,
            owner ? state_create<State> : nullptr,
            owner ? state_destroy : nullptr,
            row.argument_handler,
            row.argument_free,
            row.report_wait,
            row.hcapi_call,
            row.result_get,
            row.result_handler,
            row.result_free};
}

// The row of a get that waits for the single kind `Kind` of its state and
// answers its record through the reply fields `Fields`.
template <typename State, auto Kind, call_fn Call, const auto &Fields>
constexpr message_row single_get(const char *name, uint64_t command_class)
{
    using Rec = std::remove_cvref_t<decltype((std::declval<State>().*Kind).record)>;
    return {.name = name,
            .command_class = command_class,
            .report_wait = kind_wait<State, Kind>,
            .hcapi_call = get_call<State, Call>,
            .result_get = result_get<State, Rec, single_take<State, Kind>>,
            .result_handler = result_handler<Rec, Fields>,
            .result_free = result_free<Rec>};
}

// The row of a set whose request fields are `Fields` of `Args`.
template <typename Args, const auto &Fields, call_fn Call>
constexpr message_row args_set(const char *name, uint64_t command_class)
{
    return {.name = name,
            .command_class = command_class,
            .argument_handler = args_handler<Args, Fields>,
            .argument_free = args_free<Args>,
            .hcapi_call = set_call<Call>};
}

// Appends a module's descriptors in table order. 0, or 22 at the first
// failure.
int messages_register(zwu_array_list_t list, std::span<const zwp_avi_message_interfaces> messages);

} // namespace zwp_if
