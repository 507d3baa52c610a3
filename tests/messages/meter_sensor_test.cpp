// The interface commands of meters, binary sensors and multilevel sensors:
// form pairs in, the frame trellan sends as the protocol decodes it, and
// replies written by the protocol read back into both forms of the answer,
// readings above all (sign, size and decimals of the bytes a device sent).
#include "exchange_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class MeterSensor : public zws_test::shared_exchange<MeterSensor> {};

using zws_test::k_none;
using zws_test::k_refused;

// Interface 0x32 / 0x30 / 0x31 of endpoint 0 (byte 1) of node 5.
#define IFD_METER "3277061"
#define IFD_BSENSOR "3145989"
#define IFD_SENSOR "3211525"

TEST_F(MeterSensor, PairsToTheDecodedParameter)
{
    const zws_test::pairs_case cases[] = {
        // Meter: the unit is optional, -1 (any) without it.
        {"zwif_meter", "cmd=2&ifd=" IFD_METER, "interface_meter_get", R"({"scale": -1})", false},
        {"meter", "cmd=3&ifd=" IFD_METER "&unit=2", "interface_meter_get", R"({"scale": 2})", true},
        {"zwif_meter", "cmd=2&ifd=" IFD_METER "&unit=abc", "interface_meter_get", k_refused, false},
        {"zwif_meter", "cmd=2&ifd=" IFD_METER "&unit=-1", "interface_meter_get", k_refused, false},
        {"zwif_meter", "cmd=2&ifd=" IFD_METER "&unit=", "interface_meter_get", k_refused, false},
        {"zwif_meter", "cmd=2&ifd=" IFD_METER "&type=2", "interface_meter_get", R"({"scale": -1})", false},
        {"zwif_meter", "cmd=4&ifd=" IFD_METER, "interface_meter_supported_get", k_none, false},
        {"zwif_meter", "cmd=5&ifd=" IFD_METER, "interface_meter_supported_get", k_none, true},
        {"zwif_meter", "cmd=6&ifd=" IFD_METER, "interface_meter_reset", k_none, false},
        // Binary sensor: without a type the device's default sensor, 0.
        {"zwif_bsensor", "cmd=2&ifd=" IFD_BSENSOR, "interface_sensor_binary_get", R"({"sensor_type": 0})", false},
        {"bin_snsr", "cmd=3&ifd=" IFD_BSENSOR "&type=12", "interface_sensor_binary_get", R"({"sensor_type": 12})",
         true},
        {"zwif_bsensor", "cmd=2&ifd=" IFD_BSENSOR "&type=x", "interface_sensor_binary_get", k_refused, false},
        {"zwif_bsensor", "cmd=4&ifd=" IFD_BSENSOR, "interface_sensor_binary_supported_get", k_none, false},
        {"zwif_bsensor", "cmd=5&ifd=" IFD_BSENSOR, "interface_sensor_binary_supported_get", k_none, true},
        // Multilevel sensor: type, then unit, each only at its place.
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR, "interface_sensor_multilevel_get",
         R"({"sensor_type": -1, "scale": -1})", false},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR "&type=1&unit=2", "interface_sensor_multilevel_get",
         R"({"sensor_type": 1, "scale": 2})", false},
        {"multi_lvl_snsr", "cmd=3&ifd=" IFD_SENSOR "&unit=2&type=1", "interface_sensor_multilevel_get",
         R"({"sensor_type": -1, "scale": 2})", true},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR "&x=1&type=1", "interface_sensor_multilevel_get",
         R"({"sensor_type": -1, "scale": -1})", false},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR "&type=-1", "interface_sensor_multilevel_get", k_refused, false},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR "&type=1&unit=2x", "interface_sensor_multilevel_get", k_refused,
         false},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR "&type=2147483648", "interface_sensor_multilevel_get", k_refused,
         false},
        {"zwif_sensor", "cmd=4&ifd=" IFD_SENSOR, "interface_sensor_multilevel_supported_get", k_none, false},
        {"zwif_sensor", "cmd=5&ifd=" IFD_SENSOR, "interface_sensor_multilevel_supported_get", k_none, true},
        {"zwif_sensor", "cmd=6&ifd=" IFD_SENSOR "&type=1", "interface_sensor_multilevel_scale_supported_get",
         R"({"sensor_type": 1})", false},
        {"zwif_sensor", "cmd=7&ifd=" IFD_SENSOR, "interface_sensor_multilevel_scale_supported_get",
         R"({"sensor_type": -1})", true},
        {"zwif_sensor", "cmd=6&ifd=" IFD_SENSOR "&type=", "interface_sensor_multilevel_scale_supported_get",
         k_refused, false},
    };
    zws_test::expect_parameters(*ex, cases);
    // Resetting has no passive read.
    EXPECT_NE(ex->parse("zwif_meter", "cmd=7&ifd=" IFD_METER), 0);
    const struct {
        const char *command;
        const char *body;
        const char *error_text;
    } families[] = {
        {"meter", "cmd=6&ifd=" IFD_METER, "tServMeter"},
        {"bin_snsr", "cmd=4&ifd=" IFD_BSENSOR, "tServBinSnsr"},
        {"multi_lvl_snsr", "cmd=6&ifd=" IFD_SENSOR, "tServMultiLvlSnsr"},
    };
    for (const auto &f : families) {
        ASSERT_EQ(ex->parse(f.command, f.body), 0) << f.command;
        EXPECT_STREQ(ex->error_text(), f.error_text);
    }
}

