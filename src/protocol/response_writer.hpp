#pragma once
// The answer to one server request: one compact JSON object on one line.

#include <optional>
#include <string>

#include "common/buffered_writer.hpp"

namespace debrindle {

struct HelperResponse {
    bool ok = false;
    std::optional<std::string> output;
    std::optional<std::string> error;
};

// Appends the response as `{"ok":..,"output":..,"error":..}` (no line feed).
void append_response_json(std::string& out, const HelperResponse& response);

// Writes the JSON object and one line feed, then flushes the writer so that
// the host sees the line at once.
Result<Done, IoError> write_response_line(BufferedWriter& writer, const HelperResponse& response);

}  // namespace debrindle
