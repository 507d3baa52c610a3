// The interface commands of binary, multilevel and colour switches: form
// pairs in, the frame trellan sends as the protocol decodes it (level-change
// grammars, colour id lists and masks), and replies written by the protocol
// read back into both forms of the answer.
#include "exchange_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Switches : public zws_test::shared_exchange<Switches> {};

using zws_test::k_none;
using zws_test::k_refused;
using zws_test::pairs_case;

// Interface 0x25 / 0x26 / 0x33 of endpoint 0 (byte 1) of node 5.
#define IFD_SWITCH "2425093"
#define IFD_LEVEL "2490629"
#define IFD_COLOR "3342597"

// A level-change stop writes only its flag: the other fields stay as a new
// record has them.
#define LEVEL_STOP                                                                                                    \
    R"({"start_stop": 0, "up_down": 0, "ignore_start_level": 0, "start_level": 0, "dimming_duration": 0, )"           \
    R"("inc_dec": 0, "step_size": 0})"

TEST_F(Switches, BinaryAndMultilevelPairs)
{
    const pairs_case cases[] = {
        {"zwif_switch", "cmd=2&ifd=" IFD_SWITCH, "interface_switch_binary_get", k_none, false},
        {"bin_sw", "cmd=3&ifd=" IFD_SWITCH, "interface_switch_binary_get", k_none, true},
        {"zwif_switch", "cmd=4&ifd=" IFD_SWITCH "&value=255", "interface_switch_binary_set", R"({"value": 255})",
         false},
        {"zwif_switch", "cmd=4&ifd=" IFD_SWITCH, "interface_switch_binary_set", k_refused, false},
        {"zwif_switch", "cmd=4&ifd=" IFD_SWITCH "&value=on", "interface_switch_binary_set", k_refused, false},
        {"zwif_level", "cmd=2&ifd=" IFD_LEVEL, "interface_switch_multilevel_get", k_none, false},
        {"multi_lvl_sw", "cmd=3&ifd=" IFD_LEVEL, "interface_switch_multilevel_get", k_none, true},
        {"zwif_level", "cmd=4&ifd=" IFD_LEVEL "&value=50", "interface_switch_multilevel_set",
         R"({"value": 50, "dimming_duration": -1})", false},
        {"zwif_level", "cmd=4&ifd=" IFD_LEVEL "&value=50&dur=5", "interface_switch_multilevel_set",
         R"({"value": 50, "dimming_duration": 5})", false},
        {"zwif_level", "cmd=4&ifd=" IFD_LEVEL "&dur=5&value=50", "interface_switch_multilevel_set", k_refused, false},
        {"zwif_level", "cmd=4&ifd=" IFD_LEVEL "&value=50&dur=", "interface_switch_multilevel_set", k_refused, false},
        {"zwif_level", "cmd=5&ifd=" IFD_LEVEL, "interface_switch_multilevel_level_change_get", k_none, false},
        {"zwif_level", "cmd=7&ifd=" IFD_LEVEL, "interface_switch_multilevel_supported_get", k_none, false},
        {"zwif_level", "cmd=8&ifd=" IFD_LEVEL, "interface_switch_multilevel_supported_get", k_none, true},
    };
    zws_test::expect_parameters(*ex, cases);
}

