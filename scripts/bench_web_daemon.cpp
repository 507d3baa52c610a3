// A stand-in for kestrund's socket in scripts/bench_web.sh, to tell
// trellan's own cost from the daemon's:
//   record <frame file>          take one request frame and keep it
//   ask <frame file> <reply>     send the frame to the real daemon, keep the reply
//   serve <reply file>           answer every request with the kept reply
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

sockaddr_un daemon_address()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, "#kestrund_socket", 16);
    address.sun_path[0] = '\0';
    return address;
}

std::string read_file(const char *path)
{
    std::string data;
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return data;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        data.append(block, got);
    std::fclose(file);
    return data;
}

bool write_file(const char *path, const std::string &data)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && ok;
}

// One length-prefixed frame, or what came before the end.
std::string read_frame(int fd)
{
    std::string data;
    char block[4096];
    for (;;) {
        if (data.size() >= 4) {
            const auto *p = reinterpret_cast<const unsigned char *>(data.data());
            const size_t length = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
            if (data.size() >= length + 4)
                return data;
        }
        const ssize_t got = recv(fd, block, sizeof block, 0);
        if (got <= 0)
            return data;
        data.append(block, static_cast<size_t>(got));
    }
}

void send_all(int fd, const std::string &data)
{
    size_t at = 0;
    while (at < data.size()) {
        const ssize_t sent = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        at += static_cast<size_t>(sent);
    }
}

int listen_socket()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = daemon_address();
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
        std::perror("listen");
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "record" && argc == 3) {
        const int listener = listen_socket();
        if (listener < 0)
            return 1;
        std::printf("ready\n");
        std::fflush(stdout);
        const int fd = accept(listener, nullptr, nullptr);
        const bool ok = fd >= 0 && write_file(argv[2], read_frame(fd));
        return ok ? 0 : 1;
    }
    if (mode == "ask" && argc == 4) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = daemon_address();
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            std::perror("connect");
            return 1;
        }
        send_all(fd, read_file(argv[2]));
        std::string reply;
        char block[4096];
        ssize_t got;
        while ((got = recv(fd, block, sizeof block, 0)) > 0)
            reply.append(block, static_cast<size_t>(got));
        return !reply.empty() && write_file(argv[3], reply) ? 0 : 1;
    }
    if (mode == "serve" && argc == 3) {
        const std::string reply = read_file(argv[2]);
        const int listener = listen_socket();
        if (listener < 0 || reply.empty())
            return 1;
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            read_frame(fd);
            send_all(fd, reply);
            close(fd);
        }
    }
    std::fprintf(stderr, "usage: %s record <frame> | ask <frame> <reply> | serve <reply>\n", argv[0]);
    return 2;
}
