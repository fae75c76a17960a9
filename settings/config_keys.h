#pragma once

#include <cstdint>

// config.ini's section, its keys and their defaults: the one place every front end and the
// station take them from.
namespace config_keys {

inline constexpr const char* kSection = "SETTING";

// The bootloader's identifiers, as four hexadecimal digits.
inline constexpr const char* kVid = "m_strVID_bt";
inline constexpr const char* kPid = "m_strPID_bt";
inline constexpr const char* kDefaultVidText = "2156";
inline constexpr const char* kDefaultPidText = "C001";
inline constexpr std::uint16_t kDefaultVid = 0x2156;
inline constexpr std::uint16_t kDefaultPid = 0xC001;

// The HEX file, and whether a download loads it again.
inline constexpr const char* kHexPath = "m_strPath_flash";
inline constexpr const char* kAutoReload = "AutoReload";
inline constexpr int kDefaultAutoReload = 0;

// The serial-number plan.
inline constexpr const char* kAutoSn = "AutoSN";
inline constexpr const char* kSnAddress = "SN_StartAddr";
inline constexpr const char* kSnValue = "SN_Current";
inline constexpr const char* kSnBytes = "SN_Bytes";
inline constexpr const char* kSnStep = "SN_Step";
inline constexpr int kDefaultAutoSn = 0;
inline constexpr const char* kDefaultSnAddress = "0";
inline constexpr const char* kDefaultSnValue = "0";
inline constexpr int kDefaultSnBytes = 1;
inline constexpr int kDefaultSnStep = 1;

// The production mode: whether it is on, the approved release (the SHA-256 of its file's bytes,
// and the file's name when it was approved), the supervisor's passphrase (its salted slow hash
// only), when the operator's shift began (UTC), and the operator's badge typed at its start.
inline constexpr const char* kProductionMode = "ProductionMode";
inline constexpr const char* kApprovedSha256 = "ApprovedSha256";
inline constexpr const char* kApprovedFile = "ApprovedFile";
inline constexpr const char* kSupervisorHash = "SupervisorHash";
inline constexpr const char* kShiftStart = "ShiftStart";
inline constexpr const char* kOperatorBadge = "OperatorBadge";

}  // namespace config_keys