// A reading as the protocol carries it: 4 value bytes, of which `size` count.
std::string meter_reading(int utime, int precision, int size, const char *value, const char *previous)
{
    return "{\"utime\": " + std::to_string(utime) +
           ", \"meter_type\": 257, \"precision\": " + std::to_string(precision) +
           ", \"scale\": 2, \"size\": " + std::to_string(size) + ", \"meter_value\": " + value +
           ", \"rate_type\": 1, \"delta_time\": 70000, \"previous_meter_value\": " + previous + "}";
}

std::string sensor_reading(int precision, int size, const char *value)
{
    return "{\"utime\": 6, \"sensor_type\": 1, \"precision\": " + std::to_string(precision) +
           ", \"scale\": 0, \"size\": " + std::to_string(size) + ", \"sensor_value\": " + value + "}";
}

TEST_F(MeterSensor, RepliesToBothFormsOfTheAnswer)
{
    const std::string command =
        R"("command": {"interface": {"endpoint": {"node": {"network": {"id": "AA"}, "id": 5}, "id": 0}, "id": 50},
                       "passive": false})";
    auto reply = [&](const std::string &parameter) { return "{" + command + ", \"parameter\": " + parameter + "}"; };
    auto meters = [&](const std::string &readings) { return reply("{\"meter_value_list\": [" + readings + "]}"); };
    auto sensors = [&](const std::string &readings) {
        return reply("{\"sensor_value_list\": [" + readings + "]}");
    };
    const zws_test::answer_case cases[] = {
        {"meter readings: FF FE of size 2 with one decimal, then without", "zwif_meter", "cmd=2&ifd=" IFD_METER,
         "InterfaceMeterGetResponse",
         meters(meter_reading(5, 1, 2, "[255, 254, 0, 0]", "[0, 10, 0, 0]") + ", " +
                meter_reading(4, 0, 2, "[255, 254, 0, 0]", "[0, 0, 0, 0]")),
         "<intf desc=\"3277061\" deprecated=\"1\">"
         "<meter update=\"5\" type=\"1\" value=\"-0.2000000\" precision=\"1\" unit=\"2\" rtype=\"1\" delta=\"4464\""
         " prev=\"1.0000000\" />"
         "<meter update=\"4\" type=\"1\" value=\"-2\" precision=\"0\" unit=\"2\" rtype=\"1\" delta=\"4464\""
         " prev=\"0\" /></intf>"
         "<zwif desc=\"3277061\">"
         "<meter utime=\"5\" type=\"1\" value=\"-0.2000000\" precision=\"1\" unit=\"2\" rtype=\"1\" delta=\"4464\""
         " prev=\"1.0000000\" />"
         "<meter utime=\"4\" type=\"1\" value=\"-2\" precision=\"0\" unit=\"2\" rtype=\"1\" delta=\"4464\""
         " prev=\"0\" /></zwif>"},
        {"meter readings of sizes 4, 1 and 0: only the first `size` bytes count", "zwif_meter",
         "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse",
         meters(meter_reading(1, 0, 4, "[128, 0, 0, 0]", "[127, 255, 255, 255]") + ", " +
                meter_reading(2, 3, 1, "[127, 255, 255, 255]", "[128, 1, 1, 1]") + ", " +
                meter_reading(3, 2, 0, "[255, 255, 255, 255]", "[1, 0, 0, 0]")),
         "<intf desc=\"3277061\" deprecated=\"1\">"
         "<meter update=\"1\" type=\"1\" value=\"-2147483648\" precision=\"0\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"2147483647\" />"
         "<meter update=\"2\" type=\"1\" value=\"0.1270000\" precision=\"3\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"-0.1280000\" />"
         "<meter update=\"3\" type=\"1\" value=\"0.0000000\" precision=\"2\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"0.0000000\" /></intf>"
         "<zwif desc=\"3277061\">"
         "<meter utime=\"1\" type=\"1\" value=\"-2147483648\" precision=\"0\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"2147483647\" />"
         "<meter utime=\"2\" type=\"1\" value=\"0.1270000\" precision=\"3\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"-0.1280000\" />"
         "<meter utime=\"3\" type=\"1\" value=\"0.0000000\" precision=\"2\" unit=\"2\" rtype=\"1\""
         " delta=\"4464\" prev=\"0.0000000\" /></zwif>"},
        {"a meter reading of size 3 fails the whole answer", "zwif_meter", "cmd=2&ifd=" IFD_METER,
         "InterfaceMeterGetResponse",
         meters(meter_reading(5, 1, 2, "[1, 2, 3, 4]", "[0, 0, 0, 0]") + ", " +
                meter_reading(5, 1, 3, "[1, 2, 3, 4]", "[0, 0, 0, 0]")),
         nullptr},
        {"a meter reading of size 8", "zwif_meter", "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse",
         meters(meter_reading(5, 1, 8, "[1, 2, 3, 4]", "[0, 0, 0, 0]")), nullptr},
        {"a meter reading of size -1", "zwif_meter", "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse",
         meters(meter_reading(5, 1, -1, "[1, 2, 3, 4]", "[0, 0, 0, 0]")), nullptr},
        {"no meter readings", "zwif_meter", "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse", meters(""),
         "<intf desc=\"3277061\" deprecated=\"1\"></intf><zwif desc=\"3277061\"></zwif>"},
        {"meter supported: the scales are a mask, written whole", "zwif_meter", "cmd=4&ifd=" IFD_METER,
         "InterfaceMeterSupportedGetResponse",
         reply(R"({"utime": 7, "meter_type": 1, "scale_supported": 261, "meter_reset": 1})"),
         "<intf desc=\"3277061\" deprecated=\"1\"><sup_meter update=\"7\" type=\"1\" units=\"261\" reset=\"1\" />"
         "</intf><zwif desc=\"3277061\"><meter_sup utime=\"7\" type=\"1\" units=\"261\" reset=\"1\" /></zwif>"},
        {"binary sensor", "zwif_bsensor", "cmd=2&ifd=" IFD_BSENSOR, "InterfaceSensorBinaryGetResponse",
         reply(R"({"idle_utime": 10, "event_utime": 4294967296, "sensor_value": 511, "sensor_type": 12})"),
         "<intf desc=\"3145989\" deprecated=\"1\">"
         "<bin_snsr idle=\"10\" event=\"4294967296\" state=\"255\" type=\"12\" /></intf>"
         "<zwif desc=\"3145989\"><bsensor idle_utime=\"10\" event_utime=\"4294967296\" state=\"255\" type=\"12\" />"
         "</zwif>"},
        {"binary sensor supported types", "zwif_bsensor", "cmd=4&ifd=" IFD_BSENSOR,
         "InterfaceSensorSupportedGetResponse", reply(R"({"utime": 3, "supported_types": [1, 3]})"),
         "<intf desc=\"3145989\" deprecated=\"1\"><bsensor utime=\"3\" list=\"1,3,\" /></intf>"
         "<zwif desc=\"3145989\"><bsensor utime=\"3\" list=\"1,3,\" /></zwif>"},
        {"no binary sensor types", "zwif_bsensor", "cmd=4&ifd=" IFD_BSENSOR, "InterfaceSensorSupportedGetResponse",
         reply(R"({"utime": 3, "supported_types": []})"),
         "<intf desc=\"3145989\" deprecated=\"1\"><bsensor utime=\"3\" list=\"\" /></intf>"
         "<zwif desc=\"3145989\"><bsensor utime=\"3\" list=\"\" /></zwif>"},
        {"multilevel sensor readings", "zwif_sensor", "cmd=2&ifd=" IFD_SENSOR,
         "InterfaceSensorMultilevelGetResponse",
         sensors(sensor_reading(2, 2, "[0, 100, 9, 9]") + ", " + sensor_reading(0, 1, "[200, 0, 0, 0]")),
         "<intf desc=\"3211525\" deprecated=\"1\">"
         "<multi_lvl_snsr update=\"6\" s_type=\"1\" s_value=\"1.0000000\" s_precision=\"2\" s_unit=\"0\" />"
         "<multi_lvl_snsr update=\"6\" s_type=\"1\" s_value=\"-56\" s_precision=\"0\" s_unit=\"0\" /></intf>"
         "<zwif desc=\"3211525\">"
         "<sensor utime=\"6\" type=\"1\" value=\"1.0000000\" precision=\"2\" unit=\"0\" />"
         "<sensor utime=\"6\" type=\"1\" value=\"-56\" precision=\"0\" unit=\"0\" /></zwif>"},
        {"a multilevel sensor reading of size 3", "zwif_sensor", "cmd=2&ifd=" IFD_SENSOR,
         "InterfaceSensorMultilevelGetResponse", sensors(sensor_reading(0, 3, "[0, 0, 1, 0]")), nullptr},
        {"multilevel sensor supported types", "zwif_sensor", "cmd=4&ifd=" IFD_SENSOR,
         "InterfaceSensorSupportedGetResponse", reply(R"({"utime": 2, "supported_types": [1, 5, 300]})"),
         "<intf desc=\"3211525\" deprecated=\"1\"><sensor utime=\"2\" list=\"1,5,44,\" /></intf>"
         "<zwif desc=\"3211525\"><sensor utime=\"2\" list=\"1,5,44,\" /></zwif>"},
        {"multilevel sensor scales", "zwif_sensor", "cmd=6&ifd=" IFD_SENSOR "&type=1",
         "InterfaceSensorMultilevelScaleSupportedGetResponse",
         reply(R"({"utime": 8, "sensor_type": 1, "supported_scales": [0, 2]})"),
         "<intf desc=\"3211525\" deprecated=\"1\"><sensor utime=\"8\" type=\"1\" list=\"0,2,\" /></intf>"
         "<zwif desc=\"3211525\"><sensor utime=\"8\" type=\"1\" list=\"0,2,\" /></zwif>"},
        {"scales read as types", "zwif_sensor", "cmd=6&ifd=" IFD_SENSOR "&type=1",
         "InterfaceSensorSupportedGetResponse", reply(R"({"utime": 8, "supported_types": [0, 2]})"), nullptr},
    };
    zws_test::expect_answers(*ex, cases);
}

