#include "avi/zw_avro.h"
#include "tests/support/zws_log_capture.h"
#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using zw_test::capture_line;
using zw_test::log_capture;

int count_prefix(const std::string &prefix)
{
    int n = 0;
    for (const auto &l : log_capture::lines())
        n += l.rfind(prefix, 0) == 0;
    return n;
}

bool logged_prefix(const std::string &prefix) { return count_prefix(prefix) > 0; }

std::string project_schema()
{
    const char *source = std::getenv("ZW_SOURCE_DIR");
    std::ifstream in(source ? fs::path(source) / "avi" / "zwave.avsc" : fs::path(ZW_AVI_SCHEMA));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << "cannot read the project's zwave.avsc";
    return text.str();
}

constexpr const char *default_path = "/opt/install/corvale/etc/zwave.avsc";

// A staged install tree: VANTOR_INSTALL_PATH=<tmp>/x, so the protocol file is
// <tmp>/x/../install/corvale/etc/zwave.avsc.
struct AvroInit : ::testing::Test {
    void SetUp() override
    {
        char pattern[] = "/tmp/zw_avi_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        fs::create_directories(base / "x");
        const char *old = std::getenv("VANTOR_INSTALL_PATH");
        if (old)
            saved_env = old;
        setenv("VANTOR_INSTALL_PATH", (base / "x").c_str(), 1);
        log_capture::clear();
        saved_log = ZWS_LOG_FUNC;
        ZWS_LOG_FUNC = capture_line;
    }
    void TearDown() override
    {
        ZWS_LOG_FUNC = saved_log;
        if (saved_env)
            setenv("VANTOR_INSTALL_PATH", saved_env->c_str(), 1);
        else
            unsetenv("VANTOR_INSTALL_PATH");
        fs::remove_all(base);
    }
    fs::path schema_path() const { return base / "install/corvale/etc/zwave.avsc"; }
    void stage(const std::string &text)
    {
        fs::create_directories(schema_path().parent_path());
        std::ofstream(schema_path(), std::ios::binary) << text;
    }

    fs::path base;
    std::optional<std::string> saved_env;
    zws_log_func_t saved_log = nullptr;
};

TEST_F(AvroInit, LoadsTheProjectSchemaFromTheInstallTree)
{
    stage(project_schema());
    zw_avro_t avro = nullptr;
    ASSERT_EQ(zw_avro_init(&avro), 0);
    ASSERT_NE(avro, nullptr);
    EXPECT_EQ(count_prefix("[critical]"), 0);
    EXPECT_EQ(count_prefix("[error]"), 0);

    EXPECT_EQ(avro_typeof(zw_avro_get_protocol_schema(avro)), AVRO_RECORD);
    EXPECT_EQ(avro_typeof(zw_avro_get_types_schema(avro)), AVRO_UNION);
    EXPECT_EQ(avro_typeof(zw_avro_get_messages_schema(avro)), AVRO_RECORD);

    // The Cookies class makes records with the union field user.
    avro_value_t cookies;
    ASSERT_EQ(avro_generic_value_new(zw_avro_get_cookies_iface(avro), &cookies), 0);
    avro_value_t user;
    ASSERT_EQ(avro_value_get_by_name(&cookies, "user", &user, nullptr), 0);
    EXPECT_EQ(avro_value_get_type(&user), AVRO_UNION);
    avro_value_decref(&cookies);

    avro_value_t types;
    ASSERT_EQ(avro_generic_value_new(zw_avro_get_types_iface(avro), &types), 0);
    EXPECT_EQ(avro_value_get_type(&types), AVRO_UNION);
    avro_value_decref(&types);
    zw_avro_exit(avro);
}

// Every message names a request and a response record that are branches of
// "types"; later message families rely on this when they add their entries.
TEST_F(AvroInit, ProjectMessagesNameBranchesOfTypes)
{
    stage(project_schema());
    zw_avro_t avro = nullptr;
    ASSERT_EQ(zw_avro_init(&avro), 0);
    avro_schema_t types = zw_avro_get_types_schema(avro);
    for (const char *name : {"Void", "Cookies", "Network", "Node", "Endpoint", "Interface"}) {
        int branch = -1;
        EXPECT_NE(avro_schema_union_branch_by_name(types, &branch, name), nullptr) << name;
    }
    avro_schema_t messages = zw_avro_get_messages_schema(avro);
    for (size_t i = 0; i < avro_schema_record_size(messages); i++) {
        const char *message = avro_schema_record_field_name(messages, static_cast<int>(i));
        SCOPED_TRACE(message);
        avro_schema_t entry = avro_schema_record_field_get_by_index(messages, static_cast<int>(i));
        ASSERT_EQ(avro_typeof(entry), AVRO_RECORD);
        for (const char *side : {"request", "response"}) {
            avro_schema_t record = avro_schema_record_field_get(entry, side);
            ASSERT_NE(record, nullptr) << side;
            int branch = -1;
            EXPECT_NE(avro_schema_union_branch_by_name(types, &branch, avro_schema_type_name(record)), nullptr)
                << side;
        }
    }
    zw_avro_exit(avro);
}

