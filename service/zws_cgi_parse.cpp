// The root of the service tree: environment, client, user, body and pairs,
// and the path rules down to the network level.
#include "ifttt/zws_ifttt.h"
#include "service/zws_cgi.h"
#include "service/zws_cgi_io.h"

#include "util/zws_file.h"
#include "util/zws_log.h"
#include "util/zws_string.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

const char *client_name(zws_cgi_client_type_t client)
{
    switch (client) {
    case ZWS_CGI_CLIENT_VANTOR: return "ZWS_CGI_CLIENT_VANTOR";
    case ZWS_CGI_CLIENT_IFTTT: return "ZWS_CGI_CLIENT_IFTTT";
    case ZWS_CGI_CLIENT_UNKNOWN: break;
    }
    return "ZWS_CGI_CLIENT_UNKNOWN";
}

// The whole body, read in large blocks and kept in a buffer that doubles as
// it fills, so that a large form costs a few reads and copies rather than
// one per small block; refused past ZWS_CGI_MAX_BODY.
int read_body(zws_service_common_t *common)
{
    const zws_stream_reader_t &in = zws_cgi_io_get()->input;
    constexpr size_t k_block = 16 * 1024;
    constexpr size_t k_limit = static_cast<size_t>(ZWS_CGI_MAX_BODY);
    std::string body;
    // Read into a block on the stack that is never cleared: most requests
    // have no body, and zero-filling (or allocating) a large block for each
    // of them costs more than the rest of the request's parsing.
    char block[k_block];
    for (;;) {
        if (body.size() > k_limit) {
            ZWS_LOG_ERROR("Request body larger than %d bytes", ZWS_CGI_MAX_BODY);
            return 22;
        }
        // One byte past the limit shows a body that is too large.
        const size_t want = std::min(k_block, k_limit + 1 - body.size());
        errno = 0;
        const size_t got = in.read(in.context, block, want);
        body.append(block, got);
        if (got == want)
            continue;
        if (in.error(in.context)) {
            ZWS_LOG_ERROR("Failed to read file: %s", std::strerror(errno));
            return 22;
        }
        if (in.eof(in.context))
            break;
    }
    if (body.size() > k_limit) {
        ZWS_LOG_ERROR("Request body larger than %d bytes", ZWS_CGI_MAX_BODY);
        return 22;
    }
    char *copy = static_cast<char *>(std::malloc(body.size() + 1));
    if (!copy) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    std::memcpy(copy, body.data(), body.size());
    copy[body.size()] = '\0';
    common->http_body = copy;
    common->http_body_length = static_cast<int>(body.size());
    ZWS_LOG_DEBUGGING("Request body: %d bytes", common->http_body_length);
    // The pairs are C texts into the body: a NUL inside would silently drop
    // everything behind it.
    if (std::memchr(copy, '\0', body.size()) != nullptr) {
        ZWS_LOG_ERROR("Request body holds a NUL byte");
        return 22;
    }
    return 0;
}

int build_tree(zws_service_t *service, zws_avi_t avi, zws_session_t *session)
{
    zws_service_common_t *common = service->service_common;
    if (zws_cgi_get_relative_uri(&common->relative_uri) != 0)
        return 22;
    zws_cgi_get_client(common->relative_uri.c_str(), common);
    if (common->cgi_client == ZWS_CGI_CLIENT_UNKNOWN) {
        ZWS_LOG_DEBUGGING("ZWS_CGI_CLIENT_UNKNOWN detected. Return ERROR.");
        return 401;
    }
    const int user_status =
        zws_cgi_get_user(common, common->cgi_client, common->relative_uri.c_str(), session, &common->user);
    if (user_status != 0 && user_status != 13)
        return user_status;
    common->has_user = user_status == 0;
    if (read_body(common) != 0)
        return 22;
    if (common->cgi_client != ZWS_CGI_CLIENT_VANTOR)
        return 0; // the IFTTT body stays unsplit
    if (zws_cgi_get_args(common->http_body, &common->args_all) != 0)
        return 22;
    common->args = common->args_all.empty() ? nullptr : common->args_all.data();
    common->args_count = static_cast<int>(common->args_all.size());
    (void)avi;
    return zws_cgi_get_vantor_command(service, user_status);
}

} // namespace