TEST_F(Switches, LevelChangeGrammars)
{
#define LC "interface_switch_multilevel_level_change_set"
#define CC "interface_switch_color_level_change_set"
    const pairs_case cases[] = {
        // Multilevel: a stop is its flag alone.
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=0", LC, LEVEL_STOP, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=0&dir=1", LC, LEVEL_STOP, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL, LC, k_refused, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=x", LC, k_refused, false},
        // Any flag but 0 and 1 is refused: the daemon would start a change
        // from fields never given.
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=2", LC, k_refused, false},
        // A start needs its direction and whether to ignore the start level.
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1", LC, k_refused, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=0", LC, k_refused, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&ignore_start_lvl=1&dir=0", LC, k_refused, false},
        // ... and a start level unless it ignores it.
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=0&ignore_start_lvl=0", LC, k_refused, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=0&ignore_start_lvl=0&dur=3", LC, k_refused, false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=0&ignore_start_lvl=1", LC,
         R"({"start_stop": 1, "up_down": 0, "ignore_start_level": 1, "start_level": -1, "dimming_duration": -1, )"
         R"("inc_dec": -1, "step_size": -1})",
         false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=1&ignore_start_lvl=0&start_lvl=20&dur=3&sec=1&step=5",
         LC,
         R"({"start_stop": 1, "up_down": 1, "ignore_start_level": 0, "start_level": 20, "dimming_duration": 3, )"
         R"("inc_dec": 1, "step_size": 5})",
         false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=1&ignore_start_lvl=0&start_lvl=20&step=5", LC,
         R"({"start_stop": 1, "up_down": 1, "ignore_start_level": 0, "start_level": 20, "dimming_duration": -1, )"
         R"("inc_dec": -1, "step_size": 5})",
         false},
        {"zwif_level", "cmd=6&ifd=" IFD_LEVEL "&start_stop=1&dir=1&ignore_start_lvl=1&sec=x", LC, k_refused, false},
        // Colour: the component first, then the flags, each 0 or 1.
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=0", CC,
         R"({"start_stop": 0, "up_down": 0, "ignore_start_level": 0, "id": 2, "start_level": 0, "duration": 0})",
         false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=2", CC, k_refused, false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_start_stop=0", CC, k_refused, false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=0", CC, k_refused, false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=2&color_ignore_start=1", CC,
         k_refused, false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=0&color_ignore_start=3", CC,
         k_refused, false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=1&color_ignore_start=1", CC,
         R"({"start_stop": 1, "up_down": 1, "ignore_start_level": 1, "id": 2, "start_level": -1, "duration": -1})",
         false},
        {"zwif_color", "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=1&color_ignore_start=0", CC,
         k_refused, false},
        {"color_sw",
         "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=0&color_ignore_start=0&color_start_lvl=10"
         "&color_dur=3",
         CC,
         R"({"start_stop": 1, "up_down": 0, "ignore_start_level": 0, "id": 2, "start_level": 10, "duration": 3})",
         false},
        {"zwif_color",
         "cmd=6&ifd=" IFD_COLOR "&color_id=2&color_start_stop=1&color_dir=0&color_ignore_start=1&color_dur=3", CC,
         R"({"start_stop": 1, "up_down": 0, "ignore_start_level": 1, "id": 2, "start_level": -1, "duration": 3})",
         false},
    };
#undef LC
#undef CC
    zws_test::expect_parameters(*ex, cases);
}

TEST_F(Switches, ColourIdListsAndMasks)
{
#define GET "interface_switch_color_get"
#define SET "interface_switch_color_set"
#define CHG "interface_switch_color_level_change_get"
    const pairs_case cases[] = {
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR, GET, R"({"mask": 511})", false},
        {"color_sw", "cmd=3&ifd=" IFD_COLOR "&color_id_list=2,3,4", GET, R"({"mask": 28})", true},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=", GET, R"({"mask": 0})", false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=2,3,4,", GET, R"({"mask": 28})", false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=4,4", GET, R"({"mask": 16})", false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=31", GET, R"({"mask": -2147483648})", false},
        // Nine ids are read; the text after them is not.
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=0,1,2,3,4,5,6,7,8,31", GET, R"({"mask": 511})", false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=8,8,8,8,8,8,8,8,8,x", GET, R"({"mask": 256})", false},
        // An id that has no bit is refused, not folded onto another one.
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=32", GET, k_refused, false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=2,x", GET, k_refused, false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id_list=2,-1", GET, k_refused, false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id=5", GET, R"({"mask": 32})", false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id=32", GET, k_refused, false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&color_id=", GET, k_refused, false},
        {"zwif_color", "cmd=2&ifd=" IFD_COLOR "&x=1&color_id_list=2", GET, R"({"mask": 511})", false},
        // The level-change get takes a list only.
        {"zwif_color", "cmd=5&ifd=" IFD_COLOR "&color_id_list=0,2", CHG, R"({"mask": 5})", false},
        {"zwif_color", "cmd=5&ifd=" IFD_COLOR "&color_id=5", CHG, R"({"mask": 511})", false},
        {"zwif_color", "cmd=5&ifd=" IFD_COLOR "&color_id_list=99", CHG, k_refused, false},
        // Set: ids and values pair up by position.
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2,3,4&color_value_list=10,20,1000", SET,
         R"({"switch_color_set_list": [{"id": 2, "value": 10}, {"id": 3, "value": 20}, {"id": 4, "value": 1000}], )"
         R"("dur": -1})",
         false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2&color_value_list=10&color_dur=5", SET,
         R"({"switch_color_set_list": [{"id": 2, "value": 10}], "dur": 5})", false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2,3,4&color_value_list=10,20", SET, k_refused, false},
        {"zwif_color",
         "cmd=4&ifd=" IFD_COLOR "&color_id_list=0,1,2,3,4,5,6,7,8,9&color_value_list=10,11,12,13,14,15,16,17,18,19",
         SET,
         R"({"switch_color_set_list": [{"id": 0, "value": 10}, {"id": 1, "value": 11}, {"id": 2, "value": 12}, )"
         R"({"id": 3, "value": 13}, {"id": 4, "value": 14}, {"id": 5, "value": 15}, {"id": 6, "value": 16}, )"
         R"({"id": 7, "value": 17}, {"id": 8, "value": 18}], "dur": -1})",
         false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2", SET, k_refused, false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_value_list=10&color_id_list=2", SET, k_refused, false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2&color_value_list=ten", SET, k_refused, false},
        {"zwif_color", "cmd=4&ifd=" IFD_COLOR "&color_id_list=2&color_value_list=10&color_dur=-1", SET, k_refused,
         false},
        {"zwif_color", "cmd=7&ifd=" IFD_COLOR, "interface_switch_color_supported_get", k_none, false},
        {"zwif_color", "cmd=8&ifd=" IFD_COLOR, "interface_switch_color_supported_get", k_none, true},
    };
