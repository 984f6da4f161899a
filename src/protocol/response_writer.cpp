#include "protocol/response_writer.hpp"

#include <string_view>

namespace debrindle {
namespace {

// Bytes are copied unchanged except the quote, the backslash and the control
// bytes 00..1F, so multi-byte UTF-8 characters, "/" and 7F pass as they are.
void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text, run_start, i - run_start);
        run_start = i + 1;
        switch (byte) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case 0x08: out.append("\\b"); break;
            case 0x09: out.append("\\t"); break;
            case 0x0A: out.append("\\n"); break;
            case 0x0C: out.append("\\f"); break;
            case 0x0D: out.append("\\r"); break;
            default:
                out.append("\\u00");
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 0x0F]);
        }
    }
    out.append(text, run_start, text.size() - run_start);
    out.push_back('"');
}

void append_optional_string(std::string& out, const std::optional<std::string>& text) {
    if (text) {
        append_json_string(out, *text);
    } else {
        out.append("null");
    }
}

}  // namespace

void append_response_json(std::string& out, const HelperResponse& response) {
    out.append(response.ok ? "{\"ok\":true,\"output\":" : "{\"ok\":false,\"output\":");
    append_optional_string(out, response.output);
    out.append(",\"error\":");
    append_optional_string(out, response.error);
    out.push_back('}');
}

Result<Done, IoError> write_response_line(BufferedWriter& writer, const HelperResponse& response) {
    std::string line;
    append_response_json(line, response);
    line.push_back('\n');
    auto written = writer.write(line);
    if (!written) return written;
    return writer.flush();
}

}  // namespace debrindle
