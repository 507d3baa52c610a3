// The answer of a request: the CGI header, the document rooted at "zwave"
// with the result, the error document and the 403 form.
#include "ifttt/zws_ifttt.h"
#include "service/zws_cgi.h"
#include "service/zws_cgi_io.h"
#include "util/zws_xml.h"

#include "util/zws_log.h"

#include <cstring>

namespace {

constexpr char k_header[] = "Content-Type: text/plain\n\n";
constexpr char k_document_start[] = "<?xml version=\"1.0\"?><zwave>";
constexpr char k_document_end[] = "</zwave>";
constexpr char k_forbidden[] = "Status: 403 Forbidden\n\n";

// Frames of the older (deprecated) and the current form per level.
struct level_frame {
    zws_cgi_command_level_t level;
    const char *first_open;
    const char *first_close;
    const char *second_open;
    const char *second_close;
};
const level_frame k_level_frames[] = {
    {ZWS_CGI_COMMAND_LEVEL_NODES, "<node desc=\"{desc:u64}\" deprecated=\"1\">", "</node>",
     "<zwnode desc=\"{desc:u64}\">", "</zwnode>"},
    {ZWS_CGI_COMMAND_LEVEL_ENDPOINTS, "<ep desc=\"{desc:u64}\" deprecated=\"1\">", "</ep>",
     "<zwep desc=\"{desc:u64}\">", "</zwep>"},
    {ZWS_CGI_COMMAND_LEVEL_INTERFACES, "<intf desc=\"{desc:u64}\" deprecated=\"1\">", "</intf>",
     "<zwif desc=\"{desc:u64}\">", "</zwif>"},
};

bool starts_with(const char *text, const char *prefix)
{
    return text && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool is_scene_message(const char *message_name)
{
    return starts_with(message_name, "scene") || starts_with(message_name, "security_scene");
}

int append_raw(zwu_string_buffer_t out, const char *text)
{
    return text && zwu_string_buffer_append_string(out, text) != 0 ? 22 : 0;
}

int write_result(zws_service_common_t *common)
{
    if (!common->result) {
        ZWS_LOG_ERROR("service_common->result is NULL");
        return 0;
    }
    const zws_cgi_io_t *io = zws_cgi_io_get();
    if (io->write(io->context, zwu_string_buffer_get_string(common->result),
                  static_cast<size_t>(zwu_string_buffer_length(common->result))) != 0) {
        ZWS_LOG_ERROR("Failed to write result to standard output stream");
        return 22;
    }
    return 0;
}

int level_mismatch()
{
    ZWS_LOG_ERROR("Failed to match with supported command levels");
    return 22;
}

} // namespace

int zws_cgi_frame_networks(zwu_string_buffer_t out, const char *message_name, const char *first, const char *second,
                           uint64_t utime, const char *net_id)
{
    static const char *const k_no_first_output[] = {"network_whitelist_list_report", "network_whitelist_device_info",
                                                    "network_node_prekit_dsk_get"};
    static const char *const k_bare_second_output[] = {"network_info_get", "network_summary_get",
                                                       "network_version_get"};
    bool with_first = true;
    for (const char *name : k_no_first_output)
        with_first = with_first && !(message_name && std::strcmp(message_name, name) == 0);
    bool framed = !is_scene_message(message_name);
    for (const char *name : k_bare_second_output)
        framed = framed && !(message_name && std::strcmp(message_name, name) == 0);

    if (with_first && append_raw(out, first) != 0)
        return 22;
    if (framed) {
        const zws_xml_field_t fields[] = {{"utime", zws_xml_uint(utime)}, {"id", zws_xml_text(net_id ? net_id : "")}};
        if (zws_xml_render(out, "<zwnet utime=\"{utime:u64}\" id=\"{id:text}\">", fields, 2) != 0)
            return 22;
    }
    if (append_raw(out, second) != 0 || (framed && append_raw(out, "</zwnet>") != 0))
        return 22;
    return 0;
}

int zws_cgi_frame_level(zwu_string_buffer_t out, zws_cgi_command_level_t level, uint64_t combo_id, const char *first,
                        const char *second)
{
    for (const level_frame &frame : k_level_frames) {
        if (frame.level != level)
            continue;
        const zws_xml_field_t fields[] = {{"desc", zws_xml_uint(combo_id)}};
        if (zws_xml_render(out, frame.first_open, fields, 1) != 0 || append_raw(out, first) != 0 ||
            append_raw(out, frame.first_close) != 0 || zws_xml_render(out, frame.second_open, fields, 1) != 0 ||
            append_raw(out, second) != 0 || append_raw(out, frame.second_close) != 0)
            return 22;
        return 0;
    }
    return level_mismatch();
}

int zws_cgi_send_cgi_output_interfaces(zws_service_interfaces_t *service_interfaces)
{
    if (!service_interfaces || service_interfaces->service_common->command_level != ZWS_CGI_COMMAND_LEVEL_INTERFACES)
        return level_mismatch();
    return write_result(service_interfaces->service_common);
}

int zws_cgi_send_cgi_output_endpoints(zws_service_endpoints_t *service_endpoints)
{
    if (!service_endpoints)
        return level_mismatch();
    if (service_endpoints->service_common->command_level == ZWS_CGI_COMMAND_LEVEL_ENDPOINTS)
        return write_result(service_endpoints->service_common);
    return zws_cgi_send_cgi_output_interfaces(service_endpoints->service_interface);
}

int zws_cgi_send_cgi_output_nodes(zws_service_nodes_t *service_nodes)
{
    if (!service_nodes)
        return level_mismatch();
    if (service_nodes->service_common->command_level == ZWS_CGI_COMMAND_LEVEL_NODES)
        return write_result(service_nodes->service_common);
    return zws_cgi_send_cgi_output_endpoints(service_nodes->service_endpoint);
}

int zws_cgi_send_cgi_output_networks(zws_service_networks_t *service_networks)
{
    if (!service_networks)
        return level_mismatch();
    if (service_networks->service_common->command_level == ZWS_CGI_COMMAND_LEVEL_NETWORKS)
        return write_result(service_networks->service_common);
    return zws_cgi_send_cgi_output_nodes(service_networks->service_node);
}

int zws_cgi_send_cgi_output(zws_service_t *service)
{
    if (!service || !service->service_common) {
        ZWS_LOG_ERROR("service pointer is NULL");
        return 22;
    }
    zws_service_common_t *common = service->service_common;
    if (common->cgi_client == ZWS_CGI_CLIENT_IFTTT)
        return zws_cgi_ifttt_send_cgi_output(service);
    zws_cgi_io_write_text(k_header);
    if (!common->avi_message || !common->result)
        return 0;
    if (zwu_string_buffer_length(common->result) == 0 && !is_scene_message(common->message_name))
        return 0;
    zws_cgi_io_write_text(k_document_start);
    int status;
    if (common->command_level == ZWS_CGI_COMMAND_LEVEL_ROOT)
        status = write_result(common);
    else
        status = zws_cgi_send_cgi_output_networks(service->service_next);
    if (status != 0)
        return 22;
    zws_cgi_io_write_text(k_document_end);
    return 0;
}

int zws_cgi_send_cgi_output_error(zws_service_t *service)
{
    zws_service_common_t *common = service ? service->service_common : nullptr;
    if (common && common->cgi_client == ZWS_CGI_CLIENT_IFTTT) {
        zws_cgi_ifttt_send_cgi_output_error(500, service);
        return 0;
    }
    zws_cgi_io_write_text(k_header);
    zwu_string_buffer_t document = nullptr;
    if (zwu_string_buffer_create(128, &document) != 0) {
        zws_cgi_io_write_text("<?xml version=\"1.0\"?><zwave><error></error></zwave>");
        return 0;
    }
    int status = zwu_string_buffer_append_string(document, "<?xml version=\"1.0\"?><zwave><error>");
    if (status == 0 && common && common->error_text) {
        const zws_xml_field_t fields[] = {{"text", zws_xml_text(common->error_text)},
                                          {"index", zws_xml_int(common->error_text_index)}};
        status = zws_xml_render(document, common->error_text_index == -1 ? "{text:text}" : "{text:text}[{index:i32}]",
                                fields, 2);
    }
    if (status == 0)
        status = zwu_string_buffer_append_string(document, "</error></zwave>");
    zws_cgi_io_write_text(status == 0 ? zwu_string_buffer_get_string(document)
                                      : "<?xml version=\"1.0\"?><zwave><error></error></zwave>");
    zwu_string_buffer_destroy(document);
    return 0;
}

int zws_cgi_send_cgi_output_access_denied()
{
    zws_cgi_io_write_text(k_forbidden);
    return 0;
}
