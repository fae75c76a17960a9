#pragma once

#include <string>
#include <utility>

// What an operation of the core came to, the one convention for its answers: a code the caller
// decides on (its first value, Code{}, is success) and the text that goes with it (the reason
// of a failure, or the status a step left). Nothing is thrown across the layers.
template <class Code>
struct Result {
    Code code{};
    std::string text;

    bool ok() const { return code == Code{}; }
};

// The code of an operation that succeeds or fails, and nothing more.
enum class Done { kOk, kFailed };
using Status = Result<Done>;

inline Status Succeeded() {
    return {};
}
inline Status FailedWith(std::string reason) {
    return {Done::kFailed, std::move(reason)};
}