#undef GET
#undef SET
#undef CHG
    zws_test::expect_parameters(*ex, cases);
}

TEST_F(Switches, RepliesToBothFormsOfTheAnswer)
{
    const std::string command =
        R"("command": {"interface": {"endpoint": {"node": {"network": {"id": "AA"}, "id": 5}, "id": 0}, "id": 51},
                       "passive": false})";
    auto reply = [&](const std::string &parameter) { return "{" + command + ", \"parameter\": " + parameter + "}"; };
    auto supported = [&](const char *mask) { return reply(std::string("{\"utime\": 4, \"mask\": ") + mask + "}"); };
    const zws_test::answer_case cases[] = {
        {"binary switch", "zwif_switch", "cmd=2&ifd=" IFD_SWITCH, "InterfaceValueGetResponse",
         reply(R"({"utime": 42, "value": 255})"),
         "<intf desc=\"2425093\" deprecated=\"1\"><bin_sw update=\"42\" state=\"255\" /></intf>"
         "<zwif desc=\"2425093\"><switch utime=\"42\" state=\"255\" /></zwif>"},
        {"multilevel switch", "zwif_level", "cmd=2&ifd=" IFD_LEVEL, "InterfaceValueGetResponse",
         reply(R"({"utime": 42, "value": 355})"),
         "<intf desc=\"2490629\" deprecated=\"1\"><multi_lvl_sw update=\"42\" state=\"99\" /></intf>"
         "<zwif desc=\"2490629\"><level utime=\"42\" state=\"99\" /></zwif>"},
        {"multilevel level change: no time written", "zwif_level", "cmd=5&ifd=" IFD_LEVEL,
         "InterfaceSwitchMultilevelLevelChangeGetResponse", reply(R"({"utime": 9, "start_stop": 1})"),
         "<intf desc=\"2490629\" deprecated=\"1\"><lvl_chg_multi_lvl_sw status=\"1\" /></intf>"
         "<zwif desc=\"2490629\"><level_change status=\"1\" /></zwif>"},
        {"multilevel supported", "zwif_level", "cmd=7&ifd=" IFD_LEVEL, "InterfaceSwitchMultilevelSupportedGetResponse",
         reply(R"({"utime": 3, "primary_switch_type": 257, "secondary_switch_type": 2})"),
         "<intf desc=\"2490629\" deprecated=\"1\"><sup_multi_lvl_sw update=\"3\" pri_type=\"1\" sec_type=\"2\" />"
         "</intf><zwif desc=\"2490629\"><level_sup utime=\"3\" pri_type=\"1\" sec_type=\"2\" /></zwif>"},
        {"colour values: without a target or a duration the element has neither", "zwif_color",
         "cmd=2&ifd=" IFD_COLOR, "InterfaceSwitchColorGetResponse",
         reply(R"({"switch_color_value_list": [
             {"utime": 1, "id": 2, "cvalue": 255, "tvalue": 128, "dur": 0},
             {"utime": 2, "id": 3, "cvalue": 10, "tvalue": -1, "dur": -1},
             {"utime": 3, "id": 4, "cvalue": 10, "tvalue": 20, "dur": -1}]})"),
         "<intf desc=\"3342597\" deprecated=\"1\">"
         "<color update=\"1\" color_id=\"2\" color_cvalue=\"255\" color_tvalue=\"128\" color_dur=\"0\" />"
         "<color update=\"2\" color_id=\"3\" color_cvalue=\"10\" />"
         "<color update=\"3\" color_id=\"4\" color_cvalue=\"10\" /></intf>"
         "<zwif desc=\"3342597\">"
         "<color utime=\"1\" color_id=\"2\" color_cvalue=\"255\" color_tvalue=\"128\" color_dur=\"0\" />"
         "<color utime=\"2\" color_id=\"3\" color_cvalue=\"10\" />"
         "<color utime=\"3\" color_id=\"4\" color_cvalue=\"10\" /></zwif>"},
        {"no colour values", "zwif_color", "cmd=2&ifd=" IFD_COLOR, "InterfaceSwitchColorGetResponse",
         reply(R"({"switch_color_value_list": []})"),
         "<intf desc=\"3342597\" deprecated=\"1\"></intf><zwif desc=\"3342597\"></zwif>"},
        {"colour level changes: no time written", "zwif_color", "cmd=5&ifd=" IFD_COLOR,
         "InterfaceSwitchColorLevelChangeGetResponse",
         reply(R"({"switch_color_level_change_value_list": [{"utime": 1, "id": 2, "start_stop": 1},
                                                          {"utime": 2, "id": 4, "start_stop": 0}]})"),
         "<intf desc=\"3342597\" deprecated=\"1\"><color_change color_id=\"2\" status=\"1\" />"
         "<color_change color_id=\"4\" status=\"0\" /></intf>"
         "<zwif desc=\"3342597\"><color_change color_id=\"2\" status=\"1\" />"
         "<color_change color_id=\"4\" status=\"0\" /></zwif>"},
        {"colour supported 0x15: a list without a trailing comma", "zwif_color", "cmd=7&ifd=" IFD_COLOR,
         "InterfaceSwitchColorSupportedGetResponse", supported("21"),
         "<intf desc=\"3342597\" deprecated=\"1\"><color_sup update=\"4\" color_sup_list=\"0,2,4\" /></intf>"
         "<zwif desc=\"3342597\"><color_sup utime=\"4\" color_sup_list=\"0,2,4\" /></zwif>"},
        {"colour supported: none", "zwif_color", "cmd=7&ifd=" IFD_COLOR, "InterfaceSwitchColorSupportedGetResponse",
         supported("0"),
         "<intf desc=\"3342597\" deprecated=\"1\"><color_sup update=\"4\" color_sup_list=\"\" /></intf>"
         "<zwif desc=\"3342597\"><color_sup utime=\"4\" color_sup_list=\"\" /></zwif>"},
        {"colour supported: the highest bit", "zwif_color", "cmd=7&ifd=" IFD_COLOR,
         "InterfaceSwitchColorSupportedGetResponse", supported("-2147483647"),
         "<intf desc=\"3342597\" deprecated=\"1\"><color_sup update=\"4\" color_sup_list=\"0,31\" /></intf>"
         "<zwif desc=\"3342597\"><color_sup utime=\"4\" color_sup_list=\"0,31\" /></zwif>"},
        {"colour supported: every bit", "zwif_color", "cmd=7&ifd=" IFD_COLOR,
         "InterfaceSwitchColorSupportedGetResponse", supported("-1"),
         "<intf desc=\"3342597\" deprecated=\"1\"><color_sup update=\"4\" color_sup_list=\""
         "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31\" /></intf>"
         "<zwif desc=\"3342597\"><color_sup utime=\"4\" color_sup_list=\""
         "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31\" /></zwif>"},
        {"colour values read as level changes", "zwif_color", "cmd=2&ifd=" IFD_COLOR,
         "InterfaceSwitchColorLevelChangeGetResponse",
         reply(R"({"switch_color_level_change_value_list": [{"utime": 1, "id": 2, "start_stop": 1}]})"), nullptr},
    };
    zws_test::expect_answers(*ex, cases);
}

} // namespace
