#include "image/load_report.h"

#include <cstdio>
#include <ctime>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/serial_number.h"
#include "os/os_files.h"
#include "text/utf8.h"

std::string FileTimeText(const std::string& path) {
    os_files::FileVersion version;
    if (!os_files::VersionOf(path, version)) {
        return {};
    }
    std::tm local{};
    // Whole seconds, rounded down also before 1970.
    const std::int64_t ns = version.modifiedNs;
    const std::time_t when =
        static_cast<std::time_t>(ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0));
    if (!os_files::LocalTime(when, local)) {
        return {};
    }
    return std::to_string(local.tm_year + 1900) + "-" + std::to_string(local.tm_mon + 1) + "-" +
           std::to_string(local.tm_mday) + " " + std::to_string(local.tm_hour) + ":" +
           std::to_string(local.tm_min) + ":" + std::to_string(local.tm_sec);
}

std::string LogStampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!os_files::LocalTime(now, local))
        local = std::tm{};
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03u > ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<unsigned>(os_files::TickCountMs() % 1000));
    return text;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = os_files::LastSeparator(path);
    return slash == std::string::npos ? std::string() : path.substr(slash + 1);
}

LoadReport SuccessReport(const HexImage& image, const std::string& fileName,
                         const std::string& fileTime) {
    LoadReport report;
    report.valid = true;
    const std::string length = std::to_string(image.end - image.start);
    report.log.push_back({"Open Hex\r\n", kLogBlack, true});
    report.log.push_back({"\t- File Name: " + fileName + "\n", kLogBlack, false});
    report.log.push_back({"\t- Length: " + length + "Bytes (" + Hex04(image.start) + " ~ " +
                              Hex04(image.end - 1) + ")\n",
                          kLogBlack, false});
    report.log.push_back({"\t- Latest Update: " + fileTime + "\n", kLogBlack, false});
    if (image.makerFormat) {
        report.log.push_back({"\t- Format: KAVORN Application Hex File\n", kLogBlack, false});
    }
    if (image.badChecksums > 0) {
        const bool one = image.badChecksums == 1;
        report.log.push_back({"\t- Warning: " + std::to_string(image.badChecksums) +
                                  (one ? " record has" : " records have") +
                                  " a wrong checksum (first on line " +
                                  std::to_string(image.firstBadChecksumLine) + ")\n",
                              kLogRed, false});
    }
    report.lengthLabel = length + " Bytes";
    report.dateLabel = fileTime;
    return report;
}

LoadReport FailureReport(const std::string& status) {
    LoadReport report;
    report.log.push_back({"Open Hex: \r\n", kLogBlack, true});
    report.log.push_back({"\t" + status + "\r\n", kLogRed, false});
    return report;
}

LoadReport LoadImageFile(const std::string& path, HexImage& image, std::string& status) {
    const std::string fileName = FileNameOf(path);
    image.valid = false;
    if (ReadHexFile(path, image, status) == kHexOk) {
        if (CheckImage(image)) {
            image.valid = true;
        } else {
            status = "Error: Code In Reserved Range 0x0000 ~ " + Hex04(kReservedLast);
        }
    }
    LoadReport report =
        image.valid ? SuccessReport(image, fileName, FileTimeText(path)) : FailureReport(status);
    report.fileName = fileName;
    return report;
}