TEST_F(AvroInit, AbsentFileLogsCriticalOnceAndFallsBackToTheDefault)
{
    zw_avro_t avro = nullptr;
    const int status = zw_avro_init(&avro);
    EXPECT_EQ(count_prefix("[critical] Failed to find Avro schema file. Falling back to default location.\n"), 1);
    EXPECT_EQ(count_prefix("[critical]"), 1);
    if (fs::exists(default_path)) {
        if (status == 0)
            zw_avro_exit(avro);
        GTEST_SKIP() << "this machine has a protocol file at the default path";
    }
    EXPECT_EQ(status, 22);
    EXPECT_EQ(avro, nullptr);
    EXPECT_TRUE(logged_prefix(std::string("[error] Failed to open file '") + default_path + "' to read: "));
}

TEST_F(AvroInit, UnsetVariableGoesToTheDefaultWithoutTheCriticalLine)
{
    unsetenv("VANTOR_INSTALL_PATH");
    zw_avro_t avro = nullptr;
    const int status = zw_avro_init(&avro);
    EXPECT_EQ(count_prefix("[critical]"), 0);
    EXPECT_TRUE(logged_prefix("[error] Failed to get VANTOR_INSTALL_PATH env variable"));
    if (fs::exists(default_path)) {
        if (status == 0)
            zw_avro_exit(avro);
        GTEST_SKIP() << "this machine has a protocol file at the default path";
    }
    EXPECT_EQ(status, 22);
    EXPECT_TRUE(logged_prefix(std::string("[error] Failed to open file '") + default_path + "' to read: "));
}

