#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/hid_platform.h"

// Forwards to another platform and counts what the port asks of it.
struct CountingPlatform : HidPlatform {
    explicit CountingPlatform(HidPlatform& forward) : real(forward) {}
    std::vector<std::string> EnumerateInterfaces() override {
        ++enumerations;
        return real.EnumerateInterfaces();
    }
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override {
        return real.GetAttributes(path, attributes);
    }
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override {
        opened.push_back(path);
        return real.Open(path, error);
    }

    HidPlatform& real;
    long enumerations = 0;
    std::vector<std::string> opened;  // every path the port tried to open, in order
};