int zws_cgi_get_relative_uri(std::string *relative_uri)
{
    const char *request_uri = getenv("REQUEST_URI");
    if (!request_uri) {
        ZWS_LOG_ERROR("Failed to find CGI variable REQUEST_URI");
        return 22;
    }
    const char *context_prefix = getenv("CONTEXT_PREFIX");
    if (!context_prefix) {
        ZWS_LOG_ERROR("Failed to find CGI variable CONTEXT_PREFIX");
        return 22;
    }
    const size_t prefix_length = std::strlen(context_prefix);
    if (std::strncmp(request_uri, context_prefix, prefix_length) != 0) {
        ZWS_LOG_ERROR("CONTEXT_PREFIX prefix is not a prefix for REQUEST_URI. Unusual.");
        return 22;
    }
    *relative_uri = request_uri + prefix_length;
    return 0;
}

int zws_cgi_get_client(const char *relative_uri, zws_service_common_t *service_common)
{
    if (!relative_uri)
        return 22;
    const char *first = std::strchr(relative_uri, '/');
    if (first) {
        const char *start = first + 1;
        const char *second = std::strchr(start, '/');
        const size_t length = second ? static_cast<size_t>(second - start) : std::strlen(start);
        if (length == 8 && std::strncmp(start, "networks", 8) == 0) {
            service_common->cgi_client = ZWS_CGI_CLIENT_VANTOR;
        } else if (length == 5 && std::strncmp(start, "ifttt", 5) == 0) {
            ZWS_LOG_DEBUGGING("Request contains client keyword 'ifttt'.");
            service_common->cgi_client = ZWS_CGI_CLIENT_IFTTT;
        }
    }
    ZWS_LOG_DEBUGGING("cgi_client = %s", client_name(service_common->cgi_client));
    return 0;
}

int zws_cgi_get_user(zws_service_common_t *, zws_cgi_client_type_t client, const char *, zws_session_t *session,
                     std::string *user)
{
    // A request never sees the user of the one before it (nor one the web
    // server passed).
    if (getenv("VANTOR_USER_NAME"))
        unsetenv("VANTOR_USER_NAME");
    int status = 22;
    bool found = false;
    if (client == ZWS_CGI_CLIENT_VANTOR) {
        char *name = nullptr;
        status = zws_session_user_name_get(session, &name);
        if (status == 0) {
            ZWS_LOG_DEBUGGING("User Name from Session: '%s'", name);
            *user = name;
            std::free(name);
            found = true;
        }
    }
    if (!found) {
        // nginx passes REMOTE_USER empty when no HTTP authentication ran:
        // empty is no user.
        const char *remote_user = getenv("REMOTE_USER");
        if (!remote_user || !*remote_user) {
            ZWS_LOG_ERROR("Failed to find user name. Error code: %d", status);
            return status;
        }
        ZWS_LOG_DEBUGGING("User Name from REMOTE_USER: '%s'", remote_user);
        *user = remote_user;
    }
    ZWS_LOG_DEBUGGING("User Name (effective): '%s'", user->c_str());
    if (setenv("VANTOR_USER_NAME", user->c_str(), 1) != 0) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}

int zws_cgi_get_args(char *body, std::vector<zws_key_value_t> *args)
{
    if (!body)
        return 0;
    if (std::strchr(body, '`')) {
        ZWS_LOG_AT(ZWS_LOG_ALERT, "alert", "Use of unsafe character backtick: Possible attempt to execute shell sub command");
        return 22;
    }
    char *rest = body;
    while (*rest) {
        char *entry = rest;
        char *separator = std::strchr(rest, '&');
        size_t separator_length = 1;
        if (!separator) {
            separator = std::strstr(rest, "\r\n");
            separator_length = 2;
        }
        if (separator) {
            *separator = '\0';
            rest = separator + separator_length;
        } else {
            rest += std::strlen(rest);
        }
        char *equals = std::strchr(entry, '=');
        if (!equals) {
            ZWS_LOG_ERROR("Failed to find key-value delimiter in argument entry: %s", entry);
            return 22;
        }
        *equals = '\0';
        if (equals == entry) {
            ZWS_LOG_ERROR("Empty key with value: '%s'", equals + 1);
            return 22;
        }
        if (args->size() >= static_cast<size_t>(ZWS_CGI_MAX_ARGS)) {
            ZWS_LOG_ERROR("Too many arguments: more than %d pairs", ZWS_CGI_MAX_ARGS);
            return 22;
        }
        if (args->size() == args->capacity()) {
            // Doubling: a large form costs a few moves, not one per pair.
            args->reserve(std::max<size_t>(8, args->capacity() * 2));
            ZWS_LOG_DEBUGGING("Reallocated args list size to %d arg pairs", static_cast<int>(args->capacity()));
        }
        args->push_back({entry, equals + 1});
    }
    return 0;
}