TEST_F(AvroInit, BadProtocolFilesFailAndHoldNothing)
{
    const std::string cookies = R"({"type":"record","name":"Cookies","fields":[{"name":"user","type":["string","null"]}]})";
    const std::string messages = R"({"name":"messages","type":{"type":"record","name":"M","fields":[]}})";
    const struct {
        const char *label;
        std::string text;
        std::string line;
    } cases[] = {
        {"no Cookies branch",
         R"({"type":"record","name":"P","fields":[{"name":"types","type":[{"type":"record","name":"Void","fields":[]}]},)" +
             messages + "]}",
         "[error] Failed to get 'Cookies' schema from 'types' schema: "},
        {"types is not a union",
         R"({"type":"record","name":"P","fields":[{"name":"types","type":)" + cookies + "}," + messages + "]}",
         "[error] Failed to get 'Cookies' schema from 'types' schema: 'types' is not a union"},
        {"no types", R"({"type":"record","name":"P","fields":[)" + messages + "]}",
         "[error] Failed to get the 'types' subschema: "},
        {"top level not a record", R"("int")", "[error] Failed to get the 'types' subschema: "},
        {"messages is not a record",
         R"({"type":"record","name":"P","fields":[{"name":"types","type":[)" + cookies +
             R"(]},{"name":"messages","type":"string"}]})",
         "[error] Failed to get the 'messages' subschema: 'messages' is not a record"},
        {"no messages", R"({"type":"record","name":"P","fields":[{"name":"types","type":[)" + cookies + "]}]}",
         "[error] Failed to get the 'messages' subschema: "},
        {"not JSON", "{\"type\": ", "[error] Failed to get schema from JSON text of file '"},
        {"empty file", "", "[error] Failed to get schema from JSON text of file '"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        stage(c.text);
        log_capture::clear();
        zw_avro_t avro = nullptr;
        EXPECT_EQ(zw_avro_init(&avro), 22);
        EXPECT_EQ(avro, nullptr);
        EXPECT_TRUE(logged_prefix(c.line)) << (log_capture::lines().empty() ? "" : log_capture::lines().back());
        EXPECT_EQ(count_prefix("[error]"), 1);
    }
    // Nothing was held: the next call reads the (now good) file and builds
    // a holder without the singleton warning.
    stage(project_schema());
    log_capture::clear();
    zw_avro_t avro = nullptr;
    ASSERT_EQ(zw_avro_init(&avro), 0);
    EXPECT_FALSE(logged_prefix("[warning]"));
    zw_avro_exit(avro);
}

TEST_F(AvroInit, SecondInitSharesTheHolderWithAWarning)
{
    stage(project_schema());
    zw_avro_t first = nullptr, second = nullptr;
    ASSERT_EQ(zw_avro_init(&first), 0);
    EXPECT_FALSE(logged_prefix("[warning]"));
    // The file is gone, so only the shared holder can satisfy the call.
    fs::remove(schema_path());
    ASSERT_EQ(zw_avro_init(&second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(count_prefix("[warning] Multiple calls to singleton object\n"), 1);
    zw_avro_exit(first);
}

TEST_F(AvroInit, ExitThenInitBuildsANewHolder)
{
    stage(project_schema());
    zw_avro_t first = nullptr;
    ASSERT_EQ(zw_avro_init(&first), 0);
    zw_avro_exit(first);

    log_capture::clear();
    zw_avro_t second = nullptr;
    ASSERT_EQ(zw_avro_init(&second), 0);
    EXPECT_FALSE(logged_prefix("[warning]"));
    // A holder handed out after exit must be live (ASan would catch a stale one).
    avro_value_t cookies;
    ASSERT_EQ(avro_generic_value_new(zw_avro_get_cookies_iface(second), &cookies), 0);
    avro_value_decref(&cookies);
    zw_avro_exit(second);

    // And once the file is gone, a further init really fails.
    fs::remove(schema_path());
    unsetenv("VANTOR_INSTALL_PATH");
    if (!fs::exists(default_path)) {
        zw_avro_t third = nullptr;
        EXPECT_EQ(zw_avro_init(&third), 22);
    }
}

// ---------------------------------------------------------------------------
// Field helpers on one record holding a field of every kind.

constexpr const char record_json[] = R"({"type":"record","name":"R","fields":[
    {"name":"b","type":"boolean"},
    {"name":"i","type":"int"},
    {"name":"l","type":"long"},
    {"name":"s","type":"string"},
    {"name":"f","type":{"type":"fixed","name":"F4","size":4}},
    {"name":"y","type":"bytes"},
    {"name":"n","type":"null"},
    {"name":"d","type":"double"},
    {"name":"u","type":["string","null"]}]})";

struct AvroField : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(avro_schema_from_json_literal(record_json, &schema), 0) << avro_strerror();
        iface = avro_generic_class_from_schema(schema);
        ASSERT_NE(iface, nullptr);
        ASSERT_EQ(avro_generic_value_new(iface, &record), 0);
        log_capture::clear();
        saved_log = ZWS_LOG_FUNC;
        ZWS_LOG_FUNC = capture_line;
    }
    void TearDown() override
    {
        ZWS_LOG_FUNC = saved_log;
        avro_value_decref(&record);
        avro_value_iface_decref(iface);
        avro_schema_decref(schema);
    }
    // The one line logged since the last call, without Avro's error text.
    std::string line_head()
    {
        EXPECT_EQ(log_capture::lines().size(), 1u);
        std::string line = log_capture::lines().empty() ? "" : log_capture::lines().back();
        log_capture::clear();
        const size_t colon = line.find("': ");
        return colon == std::string::npos ? line : line.substr(0, colon + 2);
    }

    avro_schema_t schema = nullptr;
    avro_value_iface_t *iface = nullptr;
    avro_value_t record;
    zws_log_func_t saved_log = nullptr;
};

