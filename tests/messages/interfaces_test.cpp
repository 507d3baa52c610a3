// The interface commands of basic, battery and alarm: form pairs in, the
// frame trellan sends as the protocol decodes it, and replies written by the
// protocol read back into both forms of the answer.
#include "exchange_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Interfaces : public zws_test::shared_exchange<Interfaces> {};

using zws_test::k_none;
using zws_test::k_refused;

// Interface 0x20 / 0x80 / 0x71 of endpoint 0 (byte 1) of node 5.
#define IFD_BASIC "2097413"
#define IFD_BATTERY "8388869"
#define IFD_ALARM "7405829"

TEST_F(Interfaces, PairsToTheDecodedParameter)
{
    const zws_test::pairs_case cases[] = {
        {"zwif_basic", "cmd=2&ifd=" IFD_BASIC, "interface_basic_get", k_none, false},
        {"basic", "cmd=3&ifd=" IFD_BASIC, "interface_basic_get", k_none, true},
        {"zwif_basic", "cmd=4&ifd=" IFD_BASIC "&value=255", "interface_basic_set", R"({"value": 255})", false},
        {"zwif_basic", "cmd=4&ifd=" IFD_BASIC, "interface_basic_set", k_refused, false},
        {"zwif_basic", "cmd=4&ifd=" IFD_BASIC "&value=-1", "interface_basic_set", k_refused, false},
        {"zwif_basic", "cmd=4&ifd=" IFD_BASIC "&value=x", "interface_basic_set", k_refused, false},
        {"zwif_battery", "cmd=2&ifd=" IFD_BATTERY, "interface_battery_get", k_none, false},
        {"battery", "cmd=3&ifd=" IFD_BATTERY, "interface_battery_get", k_none, true},
        // Alarm get: each pair optional, -1 when absent; the latest report
        // only on the passive read of vtype 0 and ztype 255.
        {"zwif_alrm", "cmd=2&ifd=" IFD_ALARM, "interface_alarm_get",
         R"({"alarm_type": -1, "zwave_alarm_type": -1, "zwave_alarm_event": -1})", false},
        {"zwif_alrm", "cmd=2&ifd=" IFD_ALARM "&vtype=5&ztype=6&event=7", "interface_alarm_get",
         R"({"alarm_type": 5, "zwave_alarm_type": 6, "zwave_alarm_event": 7})", false},
        {"zwif_alrm", "cmd=2&ifd=" IFD_ALARM "&ztype=6", "interface_alarm_get",
         R"({"alarm_type": -1, "zwave_alarm_type": 6, "zwave_alarm_event": -1})", false},
        {"alarm", "cmd=3&ifd=" IFD_ALARM "&vtype=0&ztype=255", "interface_alarm_get",
         R"({"alarm_type": -2, "zwave_alarm_type": 255, "zwave_alarm_event": -1})", true},
        {"alarm", "cmd=2&ifd=" IFD_ALARM "&vtype=0&ztype=255", "interface_alarm_get",
         R"({"alarm_type": 0, "zwave_alarm_type": 255, "zwave_alarm_event": -1})", false},
        {"zwif_alrm", "cmd=2&ifd=" IFD_ALARM "&vtype=x", "interface_alarm_get", k_refused, false},
        {"zwif_alrm", "cmd=4&ifd=" IFD_ALARM "&ztype=6&status=255", "interface_alarm_set",
         R"({"zwave_alarm_type": 6, "zwave_alarm_status": 255})", false},
        {"zwif_alrm", "cmd=4&ifd=" IFD_ALARM "&ztype=6", "interface_alarm_set", k_refused, false},
        {"zwif_alrm", "cmd=5&ifd=" IFD_ALARM, "interface_alarm_type_supported_get", k_none, false},
        {"zwif_alrm", "cmd=6&ifd=" IFD_ALARM, "interface_alarm_type_supported_get", k_none, true},
        {"zwif_alrm", "cmd=7&ifd=" IFD_ALARM "&ztype=6", "interface_alarm_event_supported_get",
         R"({"zwave_alarm_type": 6})", false},
        {"zwif_alrm", "cmd=8&ifd=" IFD_ALARM, "interface_alarm_event_supported_get",
         R"({"zwave_alarm_type": -1})", true},
    };
    zws_test::expect_parameters(*ex, cases);
}

