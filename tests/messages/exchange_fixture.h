// Whole exchanges of one web request with the real registry and a protocol
// file: the request parsed from its path and body, the frame trellan would
// send decoded by the protocol's schema (the daemon's view), and a reply
// written from JSON by the same schema read back into the XML answer.
//
// Reply values are written as JSON: records are objects, arrays are arrays,
// a union is null or {"branch name": value}, a fixed or bytes value is an
// array of byte values (so that tests can also write a wrong fixed size).
#pragma once

#include "messages/zws_avi.h"
#include "service/zws_cgi.h"

#include "avro_fixture.h"

#include <avro.h>
#include <gtest/gtest.h>
#include <jansson.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zws_test {

// Sets `value` (of any schema) from `json`; false when they do not fit.
inline bool avro_from_json(avro_value_t *value, json_t *json)
{
    switch (avro_value_get_type(value)) {
    case AVRO_RECORD: {
        if (!json_is_object(json))
            return false;
        const char *key;
        json_t *member;
        json_object_foreach(json, key, member)
        {
            avro_value_t field;
            if (avro_value_get_by_name(value, key, &field, nullptr) != 0 || !avro_from_json(&field, member))
                return false;
        }
        return true;
    }
    case AVRO_ARRAY: {
        if (!json_is_array(json))
            return false;
        for (size_t i = 0; i < json_array_size(json); i++) {
            avro_value_t element;
            if (avro_value_append(value, &element, nullptr) != 0 || !avro_from_json(&element, json_array_get(json, i)))
                return false;
        }
        return true;
    }
    case AVRO_UNION: {
        avro_schema_t schema = avro_value_get_schema(value);
        avro_value_t branch;
        int index = -1;
        if (json_is_null(json)) {
            if (!avro_schema_union_branch_by_name(schema, &index, "null"))
                return false;
            return avro_value_set_branch(value, index, &branch) == 0 && avro_value_set_null(&branch) == 0;
        }
        if (!json_is_object(json) || json_object_size(json) != 1)
            return false;
        const char *key;
        json_t *member;
        json_object_foreach(json, key, member)
        {
            if (!avro_schema_union_branch_by_name(schema, &index, key) ||
                avro_value_set_branch(value, index, &branch) != 0 || !avro_from_json(&branch, member))
                return false;
        }
        return true;
    }
    case AVRO_INT32: return json_is_integer(json) && avro_value_set_int(value, static_cast<int32_t>(json_integer_value(json))) == 0;
    case AVRO_INT64: return json_is_integer(json) && avro_value_set_long(value, json_integer_value(json)) == 0;
    case AVRO_BOOLEAN: return json_is_boolean(json) && avro_value_set_boolean(value, json_is_true(json)) == 0;
    case AVRO_STRING: return json_is_string(json) && avro_value_set_string(value, json_string_value(json)) == 0;
    case AVRO_NULL: return json_is_null(json) && avro_value_set_null(value) == 0;
    case AVRO_FIXED:
    case AVRO_BYTES: {
        if (!json_is_array(json))
            return false;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < json_array_size(json); i++)
            bytes.push_back(static_cast<uint8_t>(json_integer_value(json_array_get(json, i))));
        if (avro_value_get_type(value) == AVRO_BYTES) {
            // The library refuses a null buffer even for no bytes.
            static uint8_t none = 0;
            return avro_value_set_bytes(value, bytes.empty() ? &none : bytes.data(), bytes.size()) == 0;
        }
        if (static_cast<int64_t>(bytes.size()) != avro_schema_fixed_size(avro_value_get_schema(value)))
            return false;
        return avro_value_set_fixed(value, bytes.data(), bytes.size()) == 0;
    }
    default: return false;
    }
}

// `record` (a generic value) filled from a JSON text; fails the test when
// the text does not fit.
inline void fill(avro_value_t *record, const std::string &json_text)
{
    json_error_t error;
    json_t *json = json_loads(json_text.c_str(), 0, &error);
    ASSERT_NE(json, nullptr) << error.text << ": " << json_text;
    EXPECT_TRUE(avro_from_json(record, json)) << json_text;
    json_decref(json);
}

// The JSON text of a value as the Avro library writes it, on one line.
inline std::string to_json(avro_value_t *value)
{
    char *text = nullptr;
    if (avro_value_to_json(value, 1, &text) != 0 || !text)
        return "(none)";
    std::string json = text;
    free(text);
    return json;
}