TEST_F(AvroField, SetThenGetEveryKind)
{
    ASSERT_EQ(zw_avro_field_set_boolean(&record, "b", 1), 0);
    ASSERT_EQ(zw_avro_field_set_int(&record, "i", -7), 0);
    ASSERT_EQ(zw_avro_field_set_long(&record, "l", 5000000000LL), 0);
    ASSERT_EQ(zw_avro_field_set_string(&record, "s", "kitchen"), 0);
    const uint8_t four[4] = {0xDE, 0xAD, 0x00, 0xEF};
    ASSERT_EQ(zw_avro_field_set_fixed(&record, "f", four, 4), 0);
    const uint8_t three[3] = {0x00, 0x01, 0xFF};
    ASSERT_EQ(zw_avro_field_set_bytes(&record, "y", three, 3), 0);
    ASSERT_EQ(zw_avro_field_set_null(&record, "n"), 0);
    ASSERT_EQ(zw_avro_field_set_double(&record, "d", -0.25), 0);
    EXPECT_TRUE(log_capture::lines().empty());

    int boolean = 0;
    int32_t integer = 0;
    int64_t wide = 0;
    char *text = nullptr;
    void *buffer = nullptr;
    size_t size = 0;
    ASSERT_EQ(zw_avro_field_get_boolean(&record, "b", &boolean), 0);
    EXPECT_EQ(boolean, 1);
    ASSERT_EQ(zw_avro_field_get_int(&record, "i", &integer), 0);
    EXPECT_EQ(integer, -7);
    ASSERT_EQ(zw_avro_field_get_long(&record, "l", &wide), 0);
    EXPECT_EQ(wide, 5000000000LL);
    ASSERT_EQ(zw_avro_field_get_string(&record, "s", &text), 0);
    EXPECT_STREQ(text, "kitchen");
    zw_avro_field_free_string(text);
    ASSERT_EQ(zw_avro_field_get_fixed(&record, "f", &buffer, &size), 0);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(buffer, four, 4), 0);
    zw_avro_field_free_fixed(buffer);
    ASSERT_EQ(zw_avro_field_get_bytes(&record, "y", &buffer, &size), 0);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(buffer, three, 3), 0);
    zw_avro_field_free_bytes(buffer);
    EXPECT_EQ(zw_avro_field_get_null(&record, "n"), 0);
    EXPECT_TRUE(log_capture::lines().empty());
}

TEST_F(AvroField, EmptyStringGivesAOneByteCopy)
{
    char *text = reinterpret_cast<char *>(0x1);
    // Never set: Avro holds no buffer at all.
    ASSERT_EQ(zw_avro_field_get_string(&record, "s", &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], '\0');
    zw_avro_field_free_string(text);

    ASSERT_EQ(zw_avro_field_set_string(&record, "s", ""), 0);
    text = nullptr;
    ASSERT_EQ(zw_avro_field_get_string(&record, "s", &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], '\0');
    zw_avro_field_free_string(text);
}