TEST_F(Interfaces, RepliesToBothFormsOfTheAnswer)
{
    const std::string command =
        R"("command": {"interface": {"endpoint": {"node": {"network": {"id": "AA"}, "id": 5}, "id": 0}, "id": 32},
                       "passive": false})";
    auto reply = [&](const std::string &parameter) { return "{" + command + ", \"parameter\": " + parameter + "}"; };
    const std::string no_ext = R"({"utime": 7, "alarm_type": 9, "alarm_level": 300, "extended_alarm_info": null})";
    auto with_ext = [](int type, const char *bytes) {
        return std::string(R"({"utime": 8, "alarm_type": 0, "alarm_level": 0, "extended_alarm_info":
            {"ExtendedAlarmInfo": {"zensor_net_source_node_id": 0, "zwave_alarm_status": 255,
             "zwave_alarm_type": 6, "zwave_alarm_event": 22, "event_parameter_type": )") +
               std::to_string(type) + ", \"event_parameter\": " + bytes + "}}}";
    };
    const zws_test::answer_case cases[] = {
        {"basic", "zwif_basic", "cmd=2&ifd=" IFD_BASIC, "InterfaceValueGetResponse",
         reply(R"({"utime": 42, "value": 255})"),
         "<intf desc=\"2097413\" deprecated=\"1\"><basic update=\"42\" state=\"255\" /></intf>"
         "<zwif desc=\"2097413\"><basic utime=\"42\" state=\"255\" /></zwif>"},
        {"battery", "zwif_battery", "cmd=2&ifd=" IFD_BATTERY, "InterfaceBatteryGetResponse",
         reply(R"({"utime": 0, "level": 100})"),
         "<intf desc=\"8388869\" deprecated=\"1\"><battery update=\"0\" level=\"100\" /></intf>"
         "<zwif desc=\"8388869\"><battery utime=\"0\" level=\"100\" /></zwif>"},
        {"battery without its level", "zwif_battery", "cmd=2&ifd=" IFD_BATTERY, "InterfaceValueGetResponse",
         reply(R"({"utime": 1, "value": 100})"), nullptr},
        {"alarm entries, newest first: hexadecimal parameter, then no extended information", "zwif_alrm",
         "cmd=2&ifd=" IFD_ALARM, "InterfaceAlarmGetResponse",
         reply("{\"alarm_value_list\": [" + with_ext(3, "[1, 171]") + ", " + no_ext + "]}"),
         "<intf desc=\"7405829\" deprecated=\"1\">"
         "<alarm update=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"2\" eparam_type=\"3\" eparam=\"0x01AB\" />"
         "<alarm update=\"7\" vtype=\"9\" level=\"44\" ext=\"0\" zensor_nodeid=\"0\" status=\"0\" ztype=\"0\""
         " event=\"0\" eparam_len=\"0\" eparam_type=\"0\" eparam=\"\" /></intf>"
         "<zwif desc=\"7405829\">"
         "<alrm utime=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"2\" eparam_type=\"3\" eparam=\"0x01AB\" />"
         "<alrm utime=\"7\" vtype=\"9\" level=\"44\" ext=\"0\" zensor_nodeid=\"0\" status=\"0\" ztype=\"0\""
         " event=\"0\" eparam_len=\"0\" eparam_type=\"0\" eparam=\"\" /></zwif>"},
        {"alarm parameter kinds: text, a number, a number without bytes", "zwif_alrm", "cmd=2&ifd=" IFD_ALARM,
         "InterfaceAlarmGetResponse",
         reply("{\"alarm_value_list\": [" + with_ext(1, "[97, 32, 60]") + ", " + with_ext(2, "[200, 1]") + ", " +
               with_ext(2, "[]") + "]}"),
         "<intf desc=\"7405829\" deprecated=\"1\">"
         "<alarm update=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"3\" eparam_type=\"1\" eparam=\"a%20&lt;\" />"
         "<alarm update=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"2\" eparam_type=\"2\" eparam=\"200\" />"
         "<alarm update=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"0\" eparam_type=\"2\" eparam=\"\" /></intf>"
         "<zwif desc=\"7405829\">"
         "<alrm utime=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"3\" eparam_type=\"1\" eparam=\"a%20&lt;\" />"
         "<alrm utime=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"2\" eparam_type=\"2\" eparam=\"200\" />"
         "<alrm utime=\"8\" vtype=\"0\" level=\"0\" ext=\"1\" zensor_nodeid=\"0\" status=\"255\" ztype=\"6\""
         " event=\"22\" eparam_len=\"0\" eparam_type=\"2\" eparam=\"\" /></zwif>"},
        {"no alarm entries", "zwif_alrm", "cmd=2&ifd=" IFD_ALARM, "InterfaceAlarmGetResponse",
         reply(R"({"alarm_value_list": []})"),
         "<intf desc=\"7405829\" deprecated=\"1\"></intf><zwif desc=\"7405829\"></zwif>"},
        {"supported types", "zwif_alrm", "cmd=5&ifd=" IFD_ALARM, "InterfaceAlarmTypeSupportedGetResponse",
         reply(R"({"utime": 3, "have_vendor_type": 257, "supported_types": [1, 6, 7]})"),
         "<intf desc=\"7405829\" deprecated=\"1\"><type_sup_alarm update=\"3\" have_vtype=\"1\" list=\"1,6,7,\" />"
         "</intf><zwif desc=\"7405829\"><alrm_sup utime=\"3\" has_vtype=\"1\" list=\"1,6,7,\" /></zwif>"},
        {"supported events, none", "zwif_alrm", "cmd=7&ifd=" IFD_ALARM "&ztype=6",
         "InterfaceAlarmEventSupportedGetResponse",
         reply(R"({"utime": 4, "zwave_alarm_type": 6, "supported_events": []})"),
         "<intf desc=\"7405829\" deprecated=\"1\"><event_sup_alarm update=\"4\" ztype=\"6\" list=\"\" /></intf>"
         "<zwif desc=\"7405829\"><alrm_event_sup utime=\"4\" ztype=\"6\" list=\"\" /></zwif>"},
    };
    zws_test::expect_answers(*ex, cases);
}

} // namespace
