// Golden report frames: at least one valid frame of every (class, report
// command) that the report dispatcher has a row for, written from the
// published command-class layouts. The parse tests check that each parses
// and that no row lacks one; the report fuzz target starts from them (every
// prefix of each, and as its seed corpus).
#pragma once

#include <cstdint>
#include <vector>

namespace rpt_golden {

inline const std::vector<std::vector<uint8_t>> &frames()
{
    static const std::vector<std::vector<uint8_t>> all = {
        // --- Basic, Binary Switch, Battery ---
        {0x20, 0x03, 0x63},                                                      // Basic Report 99
        {0x20, 0x03, 0xFF, 0x00, 0x05},                                          // Basic Report v2
        {0x25, 0x03, 0xFF},                                                      // Binary Switch Report
        {0x80, 0x03, 0x5A},                                                      // Battery 90 %
        // --- switches, sensors, meters, notifications ---
        {0x26, 0x03, 0x10, 0x63, 0x05},                                          // Multilevel Switch Report v4
        {0x26, 0x07, 0x02, 0x03},                                                // Multilevel Switch Supported
        {0x30, 0x03, 0xFF, 0x0C},                                                // Binary Sensor v2
        {0x30, 0x04, 0x06, 0x01},                                                // Binary Sensor Supported
        {0x31, 0x02, 0x05, 0x80},                                                // Multilevel Sensor Supported
        {0x31, 0x05, 0x01, 0x22, 0x00, 0xFA},                                    // air temperature 25.0
        {0x31, 0x05, 0x03, 0x4C, 0xFF, 0xFF, 0xFE, 0x0C},                        // four-byte value
        {0x31, 0x06, 0x01, 0x03},                                                // Supported Scale
        {0x32, 0x02, 0xA1, 0x64, 0x00, 0x00, 0x30, 0x39, 0x00, 0x3C, 0x00, 0x00, 0x30, 0x00},  // Meter v3
        {0x32, 0x04, 0x81, 0x0F},                                                // Meter Supported
        {0x33, 0x02, 0x1C, 0x00},                                                // Color Supported
        {0x33, 0x04, 0x03, 0x10, 0x80, 0x05},                                    // Color Report v3
        {0x35, 0x05, 0x00, 0x01, 0x02, 0x03},                                    // Pulse Meter
        {0x3D, 0x02, 0x03, 'A', 'B', 'C'},                                       // Meter Table Admin Number
        {0x3D, 0x04, 0x05, 'M', 'T', 'R', '0', '1'},                             // Meter Table Id
        {0x66, 0x03, 0xFC},                                                      // Barrier closing
        {0x66, 0x05, 0xFF, 0xFF, 0xFF, 0xFF},                                    // Barrier Signal Supported
        {0x66, 0x08, 0x02, 0xFF},                                                // Barrier Signal
        {0x71, 0x02, 0x06, 0x01, 0x66},                                          // Event Supported
        {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, 0x06, 0x03, 0x63, 0x03, 0x05},  // Notification v8
        {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x01, 0x86, 0x77, 0x06, 0x02, 0x00, 'H', 0x00, 'i', 0x2A},
        {0x71, 0x08, 0x82, 0x60, 0x01},                                          // Notification Supported
        {0x9C, 0x02, 0x07, 0x01, 0xFF, 0x00, 0x1E},                              // Sensor Alarm
        {0x9C, 0x04, 0x01, 0x05},                                                // Sensor Alarm Supported
        // --- thermostats, locks, scenes, user interaction ---
        {0x22, 0x01, 0x01, 0x0A},                                                // Application Busy
        {0x22, 0x02, 0x00},                                                      // Application Rejected
        {0x40, 0x03, 0x01},                                                      // Thermostat Mode heat
        {0x40, 0x05, 0x07, 0x02},                                                // Thermostat Mode Supported
        {0x42, 0x03, 0x01},                                                      // Operating State heating
        {0x43, 0x03, 0x01, 0x22, 0x00, 0xFA},                                    // Setpoint 25.0
        {0x43, 0x05, 0xFE, 0xFF, 0x01},                                          // Setpoint Supported
        {0x43, 0x0A, 0x01, 0x21, 0x32, 0x22, 0x01, 0x2C},                        // Setpoint Capabilities
        {0x44, 0x03, 0x81},                                                      // Fan Mode, off
        {0x44, 0x05, 0x0F},                                                      // Fan Mode Supported
        {0x45, 0x03, 0x01},                                                      // Fan State running
        {0x46, 0x03, 0x01, 0x06, 0x1E, 0x00, 0x08, 0x00, 0xFC, 0x16, 0x00, 0x7A, 0x00, 0x00, 0x7F, 0x17,
         0x00, 0x79, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F},  // Schedule
        {0x46, 0x05, 0x2A},                                                      // Schedule Changed
        {0x46, 0x08, 0x02, 0x7A},                                                // Schedule Override
        {0x47, 0x03, 0x01, 0xEC},                                                // Setback
        {0x5B, 0x02, 0x02, 0x02, 0x01, 0x05},                                    // Central Scene Supported
        {0x5B, 0x03, 0x11, 0x82, 0x01},                                          // Central Scene Notification
        {0x5B, 0x06, 0x80},                                                      // Central Scene Configuration
        {0x62, 0x03, 0xFF, 0x31, 0x02, 0xFE, 0xFE, 0xFF, 0x00},                  // Door Lock Operation v3
        {0x62, 0x06, 0x02, 0x10, 0x05, 0x1E},                                    // Door Lock Configuration
        {0x63, 0x03, 0x04, 0x01, '1', '2', '3', '4', '5', '6'},                  // User Code
        {0x63, 0x05, 0x0A},                                                      // Users Number
        {0x75, 0x03, 0x02, 0x01},                                                // Protection v2
        {0x75, 0x05, 0x03, 0x07, 0x00, 0x03, 0x80},                              // Protection Supported
        {0x75, 0x08, 0x01},                                                      // Exclusive Control
        {0x75, 0x0B, 0x3C},                                                      // Protection Timeout
        {0x81, 0x06, 0x4D, 0x2D},                                                // Clock
        {0x87, 0x03, 0x63},                                                      // Indicator
        // --- association, identification, wake-up, firmware, gateway ---
        {0x59, 0x02, 0x01, 0x08, 'L', 'i', 'f', 'e', 'L', 'i', 'n', 'e'},        // AGI Name
        {0x59, 0x04, 0x42, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x20, 0x01, 0x00, 0x00,
         0x05},                                                                  // AGI Info
        {0x59, 0x06, 0x02, 0x07, 0x20, 0x01, 0x26, 0x04, 0xF1, 0x02, 0x03},      // AGI Command List
        {0x5C, 0x03, 0x01, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1, 0x00,
         0x00},                                                                  // IP Association 1 of 1
        {0x5E, 0x02, 0x02, 0x05, 0x00, 0x07, 0x00, 0x07, 0x01},                  // Z-Wave Plus Info
        {0x5F, 0x03, 0x01},                                                      // Gateway Mode stand-alone
        {0x5F, 0x06, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 0, 1, 0x04, 0x4C, 0x04,
         'p', 'o', 'r', 't'},                                                    // Peer Report
        {0x5F, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 9, 0x10, 0x1B},  // Unsolicited Dest.
        {0x60, 0x05, 0x25, 0x02},                                                // Multi Instance
        {0x60, 0x08, 0x40, 0x83, 0x01},                                          // End Point
        {0x60, 0x0A, 0x82, 0x10, 0x01, 0x25, 0x32, 0xF1, 0x00, 0x26},            // Capability
        {0x60, 0x0F, 0x04, 0x01, 0x05},                                          // Aggregated Members
        {0x61, 0x02, 0x01},                                                      // Portal Configuration Status
        {0x61, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 2, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0,
         0, 0xFF, 0xFF, 10, 1, 1, 1, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 1, 0xFD, 0x00,
         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},                              // Portal Configuration
        {0x69, 0x03, 0x1A, 0x00, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 5, 0x10, 0x1B},  // Mailbox
        {0x70, 0x06, 0x0D, 0x02, 0x01, 0x2C},                                    // Configuration
        {0x72, 0x05, 0x00, 0x86, 0x00, 0x03, 0x00, 0x60},                        // Manufacturer Specific
        {0x72, 0x07, 0x01, 0x24, 0xDE, 0xAD, 0xBE, 0xEF},                        // Device Specific
        {0x73, 0x03, 0x02, 0x3C},                                                // Powerlevel
        {0x73, 0x06, 0x05, 0x01, 0x01, 0x02},                                    // Powerlevel Test Node
        {0x77, 0x03, 0x00, 'l', 'a', 'm', 'p'},                                  // Node Name
        {0x77, 0x06, 0x01, 'h', 'a', 'l', 'l'},                                  // Node Location
        {0x7A, 0x02, 0x00, 0x86, 0x00, 0x12, 0xAB, 0xCD},                        // Firmware Meta Data
        {0x7A, 0x04, 0xFF},                                                      // Firmware Request
        {0x7A, 0x05, 0x02, 0x80, 0x05},                                          // Firmware Meta Data Get
        {0x7A, 0x07, 0xFF, 0x00, 0x1E},                                          // Firmware Status
        {0x84, 0x06, 0x00, 0x0E, 0x10, 0x01},                                    // Wake Up Interval
        {0x84, 0x0A, 0x00, 0x01, 0x2C, 0x01, 0x51, 0x80, 0x00, 0x0E, 0x10, 0x00, 0x00, 0x3C},  // Capabilities
        {0x85, 0x03, 0x01, 0x05, 0x00, 0x02, 0x03},                              // Association
        {0x85, 0x06, 0x04},                                                      // Association Groupings
        {0x85, 0x0C, 0x02},                                                      // Specific Group
        {0x86, 0x12, 0x03, 0x07, 0x0D, 0x01, 0x02, 0x05, 0x02, 0x02, 0x00, 0x03, 0x01},  // Version v3
        {0x86, 0x14, 0x25, 0x02},                                                // Class Version
        {0x8E, 0x03, 0x01, 0x04, 0x00, 0x02, 0x00, 0x05, 0x83},                  // Multi Channel Association
        {0x8E, 0x06, 0x03},                                                      // MC Association Groupings
        {0x94, 0x03, 0x01},                                                      // Simple AV Report
        {0x94, 0x05, 0x01, 0x01, 0x80},                                          // Simple AV Supported
        {0x98, 0x03, 0x00, 0x25, 0x26, 0xEF, 0x20},                              // Security Commands Supported
        {0x9B, 0x02, 0x2B, 0x00, 0x04, 0x00, 0x08},                              // Command Records Supported
        {0x9B, 0x05, 0x01, 0x05, 0x00, 0x03, 0x25, 0x01, 0xFF},                  // Command Configuration
        {0x9F, 0x0E, 0x62, 0x63},                                                // Security 2 Commands Supported
    };
    return all;
}

}  // namespace rpt_golden