class exchange {
  public:
    // The registry on `protocol_path`; the same file decodes the frames.
    explicit exchange(const std::string &protocol_path) : protocol_(protocol_path)
    {
        stage_install("exchange", protocol_path);
        EXPECT_EQ(zws_avi_init(&avi_), 0);
        env_.set("CONTEXT_PREFIX", "/zwave");
        env_.unset("HTTP_COOKIE");
        env_.set("REMOTE_USER", "bob");
    }
    ~exchange()
    {
        zws_cgi_free_cgi_service_from_environment(service_);
        zws_avi_exit(avi_);
    }
    exchange(const exchange &) = delete;
    exchange &operator=(const exchange &) = delete;

    // Parses a request to `command` (the path after the network id) with
    // `body`; 0 when a message matched.
    int parse(const std::string &command, const std::string &body)
    {
        zws_cgi_free_cgi_service_from_environment(service_);
        service_ = nullptr;
        env_.set("REQUEST_URI", "/zwave/networks/01-02-03-04-05-06-07-08/" + command);
        io_.set_input(body);
        return zws_cgi_get_cgi_service_from_environment(&service_, avi_, nullptr);
    }

    const char *message_name() const { return service_->service_common->message_name; }
    const char *error_text() { return zws_cgi_get_error_text(service_); }

    struct request {
        int status = -1;     // of building the frame
        std::string name;    // the message name in the frame
        std::string type;    // the request record's type name
        std::string command; // `command` as JSON
        std::string parameter; // `parameter` as JSON, empty without one
        std::string fixed_hex;  // the bytes of its fixed fields, in hexadecimal (the
                                // library's JSON ends a fixed at its first zero byte)
    };

    // The frame of the parsed request, as the daemon decodes it.
    request frame()
    {
        request r;
        char *frame = nullptr;
        int length = 0;
        r.status = zws_cgi_get_rpc_request_from_cgi_service(service_, &frame, &length);
        if (r.status != 0 || !frame)
            return r;
        const std::string bytes(frame, static_cast<size_t>(length));
        zws_cgi_free_rpc_request_from_cgi_service(frame);
        uint32_t prefix = 0;
        std::memcpy(&prefix, bytes.data(), 4);
        EXPECT_EQ(ntohl(prefix) + 4, bytes.size());
        int index = -1;
        avro_record cookies(avro_schema_union_branch_by_name(protocol_.types(), &index, "Cookies"));
        avro_record types(protocol_.types());
        avro_value_t name;
        avro_generic_string_new(&name, "");
        avro_reader_t reader = avro_reader_memory(bytes.data() + 4, static_cast<int64_t>(bytes.size() - 4));
        const bool read = avro_value_read(reader, cookies.get()) == 0 && avro_value_read(reader, &name) == 0 &&
                          avro_value_read(reader, types.get()) == 0;
        EXPECT_TRUE(read) << avro_strerror();
        avro_reader_free(reader);
        if (read) {
            // The values take the whole payload: nothing after the request.
            size_t cookies_size = 0, name_size = 0, types_size = 0;
            avro_value_sizeof(cookies.get(), &cookies_size);
            avro_value_sizeof(&name, &name_size);
            avro_value_sizeof(types.get(), &types_size);
            EXPECT_EQ(cookies_size + name_size + types_size + 4, bytes.size());
            const char *text = nullptr;
            size_t size = 0;
            avro_value_get_string(&name, &text, &size);
            r.name = text;
            avro_value_t branch, field;
            avro_value_get_current_branch(types.get(), &branch);
            r.type = avro_schema_type_name(avro_value_get_schema(&branch));
            if (avro_value_get_by_name(&branch, "command", &field, nullptr) == 0)
                r.command = to_json(&field);
            if (avro_value_get_by_name(&branch, "parameter", &field, nullptr) == 0) {
                r.parameter = to_json(&field);
                size_t count = 0;
                avro_value_get_size(&field, &count);
                for (size_t i = 0; i < count; i++) {
                    avro_value_t member;
                    const void *data = nullptr;
                    size_t size = 0;
                    if (avro_value_get_by_index(&field, i, &member, nullptr) != 0 ||
                        avro_value_get_type(&member) != AVRO_FIXED || avro_value_get_fixed(&member, &data, &size) != 0)
                        continue;
                    for (size_t j = 0; j < size; j++) {
                        char hex[3];
                        std::snprintf(hex, sizeof hex, "%02x", static_cast<const uint8_t *>(data)[j]);
                        r.fixed_hex += hex;
                    }
                }
            }
        }
        avro_value_decref(&name);
        return r;
    }