TEST_F(AvroField, NullBytesWithSizeZeroStoreTheEmptyByteString)
{
    const uint8_t some[2] = {1, 2};
    ASSERT_EQ(zw_avro_field_set_bytes(&record, "y", some, 2), 0);
    ASSERT_EQ(zw_avro_field_set_bytes(&record, "y", nullptr, 0), 0);
    void *buffer = nullptr;
    size_t size = 99;
    ASSERT_EQ(zw_avro_field_get_bytes(&record, "y", &buffer, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_NE(buffer, nullptr);
    zw_avro_field_free_bytes(buffer);

    // A null buffer that claims bytes is refused, and the field keeps its value.
    EXPECT_EQ(zw_avro_field_set_bytes(&record, "y", nullptr, 5), 22);
    EXPECT_EQ(line_head(), "[error] Failed to set bytes value of size '5' in the field 'y':");
    EXPECT_EQ(zw_avro_field_set_fixed(&record, "f", nullptr, 4), 22);
    EXPECT_EQ(line_head(), "[error] Failed to set fixed value of size '4' in the field 'f':");
    EXPECT_EQ(zw_avro_field_set_string(&record, "s", nullptr), 22);
    EXPECT_EQ(line_head(), "[error] Failed to set value '(null)' to the field 's':");
}

TEST_F(AvroField, FixedOfTheWrongSizeIsRefused)
{
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    for (size_t size : {3u, 5u, 0u}) {
        EXPECT_EQ(zw_avro_field_set_fixed(&record, "f", bytes, size), 22);
        EXPECT_EQ(line_head(),
                  "[error] Failed to set fixed value of size '" + std::to_string(size) + "' in the field 'f':");
    }
}

// Each getter on a field of another kind: its "value" line, outputs untouched.
TEST_F(AvroField, GettersOnTheWrongKindFailAndLeaveOutputsAlone)
{
    ASSERT_EQ(zw_avro_field_set_long(&record, "l", 42), 0);
    int boolean = -5;
    int32_t integer = -5;
    int64_t wide = -5;
    char *text = reinterpret_cast<char *>(0x1);
    void *buffer = reinterpret_cast<void *>(0x1);
    size_t size = 77;
    const struct {
        std::function<int()> call;
        std::string head;
    } cases[] = {
        {[&] { return zw_avro_field_get_int(&record, "l", &integer); },
         "[error] Failed to get integer value of the field 'l':"},
        {[&] { return zw_avro_field_get_long(&record, "i", &wide); },
         "[error] Failed to get integer value of the field 'i':"},
        {[&] { return zw_avro_field_get_boolean(&record, "i", &boolean); },
         "[error] Failed to get boolean value of the field 'i':"},
        {[&] { return zw_avro_field_get_string(&record, "y", &text); },
         "[error] Failed to get string value of the field 'y':"},
        {[&] { return zw_avro_field_get_fixed(&record, "y", &buffer, &size); },
         "[error] Failed to get fixed value in the field 'y':"},
        {[&] { return zw_avro_field_get_bytes(&record, "s", &buffer, &size); },
         "[error] Failed to get bytes value in the field 's':"},
        {[&] { return zw_avro_field_get_null(&record, "i"); }, "[error] Failed to get null value of the field 'i':"},
        // A union is not its branch: callers select the branch themselves.
        {[&] { return zw_avro_field_get_string(&record, "u", &text); },
         "[error] Failed to get string value of the field 'u':"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        EXPECT_EQ(c.call(), 22);
        EXPECT_EQ(line_head(), c.head);
    }
    EXPECT_EQ(boolean, -5);
    EXPECT_EQ(integer, -5);
    EXPECT_EQ(wide, -5);
    EXPECT_EQ(text, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(buffer, reinterpret_cast<void *>(0x1));
    EXPECT_EQ(size, 77u);
}

TEST_F(AvroField, SettersOnTheWrongKindNameTheValue)
{
    const uint8_t two[2] = {1, 2};
    const struct {
        std::function<int()> call;
        std::string head;
    } cases[] = {
        {[&] { return zw_avro_field_set_boolean(&record, "i", 1); }, "[error] Failed to set value '1' to the field 'i':"},
        {[&] { return zw_avro_field_set_int(&record, "l", -3); }, "[error] Failed to set value '-3' to the field 'l':"},
        {[&] { return zw_avro_field_set_long(&record, "i", 5000000000LL); },
         "[error] Failed to set value '5000000000' to the field 'i':"},
        {[&] { return zw_avro_field_set_string(&record, "i", "abc"); },
         "[error] Failed to set value 'abc' to the field 'i':"},
        {[&] { return zw_avro_field_set_bytes(&record, "s", two, 2); },
         "[error] Failed to set bytes value of size '2' in the field 's':"},
        {[&] { return zw_avro_field_set_null(&record, "s"); }, "[error] Failed to set null value to the field 's':"},
        {[&] { return zw_avro_field_set_double(&record, "i", 1.5); },
         "[error] Failed to set value '1.500000' to the field 'i':"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        EXPECT_EQ(c.call(), 22);
        EXPECT_EQ(line_head(), c.head);
    }
}

TEST_F(AvroField, MissingFieldOrNonRecordFailsTheLookup)
{
    int32_t integer = 0;
    char *text = nullptr;
    EXPECT_EQ(zw_avro_field_get_int(&record, "nope", &integer), 22);
    EXPECT_EQ(line_head(), "[error] Failed to get the field 'nope':");
    EXPECT_EQ(zw_avro_field_set_string(&record, "nope", "x"), 22);
    EXPECT_EQ(line_head(), "[error] Failed to get the field 'nope':");
    EXPECT_EQ(zw_avro_field_get_null(&record, ""), 22);
    EXPECT_EQ(line_head(), "[error] Failed to get the field '':");

    // A value that is not a record has no fields at all.
    avro_value_t field;
    ASSERT_EQ(avro_value_get_by_name(&record, "i", &field, nullptr), 0);
    EXPECT_EQ(zw_avro_field_get_string(&field, "s", &text), 22);
    EXPECT_EQ(line_head(), "[error] Failed to get the field 's':");
}

TEST_F(AvroField, FailureLineCarriesAvrosErrorText)
{
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(zw_avro_field_set_fixed(&record, "f", bytes, 3), 22);
    ASSERT_EQ(log_capture::lines().size(), 1u);
    const std::string prefix = "[error] Failed to set fixed value of size '3' in the field 'f': ";
    ASSERT_EQ(log_capture::lines()[0].rfind(prefix, 0), 0u);
    // The rest is Avro's own text, then the line end.
    EXPECT_GT(log_capture::lines()[0].size(), prefix.size() + 1);
    EXPECT_EQ(log_capture::lines()[0].back(), '\n');
}

} // namespace
