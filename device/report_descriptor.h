#pragma once

#include <cstdint>
#include <span>

#include "device/hid_platform.h"

// The report lengths a HID report descriptor declares, as the Windows capabilities give them:
// for each report type, the largest report in bytes plus one for the report-id byte (counted even
// when the device uses no report ids); 0 for a type without reports. Reads any bytes: a truncated
// item ends the walk, sizes and counts are summed in 64 bits and capped.
HidCaps ParseReportDescriptor(std::span<const std::uint8_t> descriptor);
