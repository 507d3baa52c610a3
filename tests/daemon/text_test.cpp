#include "daemon/zwp_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

struct number_case {
    int number;
    const char *text;
};

TEST(TextTables, StatusTexts)
{
    const std::vector<number_case> cases{
        {2, "Data is available in cache"},
        {1, "The command is queued"},
        {0, "Operation succeeded"},
        {-1, "Operation failed"},
        {-10, "Wrong interface"},
        {-38, "Timeout"},
        {-58, "The operation is disallowed under certain circumstances"},
        // The gap the library never uses, and both ends beyond the table.
        {-2, "Unknown"},
        {-5, "Unknown"},
        {-9, "Unknown"},
        {-59, "Unknown"},
        {3, "Unknown"},
        {INT_MIN, "Unknown"},
        {INT_MAX, "Unknown"},
    };
    for (const number_case &c : cases)
        EXPECT_STREQ(zwp_err_str(c.number), c.text) << c.number;

    int known = 0;
    for (int code = -200; code <= 200; ++code)
        known += std::strcmp(zwp_err_str(code), "Unknown") != 0;
    EXPECT_EQ(known, 53);
}

TEST(TextTables, OperationNamesAndFinalStatus)
{
    const std::vector<number_case> ops{
        {0, "None"},
        {1, "Initialize"},
        {11, "Assign role"},
        {12, "Unknown"},
        {13, "Update node"},
        {19, "Firmware update"},
        {20, "Unknown"},
        {255, "Unknown"},
        {-1, "Unknown"},
        // Not cut to 8 bits: 257 is not operation 1.
        {257, "Unknown"},
    };
    for (const number_case &c : ops)
        EXPECT_STREQ(zwp_net_op_str(c.number), c.text) << c.number;

    const std::vector<number_case> finals{
        {0, "Done"}, {255, "Failed"}, {1, "Unknown"}, {254, "Unknown"}, {-1, "Unknown"}, {256, "Unknown"},
    };
    for (const number_case &c : finals)
        EXPECT_STREQ(zwp_net_op_sts_str(c.number), c.text) << c.number;
}

TEST(TextTables, ProgressTexts)
{
    struct progress_case {
        int op;
        int status;
        const char *text;
    };
    const std::vector<progress_case> cases{
        {2, 3, "Protocol part of adding node started"},
        {2, 12, "Security 2 inclusion - dsk ready"},
        {2, 2, "Getting node detailed information"},
        {4, 1, "Protocol part of replacing node done"},
        {6, 11, "Security 2 initiate - self dsk ready"},
        {7, 3, "Node information update started"},
        // A status of another operation's block, an operation without one,
        // and the final status 0, which is not a progress step.
        {4, 3, "Unknown"},
        {6, 12, "Unknown"},
        {3, 1, "Unknown"},
        {1, 1, "Unknown"},
        {2, 0, "Unknown"},
        {7, 4, "Unknown"},
        {258, 3, "Unknown"},
    };
    for (const progress_case &c : cases)
        EXPECT_STREQ(zwp_net_op_sub_sts_str(c.op, c.status), c.text) << c.op << "/" << c.status;
}

TEST(TextTables, KeyBits)
{
    struct key_case {
        unsigned bits;
        size_t size;
        const char *text;
    };
    const std::vector<key_case> cases{
        {0x05, 64, "Proxy,Primary"},
        {0x07, 64, "Proxy,Inclusion,Primary"},
        {0x02, 64, "Inclusion"},
        {0x00, 64, ""},
        {0xF8, 64, ""}, // bits without a name
        {0x07, 24, "Proxy,Inclusion,Primary"}, // exactly fits
        {0x07, 23, "Proxy,Inclusion,Primar"},
        {0x07, 6, "Proxy"},
        {0x07, 7, "Proxy,"},
        {0x07, 1, ""},
    };
    for (const key_case &c : cases) {
        // A guard byte behind the given size catches any write past it.
        std::vector<char> buffer(c.size + 1, '#');
        const char *text = zwp_key_bits_str(c.bits, buffer.data(), c.size);
        EXPECT_EQ(text, buffer.data());
        EXPECT_STREQ(text, c.text) << c.bits << " in " << c.size;
        EXPECT_EQ(buffer[c.size], '#') << c.bits << " in " << c.size;
    }

    char untouched = '#';
    EXPECT_STREQ(zwp_key_bits_str(0x07, &untouched, 0), "");
    EXPECT_EQ(untouched, '#');
    EXPECT_STREQ(zwp_key_bits_str(0x07, nullptr, 16), "");
}

