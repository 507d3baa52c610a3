#include "daemon/zwp_desc.h"

#include "daemon/zwp_avi_message.h"
#include "hcapi/include/zwnet.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_text.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The descriptor comes first in each entry, so that a descriptor handed out
// by a finder leads back to its entry.
struct if_entry {
    zwif_desc_t desc;
    if_entry *next;
    void *state;
    zwp_desc_state_destroy_t destroy;
    void *ctx;
};

struct ep_entry {
    zwep_desc_t desc;
    ep_entry *next;
    if_entry *ifs;
};

struct node_entry {
    zwnode_desc_t desc;
    node_entry *next;
    ep_entry *eps;
    zwp_desc_node_state_t *state;
};

static_assert(offsetof(if_entry, desc) == 0 && offsetof(ep_entry, desc) == 0 && offsetof(node_entry, desc) == 0,
              "a descriptor leads back to its entry");

// Command classes that requests never address: the build leaves them out.
constexpr uint8_t skipped_classes[] = {0x46, 0x81, 0x87, 0x35, 0x3C, 0x3D, 0x75, 0x94, 0x47, 0x8F};

} // namespace

struct zwp_desc_root_t {
    node_entry *nodes = nullptr;
    zwu_time_t utime = 0;
    zwnet_p hc = nullptr;
    zwp_desc_owner_t owner{};
};

namespace {

void if_free(if_entry *intf)
{
    if (intf->state && intf->destroy)
        intf->destroy(intf->state);
    delete intf;
}

void eps_free(ep_entry *ep)
{
    while (ep) {
        ep_entry *next = ep->next;
        for (if_entry *intf = ep->ifs; intf;) {
            if_entry *after = intf->next;
            if_free(intf);
            intf = after;
        }
        delete ep;
        ep = next;
    }
}

void node_free(node_entry *node)
{
    eps_free(node->eps);
    if (node->state) {
        zwp_desc_node_state_release(node->state);
        delete node->state;
    }
    delete node;
}

// The interface's states and report callbacks, from the interface
// message modules of its class.
int if_setup(if_entry *entry, const zwp_desc_owner_t &owner)
{
    return owner.if_messages && owner.if_setup ? owner.if_setup(owner.if_messages, &entry->desc, owner.pool) : 0;
}

int ifs_build(ep_entry *ep, const zwp_desc_owner_t &owner)
{
    zwif_desc_t intf{};
    int result = zwep_get_if(&ep->desc, &intf);
    if_entry **tail = &ep->ifs;
    while (result == 0) {
        if (!zwp_desc_if_skipped(intf.cls)) {
            auto *entry = new (std::nothrow) if_entry{intf, nullptr, nullptr, nullptr, owner.net};
            if (!entry) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                return 22;
            }
            *tail = entry;
            tail = &entry->next;
            if (if_setup(entry, owner) != 0)
                return 22;
        }
        zwif_desc_t next{};
        result = zwif_get_next(&intf, &next);
        intf = next;
    }
    if (result != ZW_ERR_INTF_NOT_FOUND)
        ZWS_LOG_WARN("zwep_get_if() or zwif_get_next() failed with '%s'", zwp_err_str(result));
    return 0;
}

// Builds the node's endpoints; on failure the caller frees what was made.
int eps_build(node_entry *node, const zwp_desc_owner_t &owner)
{
    zwep_desc_t ep{};
    int result = zwnode_get_ep(&node->desc, &ep);
    ep_entry **tail = &node->eps;
    while (result == 0) {
        auto *entry = new (std::nothrow) ep_entry{};
        if (!entry) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        entry->desc = ep;
        *tail = entry;
        tail = &entry->next;
        if (ifs_build(entry, owner) != 0)
            return 22;
        zwep_desc_t next{};
        result = zwep_get_next(&ep, &next);
        ep = next;
    }
    if (result != ZW_ERR_EP_NOT_FOUND)
        ZWS_LOG_WARN("zwnode_get_ep() or zwep_get_next() failed with '%s'", zwp_err_str(result));
    return 0;
}

uint8_t alive_state(zwnet_p hc, uint8_t node_id)
{
    switch (zwnet_node_sts_get(hc, node_id)) {
    case 0:
        return 3;
    case 2:
        return 5;
    default:
        return 4;
    }
}