int zws_cgi_get_vantor_command(zws_service_t *service, int user_status)
{
    zws_service_common_t *common = service->service_common;
    std::string path = common->relative_uri;
    char *position = path.data();
    // Layer 1, before the first '/', is skipped. A path that ends before the
    // network id ("/networks") names no command: the error document, as for
    // a path that ends at the network id (an empty answer is no XML).
    if (!zws_url_string_strip_1layer(&position))
        return 22;
    const char *root_command = zws_url_string_strip_1layer(&position);
    if (!root_command) {
        ZWS_LOG_DEBUGGING("Invalid command at root level: %s", position);
        return 22;
    }
    const char *net_id = zws_url_string_strip_1layer(&position);
    const char *command = net_id ? position : nullptr;
    if (!command || !*command) {
        if (std::strcmp(root_command, "networks") != 0)
            ZWS_LOG_DEBUGGING("Invalid command at root level: %s", root_command);
        return 22;
    }
    if (user_status == 13)
        return 13;
    static const char *const k_root_commands[] = {"zw_gw_set", "zw_gw_get", "zw_gw_list"};
    for (const char *root : k_root_commands) {
        if (std::strcmp(command, root) != 0)
            continue;
        service->command_type = ZWS_CGI_COMMAND_TYPE_ROOT;
        std::strncpy(common->command_name, command, ZWS_CGI_COMMAND_NAME_MAX);
        common->command_level = ZWS_CGI_COMMAND_LEVEL_ROOT;
        return zws_cgi_set_avi_message_info(common);
    }
    service->command_type = ZWS_CGI_COMMAND_TYPE_NETWORKS;
    zws_service_networks_t *networks = nullptr;
    const int status = zws_cgi_get_cgi_service_networks_from_environment(command, net_id, common, &networks);
    service->service_next = networks;
    if (status != 0) {
        ZWS_LOG_ERROR("No match with supported commands");
        return 22;
    }
    return 0;
}

int zws_cgi_get_cgi_service_from_environment(zws_service_t **service_p, zws_avi_t avi, zws_session_t *session)
{
    *service_p = nullptr;
    auto *service = new (std::nothrow) zws_service_t{};
    auto *common = service ? new (std::nothrow) zws_service_common_t{} : nullptr;
    if (!common) {
        delete service;
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    common->avi = avi;
    service->service_common = common;
    *service_p = service;
    try {
        return build_tree(service, avi, session);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

void zws_cgi_free_cgi_service_from_environment(zws_service_t *service)
{
    if (!service)
        return;
    if (service->command_type == ZWS_CGI_COMMAND_TYPE_NETWORKS)
        zws_cgi_free_cgi_service_networks_from_environment(service->service_next);
    service->service_next = nullptr;
    if (zws_service_common_t *common = service->service_common) {
        std::free(common->http_body);
        if (common->result)
            zwu_string_buffer_destroy(common->result);
        delete common;
    }
    delete service;
}

void zws_cgi_set_error_text(zws_service_t *service, const char *error_text)
{
    if (service && service->service_common)
        service->service_common->error_text = error_text;
}

const char *zws_cgi_get_error_text(zws_service_t *service)
{
    if (!service || !service->service_common || !service->service_common->error_text)
        return "";
    return service->service_common->error_text;
}

zws_service_common_t *zws_cgi_get_service_common(zws_service_t *service)
{
    return service ? service->service_common : nullptr;
}

void zws_cgi_set_service_command_type(zws_service_t *service, zws_cgi_command_type_t command_type)
{
    if (service)
        service->command_type = command_type;
}

void zws_cgi_set_service_next(zws_service_t *service, zws_service_networks_t *service_next)
{
    if (service)
        service->service_next = service_next;
}
