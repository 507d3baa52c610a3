#include "util/zwu_inet.h"

#include "util/zws_log.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace {

constexpr zwu_status_t ok = 0;
constexpr zwu_status_t failed = 22;
constexpr uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

static_assert(ZWU_INET_ADDRSTRLEN == INET6_ADDRSTRLEN);
static_assert(ZWU_INET_IPV4_ADDRSTRLEN == INET_ADDRSTRLEN);

// inet_ntop takes a socklen_t; more room than any address text needs is
// as good as 0xFFFF bytes.
socklen_t text_room(size_t size) { return static_cast<socklen_t>(size > 0xFFFF ? 0xFFFF : size); }

} // namespace

zwu_status_t zwu_inet_pton(const char *src, uint8_t *dst)
{
    uint8_t address[16];
    if (inet_pton(AF_INET6, src, address) == 1) {
        ZWS_LOG_DEBUGGING("IPv6 address: %s", src);
        std::memcpy(dst, address, sizeof address);
        return ok;
    }
    uint8_t v4[4];
    if (inet_pton(AF_INET, src, v4) == 1) {
        ZWS_LOG_DEBUGGING("IPv4 address: %d.%d.%d.%d", v4[0], v4[1], v4[2], v4[3]);
        std::memcpy(dst, mapped_prefix, sizeof mapped_prefix);
        std::memcpy(dst + sizeof mapped_prefix, v4, sizeof v4);
        return ok;
    }
    ZWS_LOG_ERROR("Invalid IP address: %s", src);
    return failed;
}

zwu_status_t zwu_inet_ntop(const uint8_t *src, char *dst, size_t size)
{
    if (size < ZWU_INET_ADDRSTRLEN)
        return failed;
    std::memset(dst, 0, size);
    const socklen_t room = static_cast<socklen_t>(size);
    if (std::memcmp(src, mapped_prefix, sizeof mapped_prefix) == 0 &&
        inet_ntop(AF_INET, src + sizeof mapped_prefix, dst, room) != nullptr)
        return ok;
    if (inet_ntop(AF_INET6, src, dst, room) != nullptr)
        return ok;
    return failed;
}

zwu_status_t zwu_inet_pton_iptype(const char *src, uint8_t *dst, uint8_t *iptype)
{
    uint8_t address[16] = {};
    if (inet_pton(AF_INET6, src, address) == 1) {
        ZWS_LOG_DEBUGGING("Received IPv6 address: %s", src);
        std::memcpy(dst, address, sizeof address);
        *iptype = 0;
        return ok;
    }
    if (inet_pton(AF_INET, src, address) == 1) {
        ZWS_LOG_DEBUGGING("Received IPv4 address: %s", src);
        std::memcpy(dst, address, sizeof address);
        *iptype = 1;
        return ok;
    }
    ZWS_LOG_ERROR("Invalid IP address: %s", src);
    return failed;
}

zwu_status_t zwu_inet_ntop_iptype(const uint8_t *src, char *dst, uint8_t iptype, size_t size)
{
    std::memset(dst, 0, size);
    const socklen_t room = static_cast<socklen_t>(size > 0xFFFF ? 0xFFFF : size);
    if (iptype == 0 && inet_ntop(AF_INET6, src, dst, room) != nullptr) {
        ZWS_LOG_DEBUGGING("IPv6 address: %s", dst);
        return ok;
    }
    if (iptype == 1 && inet_ntop(AF_INET, src, dst, room) != nullptr) {
        ZWS_LOG_DEBUGGING("IPv4 address: %s", dst);
        return ok;
    }
    ZWS_LOG_ERROR("Invalid IP addres");
    return failed;
}

zwu_status_t zwu_inet_pton_ipv4(const char *src, uint8_t *dst)
{
    uint8_t address[4];
    if (inet_pton(AF_INET, src, address) != 1) {
        ZWS_LOG_ERROR("Invalid IP address: %s", src);
        return failed;
    }
    std::memcpy(dst, address, sizeof address);
    return ok;
}

zwu_status_t zwu_inet_ntop_ipv4(const uint8_t *src, char *dst, size_t size)
{
    if (size < ZWU_INET_IPV4_ADDRSTRLEN)
        return failed;
    std::memset(dst, 0, size);
    return inet_ntop(AF_INET, src, dst, text_room(size)) != nullptr ? ok : failed;
}

zwu_status_t zwu_inet_ntop_check(const uint8_t *src, uint8_t iptype)
{
    char text[ZWU_INET_ADDRSTRLEN];
    const int family = iptype == 1 ? AF_INET : AF_INET6;
    return inet_ntop(family, src, text, sizeof text) != nullptr ? ok : failed;
}
