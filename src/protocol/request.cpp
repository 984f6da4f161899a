#include "protocol/request.hpp"

namespace debrindle {

std::string DecodeError::text() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace debrindle