TEST(TextTables, CommandClassNames)
{
    struct cc_case {
        uint16_t cls;
        uint8_t version;
        const char *name;
    };
    const std::vector<cc_case> cases{
        {0x60, 1, "COMMAND_CLASS_MULTI_INSTANCE"},
        {0x60, 0, "COMMAND_CLASS_MULTI_INSTANCE"},
        {0x60, 2, "COMMAND_CLASS_MULTI_CHANNEL"},
        {0x60, 3, "COMMAND_CLASS_MULTI_CHANNEL"},
        {0x8E, 1, "COMMAND_CLASS_MULTI_INSTANCE_ASSOCIATION"},
        {0x8E, 2, "COMMAND_CLASS_MULTI_CHANNEL_ASSOCIATION"},
        {0x71, 1, "COMMAND_CLASS_ALARM"},        // first row
        {0x5E, 2, "COMMAND_CLASS_ZWAVEPLUS_INFO"}, // last row
        {0x00, 1, "COMMAND_CLASS_NO_OPERATION"},
        {0xEF, 1, "COMMAND_CLASS_MARK"},
        {0x25, 1, "COMMAND_CLASS_SWITCH_BINARY"},
        {0x33, 3, "COMMAND_CLASS_SWITCH_COLOR"},
        {0x9F, 1, "Unknown"},
        {0xFF, 1, "Unknown"},
        // 16-bit ids are not cut to their low byte.
        {0x0125, 1, "Unknown"},
        {0xF100, 1, "Unknown"},
    };
    for (const cc_case &c : cases)
        EXPECT_STREQ(zwp_cc_name_get(c.cls, c.version), c.name) << std::hex << c.cls;

    // 114 rows, two of them repeats; every name is a class constant.
    std::set<uint32_t> known;
    for (uint32_t cls = 0; cls <= 0xFFFF; ++cls) {
        const std::string name = zwp_cc_name_get(static_cast<uint16_t>(cls), 2);
        if (name == "Unknown")
            continue;
        known.insert(cls);
        EXPECT_TRUE(name.starts_with("COMMAND_CLASS_")) << name;
    }
    EXPECT_EQ(known.size(), 112u);
}

TEST(TextTables, CommandNames)
{
    struct cmd_case {
        uint16_t cls;
        uint8_t cmd;
        const char *name;
    };
    const std::vector<cmd_case> cases{
        {0x25, 0x01, "SWITCH_BINARY_SET"},
        {0x85, 0x01, "ASSOCIATION_SET"},
        {0x85, 0x06, "ASSOCIATION_GROUPINGS_REPORT"},
        {0x85, 0x07, "Unknown"},
        {0x20, 0x03, "BASIC_REPORT"},
        {0x60, 0x0D, "MULTI_CHANNEL_CMD_ENCAP"},
        {0x98, 0xC1, "SECURITY_MESSAGE_ENCAPSULATION_NONCE_GET"},
        {0x5E, 0x02, "ZWAVEPLUS_INFO_REPORT"},
        {0x33, 0x05, "SWITCH_COLOR_SET"},
        {0x5B, 0x03, "CENTRAL_SCENE_NOTIFICATION"},
        // Id 0 ends every command list, so it never names a command.
        {0x00, 0x00, "Unknown"},
        {0x20, 0x00, "Unknown"},
        // Classes without commands, unknown classes, unknown ids.
        {0x91, 0x01, "Unknown"},
        {0xEF, 0x01, "Unknown"},
        {0x9F, 0x01, "Unknown"},
        {0x0125, 0x01, "Unknown"},
        {0x20, 0xFF, "Unknown"},
    };
    for (const cmd_case &c : cases)
        EXPECT_STREQ(zwp_cmd_name_get(c.cls, c.cmd), c.name) << std::hex << c.cls << "/" << int(c.cmd);
}

} // namespace
