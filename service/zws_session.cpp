#include "service/zws_session.h"

#include "util/zws_install.h"
#include "util/zws_log.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

zws_session_t *g_session = nullptr;

constexpr char k_php_interpreter[] = "install/php/bin/php";
constexpr char k_user_name_script[] = "install/corvale/auth-cgi-bin/user_name_get.php";
constexpr char k_cookie_name[] = "PHPSESSID";
// A user name is a line of text; anything this large is not an answer.
constexpr size_t k_max_output = 1024 * 1024;

using steady = std::chrono::steady_clock;

int remaining_ms(steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads the child's output until end of file, the size limit or the
// deadline; false on a read failure, an overlong output or the deadline.
bool read_output(int fd, steady::time_point deadline, std::string &output)
{
    char block[128];
    for (;;) {
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            ZWS_LOG_ERROR("Failed to read file: %s", strerror(errno));
            return false;
        }
        if (ready == 0) {
            ZWS_LOG_ERROR("Parent: child gave no end of output within %d ms", ZWS_PHP_DEADLINE_MS);
            return false;
        }
        const ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ZWS_LOG_ERROR("Failed to read file: %s", strerror(errno));
            return false;
        }
        if (got == 0)
            return true;
        if (output.size() + static_cast<size_t>(got) > k_max_output) {
            ZWS_LOG_ERROR("Parent: child output larger than %zu bytes", k_max_output);
            return false;
        }
        output.append(block, static_cast<size_t>(got));
    }
}

// Waits for the child until the deadline; past it the child is killed and
// reaped. False when the child could not be waited for or was killed here.
bool wait_child(pid_t pid, steady::time_point deadline, int *status_p)
{
    for (;;) {
        const pid_t done = waitpid(pid, status_p, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 && errno != EINTR) {
            ZWS_LOG_ERROR("Parent: waitpid() failed: %s", strerror(errno));
            return false;
        }
        if (remaining_ms(deadline) == 0)
            break;
        usleep(5000);
    }
    ZWS_LOG_ERROR("Parent: child did not end within %d ms; killing it", ZWS_PHP_DEADLINE_MS);
    kill(pid, SIGKILL);
    while (waitpid(pid, status_p, 0) < 0 && errno == EINTR) {
    }
    return false;
}

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    bool ready = false;
    spawn_actions() { ready = posix_spawn_file_actions_init(&actions) == 0; }
    ~spawn_actions()
    {
        if (ready)
            posix_spawn_file_actions_destroy(&actions);
    }
};

} // namespace

int zws_memcache_init(zws_memcache_t **memcache_p)
{
    *memcache_p = nullptr;
    return 0;
}
void zws_memcache_exit(zws_memcache_t *) {}
int zws_memcache_get_user_name(zws_memcache_t *, const char *, char **) { return 22; }
int zws_memcache_set_user_name(zws_memcache_t *, const char *, const char *) { return 22; }

int zws_session_init(zws_session_t **session_p, zws_memcache_t *memcache)
{
    if (g_session) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *session_p = g_session;
        return 0;
    }
    auto *session = new (std::nothrow) zws_session_t{memcache};
    if (!session) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    g_session = session;
    *session_p = session;
    return 0;
}

void zws_session_exit(zws_session_t *session)
{
    if (g_session == session)
        g_session = nullptr;
    delete session;
}

int zws_session_id_get(char **session_id_p)
{
    const char *cookie = getenv("HTTP_COOKIE");
    if (!cookie) {
        ZWS_LOG_ERROR("Failed to get environment variable: %s", "HTTP_COOKIE");
        return 13;
    }
    const std::string header = cookie;
    size_t at = 0;
    while (at <= header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == '\t'))
            at++;
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        if (end == at)
            break; // an empty entry ends the walk
        const std::string entry = header.substr(at, end - at);
        at = end + 1;
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            ZWS_LOG_ERROR("Warning: Failed to find key-value delimiter in cookie entry: %s", entry.c_str());
            continue;
        }
        if (entry.compare(0, equals, k_cookie_name) != 0 || equals + 1 == entry.size())
            continue;
        char *id = strdup(entry.c_str() + equals + 1);
        if (!id) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        *session_id_p = id;
        return 0;
    }
    ZWS_LOG_ERROR("Failed to find PHP session id");
    return 22;
}

void zws_session_id_free(char *session_id) { std::free(session_id); }

