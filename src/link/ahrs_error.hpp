#pragma once
// The one error type that reaches Python callers: a single descriptive text.

#include <string>

namespace tiltwick {

struct AHRSError {
    std::string error;

    // "AHRSError: " and the text: the message of the Python exception.
    std::string display() const { return "AHRSError: " + error; }
    // AHRSError { error: "<text with escapes>" }
    std::string debug() const;
};

}  // namespace tiltwick