ext_ver_t *ext_ver_dup(const ext_ver_t *from)
{
    if (!from)
        return nullptr;
    const size_t size = zwp_desc_ext_ver_size(from->fw_cnt);
    auto *copy = static_cast<ext_ver_t *>(std::malloc(size));
    if (copy)
        std::memcpy(copy, from, size);
    return copy;
}

int node_state_refresh(zwnet_p hc, node_entry *node)
{
    if (!node->state) {
        node->state = new (std::nothrow) zwp_desc_node_state_t{3, 0, nullptr};
        if (!node->state) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
    }
    zwp_desc_node_state_t *state = node->state;
    state->alive = alive_state(hc, node->desc.nodeid);
    std::free(state->ext_ver);
    state->ext_ver = zwnode_ext_ver_get(&node->desc);
    state->secure = 0;
    for (const ep_entry *ep = node->eps; ep; ep = ep->next)
        for (const if_entry *intf = ep->ifs; intf; intf = intf->next)
            if (intf->desc.propty & 0x01)
                state->secure = 1;
    return 0;
}

// A complete entry for the node, or null (with everything made freed).
node_entry *node_make(const zwp_desc_root_t *root, const zwnode_desc_t &desc)
{
    auto *node = new (std::nothrow) node_entry{};
    if (!node) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return nullptr;
    }
    node->desc = desc;
    if (eps_build(node, root->owner) != 0 || node_state_refresh(root->hc, node) != 0) {
        node_free(node);
        return nullptr;
    }
    return node;
}

node_entry *node_lookup(const zwp_desc_root_t *root, uint32_t node_id)
{
    for (node_entry *node = root ? root->nodes : nullptr; node; node = node->next)
        if (node->desc.nodeid == node_id)
            return node;
    return nullptr;
}

ep_entry *ep_lookup(const node_entry *node, uint32_t ep_id)
{
    for (ep_entry *ep = node ? node->eps : nullptr; ep; ep = ep->next)
        if (ep->desc.epid == ep_id)
            return ep;
    return nullptr;
}

void tree_touch(zwp_desc_root_t *root) { root->utime = zwu_time_now(); }

} // namespace

size_t zwp_desc_ext_ver_size(uint8_t fw_cnt)
{
    const size_t size = offsetof(ext_ver_t, fw_ver) + sizeof(uint16_t) * fw_cnt;
    return size < sizeof(ext_ver_t) ? sizeof(ext_ver_t) : size;
}

bool zwp_desc_node_state_copy(const zwp_desc_node_state_t &from, zwp_desc_node_state_t *to)
{
    *to = {from.alive, from.secure, nullptr};
    if (from.ext_ver && !(to->ext_ver = ext_ver_dup(from.ext_ver))) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return false;
    }
    return true;
}

void zwp_desc_node_state_release(zwp_desc_node_state_t *state)
{
    if (!state)
        return;
    std::free(state->ext_ver);
    state->ext_ver = nullptr;
}

int zwp_desc_if_skipped(uint16_t cls)
{
    for (uint8_t skipped : skipped_classes)
        if ((cls & 0xFF) == skipped)
            return 1;
    return 0;
}

int zwp_desc_tree_build(zwp_desc_root_t **out, zwnet_p hc, const zwp_desc_owner_t *owner)
{
    if (!out || !hc || !owner)
        return 22;
    auto *root = new (std::nothrow) zwp_desc_root_t{};
    if (!root) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    root->hc = hc;
    root->owner = *owner;
    zwnode_desc_t desc{};
    int result = zwnet_get_node(hc, &desc);
    node_entry **tail = &root->nodes;
    while (result == 0) {
        node_entry *node = node_make(root, desc);
        if (!node) {
            zwp_desc_tree_free(root);
            return 22;
        }
        *tail = node;
        tail = &node->next;
        zwnode_desc_t next{};
        result = zwnode_get_next(&desc, &next);
        desc = next;
    }
    if (result != ZW_ERR_NODE_NOT_FOUND)
        ZWS_LOG_WARN("zwnet_get_node() or zwnode_get_next() failed with '%s'", zwp_err_str(result));
    tree_touch(root);
    *out = root;
    return 0;
}

void zwp_desc_tree_free(zwp_desc_root_t *root)
{
    if (!root)
        return;
    tree_touch(root);
    for (node_entry *node = root->nodes; node;) {
        node_entry *next = node->next;
        node_free(node);
        node = next;
    }
    delete root;
}

zwu_time_t zwp_desc_tree_utime_get(const zwp_desc_root_t *root) { return root ? root->utime : 0; }