int zws_session_user_name_get_external(const char *session_id, char **user_name_p)
{
    char *output = nullptr;
    int length = 0;
    int exit_code = 0;
    if (zws_exec_php_request(k_user_name_script, 1, session_id, nullptr, nullptr, &output, &length, &exit_code) != 0)
        return 22;
    if (exit_code == 0 && length > 0) {
        *user_name_p = output;
        return 0;
    }
    std::free(output);
    if (exit_code == 0) {
        // A session without a name is no login: it must never run a request
        // as the empty user.
        ZWS_LOG_ERROR("Session script answered an empty user name");
        return 13;
    }
    return exit_code == 253 || exit_code == 254 ? 13 : 22;
}

int zws_session_user_name_get(zws_session_t *session, char **user_name_p)
{
    char *session_id = nullptr;
    const int status = zws_session_id_get(&session_id);
    if (status != 0)
        return status;
    char *user_name = nullptr;
    if (zws_memcache_get_user_name(session ? session->memcache : nullptr, session_id, &user_name) != 0) {
        const int external = zws_session_user_name_get_external(session_id, &user_name);
        if (external != 0) {
            zws_session_id_free(session_id);
            return external;
        }
        zws_memcache_set_user_name(session ? session->memcache : nullptr, session_id, user_name);
    }
    zws_session_id_free(session_id);
    *user_name_p = user_name;
    return 0;
}

int zws_exec_php_request(const char *script, int argc, const char *arg1, const char *arg2, const char *arg3,
                         char **output_p, int *output_length_p, int *exit_code_p)
{
    if (!script || argc < 0 || argc > 3) {
        ZWS_LOG_ERROR("Failed to exec() php script: %s", "bad argument count");
        return 22;
    }
    // Everything is built here, before the child exists: the child only
    // rearranges descriptors and execs.
    char *root = nullptr;
    if (zws_file_get_root_dir_path(&root) != 0)
        return 22;
    std::string interpreter;
    std::string script_path;
    std::vector<char *> argv;
    try {
        interpreter = std::string(root) + "/" + k_php_interpreter;
        script_path = std::string(root) + "/" + script;
        const char *args[] = {arg1, arg2, arg3};
        argv.push_back(interpreter.data());
        argv.push_back(script_path.data());
        for (int i = 0; i < argc; i++)
            argv.push_back(const_cast<char *>(args[i] ? args[i] : ""));
        argv.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        zws_file_free_root_dir_path(root);
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zws_file_free_root_dir_path(root);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ZWS_LOG_ERROR("pipe() failed: %s", strerror(errno));
        return 22;
    }
    spawn_actions actions;
    // Standard input is /dev/null: in FastCGI mode descriptor 0 is the
    // listening socket, which the script must not see.
    const bool actions_ok =
        actions.ready &&
        posix_spawn_file_actions_addopen(&actions.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_adddup2(&actions.actions, pipe_fds[1], 1) == 0 &&
        posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3) == 0;
    pid_t pid = -1;
    const int spawned =
        actions_ok ? posix_spawn(&pid, interpreter.c_str(), &actions.actions, nullptr, argv.data(), environ) : ENOMEM;
    close(pipe_fds[1]);
    if (spawned != 0) {
        ZWS_LOG_ERROR("Failed to exec() php script: %s %s: %s", interpreter.c_str(), script_path.c_str(),
                      strerror(spawned));
        close(pipe_fds[0]);
        return 22;
    }
    const auto deadline = steady::now() + std::chrono::milliseconds(ZWS_PHP_DEADLINE_MS);
    std::string output;
    bool read_ok;
    try {
        read_ok = read_output(pipe_fds[0], deadline, output);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        read_ok = false;
    }
    close(pipe_fds[0]);
    int status = 0;
    // A child whose output failed gets no more time than the deadline.
    const bool waited = wait_child(pid, read_ok ? deadline : steady::now(), &status);
    if (!read_ok || !waited)
        return 22;
    ZWS_LOG_DEBUGGING("Parent: Response: '%s'", output.c_str());
    if (!WIFEXITED(status)) {
        ZWS_LOG_ERROR("Parent: child did not teminate normally");
        return 22;
    }
    const int exit_code = WEXITSTATUS(status);
    if (exit_code != 0)
        ZWS_LOG_ERROR("Parent: child exited with failure. status: %d", exit_code);
    char *copy = static_cast<char *>(std::malloc(output.size() + 1));
    if (!copy) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    std::memcpy(copy, output.data(), output.size());
    copy[output.size()] = '\0';
    *output_p = copy;
    *output_length_p = static_cast<int>(output.size());
    *exit_code_p = exit_code;
    return 0;
}