// A reading that breaks the value rule names its field in the log, and the
// answer is refused; here the protocol itself carries fields shorter than 4
// bytes, as a peer with another idea of the records would send them.
TEST(MeterSensorShortFields, RefusedWithTheLineOfTheField)
{
    std::string protocol = zws_test::read_file(zws_test::source_dir() + "/avi/zwave.avsc");
    for (const char *name : {"\"PreviousMeterValue\", \"size\": 4", "\"SensorValue\", \"size\": 4"}) {
        const size_t at = protocol.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        protocol[at + std::string(name).size() - 1] = '2';
    }
    const std::string path = zws_test::binary_dir() + "/short-value-fields.avsc";
    ASSERT_NO_FATAL_FAILURE(zws_test::write_file(path, protocol));
    zws_test::exchange ex(path);
    const std::string command =
        R"("command": {"interface": {"endpoint": {"node": {"network": {"id": "AA"}, "id": 5}, "id": 0}, "id": 50},
                       "passive": false})";
    const struct {
        const char *command;
        const char *body;
        const char *type;
        std::string parameter;
        const char *line;
    } cases[] = {
        {"zwif_meter", "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse",
         "{\"meter_value_list\": [" + meter_reading(1, 0, 2, "[255, 254, 0, 0]", "[0, 1]") + "]}",
         "Invalid previous meter value field size"},
        {"zwif_meter", "cmd=2&ifd=" IFD_METER, "InterfaceMeterGetResponse",
         "{\"meter_value_list\": [" + meter_reading(1, 0, 3, "[255, 254, 0, 0]", "[0, 1]") + "]}",
         "Invalid meter value field size"},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR, "InterfaceSensorMultilevelGetResponse",
         "{\"sensor_value_list\": [" + sensor_reading(0, 2, "[0, 1]") + "]}", "Invalid Sensor value field size"},
        {"zwif_sensor", "cmd=2&ifd=" IFD_SENSOR, "InterfaceSensorMultilevelGetResponse",
         "{\"sensor_value_list\": [" + sensor_reading(0, 0, "[0, 1]") + "]}", "Invalid Sensor value field size"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(ex.parse(c.command, c.body), 0);
        zws_test::log_capture capture;
        int status = 0;
        ex.answer(c.type, "{" + command + ", \"parameter\": " + c.parameter + "}", &status);
        EXPECT_NE(status, 0);
        const std::vector<std::string> errors = capture.errors();
        EXPECT_NE(std::find(errors.begin(), errors.end(), c.line), errors.end()) << testing::PrintToString(errors);
    }
}

} // namespace
