#include "hcapi/zip/zip_addr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Any port finds the route; the gateways' own is as good as another.
constexpr uint16_t route_port = 4123;

struct fd_guard {
    int fd = -1;
    ~fd_guard()
    {
        if (fd >= 0)
            close(fd);
    }
};

void show(const char *format, ...) __attribute__((format(printf, 1, 2)));
void show(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

}  // namespace


int util_if_addr_list(int max, void *list, int ipv4)
{
    if (list == nullptr || max <= 0)
        return 0;
    if (max > UTIL_IF_ADDR_MAX)
        max = UTIL_IF_ADDR_MAX;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return 0;
    int count = 0;
    for (ifaddrs *ifa = all; ifa != nullptr && count < max; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr)
            continue;
        if (ipv4) {
            if (ifa->ifa_addr->sa_family != AF_INET)
                continue;
            const auto *a = reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in *>(ifa->ifa_addr)->sin_addr);
            static const uint8_t loopback[4] = {127, 0, 0, 1};
            if (std::memcmp(a, loopback, 4) == 0 || (a[0] == 169 && a[1] == 254) || util_is_zeros4(a) == 0)
                continue;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, a, text, sizeof text);
            show("\tIPv4 Address: %s\n", text);
            std::memcpy(static_cast<uint8_t *>(list) + static_cast<size_t>(count) * 4, a, 4);
            ++count;
        } else {
            if (ifa->ifa_addr->sa_family != AF_INET6)
                continue;
            const auto *a =
                reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in6 *>(ifa->ifa_addr)->sin6_addr);
            static const uint8_t link_local[8] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0};
            if (IN6_IS_ADDR_LOOPBACK(reinterpret_cast<const in6_addr *>(a)) || util_is_zeros16(a) == 0 ||
                std::memcmp(a, link_local, 8) == 0)
                continue;
            char text[INET6_ADDRSTRLEN] = "";
            inet_ntop(AF_INET6, a, text, sizeof text);
            show("\tIPv6 Address: %s\n", text);
            util_if_addr6_t rec{};
            rec.if_idx = ifa->ifa_name != nullptr ? if_nametoindex(ifa->ifa_name) : 0;
            std::memcpy(rec.addr, a, 16);
            static_cast<util_if_addr6_t *>(list)[count] = rec;
            ++count;
        }
    }
    freeifaddrs(all);
    return count;
}

int util_ip_addr_parse(const char *text, uint8_t *addr, int *ipv4)
{
    if (text == nullptr || addr == nullptr || ipv4 == nullptr)
        return -2;
    uint8_t buf[16];
    if (inet_pton(AF_INET, text, buf) == 1) {
        std::memcpy(addr, buf, 4);
        *ipv4 = 1;
        return 0;
    }
    if (inet_pton(AF_INET6, text, buf) == 1) {
        std::memcpy(addr, buf, 16);
        *ipv4 = 0;
        return 0;
    }
    return -2;
}

int util_ip_addr_to_str(const uint8_t *addr, char *text, size_t size, int ipv4)
{
    if (addr == nullptr || text == nullptr || size == 0)
        return EAI_FAIL;
    sockaddr_storage ss{};
    socklen_t len;
    if (ipv4) {
        auto *sa = reinterpret_cast<sockaddr_in *>(&ss);
        sa->sin_family = AF_INET;
        std::memcpy(&sa->sin_addr, addr, 4);
        len = sizeof(sockaddr_in);
    } else {
        auto *sa = reinterpret_cast<sockaddr_in6 *>(&ss);
        sa->sin6_family = AF_INET6;
        std::memcpy(&sa->sin6_addr, addr, 16);
        len = sizeof(sockaddr_in6);
    }
    return getnameinfo(reinterpret_cast<sockaddr *>(&ss), len, text, static_cast<socklen_t>(size), nullptr, 0,
                       NI_NUMERICHOST);
}

int util_local_addr_get(const uint8_t *dest, uint8_t *local, int ipv4)
{
    if (dest == nullptr || local == nullptr)
        return -2;
    fd_guard s{socket(ipv4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0)
        return -2;
    sockaddr_storage to{};
    socklen_t to_len;
    if (ipv4) {
        auto *sa = reinterpret_cast<sockaddr_in *>(&to);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(route_port);
        std::memcpy(&sa->sin_addr, dest, 4);
        to_len = sizeof(sockaddr_in);
    } else {
        auto *sa = reinterpret_cast<sockaddr_in6 *>(&to);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(route_port);
        std::memcpy(&sa->sin6_addr, dest, 16);
        to_len = sizeof(sockaddr_in6);
    }
    if (connect(s.fd, reinterpret_cast<sockaddr *>(&to), to_len) != 0)
        return -3;
    sockaddr_storage me{};
    socklen_t me_len = sizeof me;
    if (getsockname(s.fd, reinterpret_cast<sockaddr *>(&me), &me_len) != 0)
        return -4;
    if (ipv4 && me.ss_family == AF_INET)
        std::memcpy(local, &reinterpret_cast<sockaddr_in *>(&me)->sin_addr, 4);
    else if (!ipv4 && me.ss_family == AF_INET6)
        std::memcpy(local, &reinterpret_cast<sockaddr_in6 *>(&me)->sin6_addr, 16);
    else
        return -4;
    return 0;
}

int util_is_zeros16(const uint8_t *addr)
{
    static const uint8_t zeros[16] = {};
    return std::memcmp(addr, zeros, 16);
}

int util_is_zeros4(const uint8_t *addr)
{
    static const uint8_t zeros[4] = {};
    return std::memcmp(addr, zeros, 4);
}

int util_is_ipv4_mapped(const uint8_t *addr)
{
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(addr, prefix, 12) == 0 ? 1 : 0;
}
