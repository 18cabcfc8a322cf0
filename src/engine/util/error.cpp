#include "engine/util/error.hpp"

#include <cstring>

namespace orbisk {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string out = text ? text : "Unknown error";
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

Error Error::os(int err) { return Error{ErrorKind::Os, err, os_error_text(err)}; }

}  // namespace orbisk