int zwp_desc_tree_node_add(zwp_desc_root_t *root, const zwnode_desc_t *node)
{
    if (!root || !node)
        return 22;
    // The node as the library holds it now, not as the callback saw it.
    zwep_desc_t ep{};
    zwnode_desc_t fresh{};
    if (zwnode_get_ep(node, &ep) != 0 || zwep_get_node(&ep, &fresh) != 0) {
        zwp_desc_tree_node_remove(root, node->nodeid);
        return 22;
    }
    node_entry *made = node_make(root, fresh);
    node_entry **at = &root->nodes;
    while (*at && (*at)->desc.nodeid != fresh.nodeid)
        at = &(*at)->next;
    node_entry *old = *at;
    tree_touch(root);
    if (!made) {
        if (old) {
            *at = old->next;
            node_free(old);
        }
        return 22;
    }
    made->next = old ? old->next : nullptr;
    *at = made;
    if (old)
        node_free(old);
    return 0;
}

int zwp_desc_tree_node_remove(zwp_desc_root_t *root, uint8_t node_id)
{
    node_entry **at = root ? &root->nodes : nullptr;
    while (at && *at && (*at)->desc.nodeid != node_id)
        at = &(*at)->next;
    if (!at || !*at) {
        ZWS_LOG_ERROR("Failed to find match for node id : %d", node_id);
        return 22;
    }
    node_entry *gone = *at;
    *at = gone->next;
    tree_touch(root);
    node_free(gone);
    return 0;
}

int zwp_desc_tree_node_alive_refresh(zwp_desc_root_t *root, uint8_t node_id)
{
    node_entry *node = node_lookup(root, node_id);
    if (!node) {
        ZWS_LOG_ERROR("Failed to find match for node id : %d", node_id);
        return 22;
    }
    if (node->state)
        node->state->alive = alive_state(root->hc, node_id);
    return 0;
}

int zwp_desc_node_find(const zwp_desc_root_t *root, uint32_t node_id, const zwnode_desc_t **node)
{
    const node_entry *entry = node_lookup(root, node_id);
    if (!entry) {
        ZWS_LOG_ERROR("Failed to find (NodeId): (%d)", static_cast<int>(node_id));
        return 22;
    }
    *node = &entry->desc;
    return 0;
}

int zwp_desc_ep_find(const zwp_desc_root_t *root, uint32_t node_id, uint32_t ep_id, const zwep_desc_t **ep)
{
    const ep_entry *entry = ep_lookup(node_lookup(root, node_id), ep_id);
    if (!entry) {
        ZWS_LOG_ERROR("Failed to find (NodeId, EndpointId): (%d, %d)", static_cast<int>(node_id),
                      static_cast<int>(ep_id));
        return 22;
    }
    *ep = &entry->desc;
    return 0;
}

int zwp_desc_if_find(const zwp_desc_root_t *root, uint32_t node_id, uint32_t ep_id, uint32_t cls,
                     const zwif_desc_t **intf)
{
    for (const if_entry *entry = [&]() -> const if_entry * {
             const ep_entry *ep = ep_lookup(node_lookup(root, node_id), ep_id);
             return ep ? ep->ifs : nullptr;
         }();
         entry; entry = entry->next) {
        if (entry->desc.cls == cls) {
            *intf = &entry->desc;
            return 0;
        }
    }
    ZWS_LOG_ERROR("Failed to find (NodeId, EndpointId, InterfaceId): (%d, %d, %d|0x%04x)", static_cast<int>(node_id),
                  static_cast<int>(ep_id), static_cast<int>(cls), static_cast<unsigned>(cls));
    return 22;
}

int zwp_desc_if_state_attach(const zwif_desc_t *intf, zwp_desc_state_create_t create,
                             zwp_desc_state_destroy_t destroy, apr_pool_t *pool)
{
    if (!intf || !create)
        return 22;
    auto *entry = reinterpret_cast<if_entry *>(const_cast<zwif_desc_t *>(intf));
    if (entry->state)
        return 0;
    void *state = nullptr;
    if (create(&state, pool) != 0)
        return 22;
    entry->state = state;
    entry->destroy = destroy;
    return 0;
}

void zwp_desc_if_state_detach(const zwif_desc_t *intf)
{
    if (!intf)
        return;
    auto *entry = reinterpret_cast<if_entry *>(const_cast<zwif_desc_t *>(intf));
    if (entry->state && entry->destroy)
        entry->destroy(entry->state);
    entry->state = nullptr;
    entry->destroy = nullptr;
}