    // The reply of type `response_type` written from `reply_json` and read
    // into the answer; *status_p gets the reading's status. The result text
    // (the XML inside the document).
    std::string answer(const char *response_type, const std::string &reply_json, int *status_p = nullptr)
    {
        avro_record types(protocol_.types());
        int index = -1;
        EXPECT_NE(avro_schema_union_branch_by_name(protocol_.types(), &index, response_type), nullptr)
            << response_type;
        avro_value_t branch;
        avro_value_set_branch(types.get(), index, &branch);
        fill(&branch, reply_json);
        std::vector<char> buffer(64 * 1024);
        avro_writer_t writer = avro_writer_memory(buffer.data() + 4, static_cast<int64_t>(buffer.size() - 4));
        EXPECT_EQ(avro_value_write(writer, types.get()), 0) << avro_strerror();
        const int64_t written = avro_writer_tell(writer);
        avro_writer_free(writer);
        const uint32_t prefix = htonl(static_cast<uint32_t>(written));
        std::memcpy(buffer.data(), &prefix, 4);
        zws_service_common_t *common = service_->service_common;
        if (common->result) {
            zwu_string_buffer_destroy(common->result);
            common->result = nullptr;
        }
        const int status =
            zws_cgi_set_cgi_service_result_from_rpc_response(service_, buffer.data(), static_cast<int>(written + 4));
        if (status_p)
            *status_p = status;
        return common->result ? zwu_string_buffer_get_string(common->result) : "";
    }

    const avro_schema_file &protocol() const { return protocol_; }

  private:
    avro_schema_file protocol_;
    env_guard env_;
    string_io io_;
    zws_avi_t avi_ = nullptr;
    zws_service_t *service_ = nullptr;
};

// A whole answer as the document a browser gets, for xmllint.
inline std::string document(const std::string &result)
{
    return "<?xml version=\"1.0\"?><zwave>" + result + "</zwave>";
}

// One exchange on the project's protocol file, shared by the tests of the
// suite `Suite` (its schema and registry are costly to build per test).
template <typename Suite>
class shared_exchange : public ::testing::Test {
  protected:
    static inline exchange *ex = nullptr;
    static void SetUpTestSuite() { ex = new exchange(source_dir() + "/avi/zwave.avsc"); }
    static void TearDownTestSuite()
    {
        delete ex;
        ex = nullptr;
    }
};

// The request of a form pair, then the answer to `reply` read as
// `response_type`: with `expected` null the reading must fail, else the
// answer is exactly `expected` and a well-formed document. A request that
// does not parse is a fatal failure (wrap the call in
// ASSERT_NO_FATAL_FAILURE).
inline void expect_answer(exchange &ex, const char *command, const char *body, const char *response_type,
                          const std::string &reply, const char *expected)
{
    ASSERT_EQ(ex.parse(command, body), 0);
    log_capture quiet;
    int status = -1;
    const std::string xml = ex.answer(response_type, reply, &status);
    if (!expected) {
        EXPECT_NE(status, 0) << xml;
        return;
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(xml, expected);
    EXPECT_TRUE(xml_well_formed(document(xml))) << xml;
}

// A row of a form-pairs table: the command and body a browser sends, the
// message they select, and its `parameter` as the protocol decodes the
// frame (k_none for a message without one, k_refused when trellan refuses).
// The tables address interfaces of node 5.
inline constexpr char k_refused[] = "(refused)";
inline constexpr char k_none[] = "";
struct pairs_case {
    const char *command;
    const char *body;
    const char *message;
    const char *parameter;
    bool passive;
};

template <size_t N> void expect_parameters(exchange &ex, const pairs_case (&cases)[N])
{
    log_capture quiet;
    for (const pairs_case &c : cases) {
        SCOPED_TRACE(std::string(c.command) + "?" + c.body);
        ASSERT_EQ(ex.parse(c.command, c.body), 0);
        EXPECT_STREQ(ex.message_name(), c.message);
        const exchange::request r = ex.frame();
        if (c.parameter == k_refused) {
            EXPECT_NE(r.status, 0);
            continue;
        }
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.name, c.message);
        EXPECT_EQ(r.parameter, c.parameter);
        EXPECT_NE(r.command.find(c.passive ? "\"passive\": true" : "\"passive\": false"), std::string::npos)
            << r.command;
        EXPECT_NE(r.command.find("\"id\": 5"), std::string::npos) << r.command;
    }
}

// A row of an answers table: the request, the reply record read as
// `type`, and the answer (null: the reading must fail).
struct answer_case {
    const char *what;
    const char *command;
    const char *body;
    const char *type;
    std::string reply;
    const char *xml;
};

template <size_t N> void expect_answers(exchange &ex, const answer_case (&cases)[N])
{
    for (const answer_case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(expect_answer(ex, c.command, c.body, c.type, c.reply, c.xml));
    }
}

} // namespace zws_test
