// The Avro C side of the interoperability check against python3-avro.
//
//   avi_interop_peer encode   writes "label hex" per case: the request
//                             payload Cookies + message name + "types" value
//   avi_interop_peer decode   reads "label hex" lines and writes "label json"
//                             with what it decoded
//
// The protocol file comes from the install tree that VANTOR_INSTALL_PATH
// names, through zw_avro_init, exactly as the programs load it.
#include "avi/zw_avro.h"
#include "util/zws_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Standard output carries the payloads: every log line goes to standard error.
int log_to_stderr(int, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    return 0;
}

avro_value_t sub(avro_value_t &value, const char *name)
{
    avro_value_t field;
    if (avro_value_get_by_name(&value, name, &field, nullptr) != 0) {
        std::fprintf(stderr, "no field %s: %s\n", name, avro_strerror());
        std::exit(2);
    }
    return field;
}

void check(int status, const char *what)
{
    if (status != 0) {
        std::fprintf(stderr, "%s failed: %s\n", what, avro_strerror());
        std::exit(2);
    }
}

void fill_network(avro_value_t network, const char *id) { check(zw_avro_field_set_string(&network, "id", id), "id"); }

void fill_node(avro_value_t node, const char *network_id, int32_t id)
{
    fill_network(sub(node, "network"), network_id);
    check(zw_avro_field_set_int(&node, "id", id), "node id");
}

void fill_endpoint(avro_value_t endpoint, const char *network_id, int32_t node_id, int32_t id)
{
    fill_node(sub(endpoint, "node"), network_id, node_id);
    check(zw_avro_field_set_int(&endpoint, "id", id), "endpoint id");
}

struct Case {
    const char *label;
    std::optional<std::string> user;
    const char *name;
    const char *branch;
    std::function<void(avro_value_t &)> fill;
};

// Keep in step with the cases of avi_interop.py.
const std::vector<Case> &cases()
{
    static const std::vector<Case> table = {
        {"interface", std::string("alice"), "interface_basic_get", "Interface",
         [](avro_value_t &v) {
             fill_endpoint(sub(v, "endpoint"), "01-02-03-04-05-06-07-08", 5, 1);
             check(zw_avro_field_set_int(&v, "id", 0x20), "cc");
         }},
        {"network", std::nullopt, "network_info_get", "Network",
         [](avro_value_t &v) { fill_network(v, "01-02-03-04-05-06-07-08"); }},
        {"node", std::string("zo\xC3\xAB"), "node_endpoint_list_get", "Node",
         [](avro_value_t &v) { fill_node(v, "aa-bb", 232); }},
        {"endpoint", std::nullopt, "endpoint_interface_list_get", "Endpoint",
         [](avro_value_t &v) { fill_endpoint(v, "", -1, 2147483647); }},
        {"void", std::string(""), "", "Void", [](avro_value_t &) {}},
    };
    return table;
}

std::string hex(const char *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; i++) {
        const auto byte = static_cast<unsigned char>(data[i]);
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

std::string unhex(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int encode(zw_avro_t avro)
{
    avro_schema_t types_schema = zw_avro_get_types_schema(avro);
    for (const Case &c : cases()) {
        avro_value_t cookies, name, types, user, user_branch, branch;
        check(avro_generic_value_new(zw_avro_get_cookies_iface(avro), &cookies), "cookies");
        user = sub(cookies, "user");
        if (c.user) {
            check(avro_value_set_branch(&user, 0, &user_branch), "user branch");
            check(avro_value_set_string(&user_branch, c.user->c_str()), "user");
        } else {
            check(avro_value_set_branch(&user, 1, &user_branch), "user branch");
            check(avro_value_set_null(&user_branch), "user null");
        }
        check(avro_generic_string_new(&name, c.name), "name");
        check(avro_generic_value_new(zw_avro_get_types_iface(avro), &types), "types");
        int discriminant = -1;
        if (!avro_schema_union_branch_by_name(types_schema, &discriminant, c.branch))
            check(1, c.branch);
        check(avro_value_set_branch(&types, discriminant, &branch), "branch");
        c.fill(branch);

        char buffer[4096];
        avro_writer_t writer = avro_writer_memory(buffer, sizeof buffer);
        check(avro_value_write(writer, &cookies), "write cookies");
        check(avro_value_write(writer, &name), "write name");
        check(avro_value_write(writer, &types), "write types");
        std::cout << c.label << ' ' << hex(buffer, static_cast<size_t>(avro_writer_tell(writer))) << '\n';
        avro_writer_free(writer);
        avro_value_decref(&types);
        avro_value_decref(&name);
        avro_value_decref(&cookies);
    }
    return 0;
}

int decode(zw_avro_t avro)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream fields(line);
        std::string label, payload_hex;
        fields >> label >> payload_hex;
        const std::string payload = unhex(payload_hex);
        avro_reader_t reader = avro_reader_memory(payload.data(), static_cast<int64_t>(payload.size()));

        avro_value_t cookies, name, types, user, user_branch, branch;
        check(avro_generic_value_new(zw_avro_get_cookies_iface(avro), &cookies), "cookies");
        check(avro_value_read(reader, &cookies), "read cookies");
        user = sub(cookies, "user");
        int user_discriminant = -1;
        check(avro_value_get_discriminant(&user, &user_discriminant), "user discriminant");
        check(avro_value_get_current_branch(&user, &user_branch), "user branch");
        std::string user_json = "null";
        if (user_discriminant == 0) {
            const char *text = nullptr;
            size_t size = 0;
            check(avro_value_get_string(&user_branch, &text, &size), "user string");
            user_json = json_string(std::string(text ? text : "", size ? size - 1 : 0));
        }

        check(avro_generic_value_new(avro_generic_string_class(), &name), "name");
        check(avro_value_read(reader, &name), "read name");
        const char *name_text = nullptr;
        size_t name_size = 0;
        check(avro_value_get_string(&name, &name_text, &name_size), "name string");

        check(avro_generic_value_new(zw_avro_get_types_iface(avro), &types), "types");
        check(avro_value_read(reader, &types), "read types");
        check(avro_value_get_current_branch(&types, &branch), "types branch");
        const char *branch_name = avro_schema_type_name(avro_value_get_schema(&branch));
        char *value_json = nullptr;
        check(avro_value_to_json(&branch, 1, &value_json), "to json");

        // Nothing may follow the three values.
        char extra = 0;
        const bool whole = avro_read(reader, &extra, 1) != 0;
        std::cout << label << " {\"user\": " << user_json << ", \"name\": "
                  << json_string(std::string(name_text ? name_text : "", name_size ? name_size - 1 : 0))
                  << ", \"branch\": " << json_string(branch_name) << ", \"value\": " << value_json
                  << ", \"consumed_all\": " << (whole ? "true" : "false") << "}\n";
        std::free(value_json);
        avro_value_decref(&types);
        avro_value_decref(&name);
        avro_value_decref(&cookies);
        avro_reader_free(reader);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || (std::strcmp(argv[1], "encode") != 0 && std::strcmp(argv[1], "decode") != 0)) {
        std::fprintf(stderr, "usage: %s encode|decode\n", argv[0]);
        return 2;
    }
    ZWS_LOG_FUNC = log_to_stderr;
    zw_avro_t avro = nullptr;
    if (zw_avro_init(&avro) != 0)
        return 1;
    const int status = std::strcmp(argv[1], "encode") == 0 ? encode(avro) : decode(avro);
    zw_avro_exit(avro);
    return status;
}