void *zwp_desc_state_get(const zwif_desc_t *intf)
{
    return intf ? reinterpret_cast<const if_entry *>(intf)->state : nullptr;
}

void *zwp_desc_ctx_get(const zwif_desc_t *intf) { return intf ? reinterpret_cast<const if_entry *>(intf)->ctx : nullptr; }

int zwp_desc_node_state_get(const zwp_desc_root_t *root, uint8_t node_id, zwp_desc_node_state_t *state)
{
    const node_entry *node = node_lookup(root, node_id);
    if (!node || !state)
        return 22;
    if (!node->state) {
        *state = {3, 0, nullptr};
        return 0;
    }
    node->state->alive = alive_state(root->hc, node_id);
    return zwp_desc_node_state_copy(*node->state, state) ? 0 : 22;
}

int zwp_desc_node_list_get(const zwp_desc_root_t *root, std::vector<zwp_desc_node_item_t> *list)
{
    if (!root || !list)
        return 22;
    try {
        for (const node_entry *node = root->nodes; node; node = node->next) {
            zwp_desc_node_item_t item{node->desc, {3, 0, nullptr}};
            if (zwp_desc_node_state_get(root, node->desc.nodeid, &item.state) != 0) {
                zwp_desc_node_list_release(list);
                return 22;
            }
            list->push_back(item);
        }
    } catch (const std::bad_alloc &) {
        zwp_desc_node_list_release(list);
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}

void zwp_desc_node_list_release(std::vector<zwp_desc_node_item_t> *list)
{
    if (!list)
        return;
    for (zwp_desc_node_item_t &item : *list)
        zwp_desc_node_state_release(&item.state);
    list->clear();
}

namespace {

template <typename Fn>
int list_fill(Fn fill)
{
    try {
        return fill();
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

} // namespace

int zwp_desc_all_ep_list_get(const zwp_desc_root_t *root, std::vector<zwep_desc_t> *list)
{
    if (!root || !list)
        return 22;
    return list_fill([&]() {
        for (const node_entry *node = root->nodes; node; node = node->next)
            for (const ep_entry *ep = node->eps; ep; ep = ep->next)
                list->push_back(ep->desc);
        return 0;
    });
}

int zwp_desc_node_ep_list_get(const zwp_desc_root_t *root, uint8_t node_id, std::vector<zwep_desc_t> *list)
{
    const node_entry *node = node_lookup(root, node_id);
    if (!node || !list)
        return 22;
    return list_fill([&]() {
        for (const ep_entry *ep = node->eps; ep; ep = ep->next)
            list->push_back(ep->desc);
        return 0;
    });
}

int zwp_desc_ep_if_list_get(const zwp_desc_root_t *root, uint8_t node_id, uint8_t ep_id,
                            std::vector<zwif_desc_t> *list)
{
    const ep_entry *ep = ep_lookup(node_lookup(root, node_id), ep_id);
    if (!ep || !list)
        return 22;
    return list_fill([&]() {
        for (const if_entry *intf = ep->ifs; intf; intf = intf->next)
            list->push_back(intf->desc);
        return 0;
    });
}

int zwp_desc_node_eps_get(const zwnode_desc_t *node, std::vector<zwep_desc_t> *list)
{
    if (!node || !list)
        return 22;
    const auto *entry = reinterpret_cast<const node_entry *>(node);
    return list_fill([&]() {
        for (const ep_entry *ep = entry->eps; ep; ep = ep->next)
            list->push_back(ep->desc);
        return 0;
    });
}

int zwp_desc_ep_ifs_get(const zwep_desc_t *ep, std::vector<zwif_desc_t> *list)
{
    if (!ep || !list)
        return 22;
    const auto *entry = reinterpret_cast<const ep_entry *>(ep);
    return list_fill([&]() {
        for (const if_entry *intf = entry->ifs; intf; intf = intf->next)
            list->push_back(intf->desc);
        return 0;
    });
}

void zwp_desc_ep_nameloc_store(const zwep_desc_t *ep, const char *name, const char *loc)
{
    if (!ep)
        return;
    // The entries are the tree's own, which the caller holds locked.
    auto *entry = reinterpret_cast<ep_entry *>(const_cast<zwep_desc_t *>(ep));
    std::snprintf(entry->desc.name, sizeof entry->desc.name, "%s", name ? name : "");
    std::snprintf(entry->desc.loc, sizeof entry->desc.loc, "%s", loc ? loc : "");
}
