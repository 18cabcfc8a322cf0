// Engine errors are values: every fallible operation returns Result<T> or Status.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace orbisk {

enum class ErrorKind {
    Os,           // an operating-system call failed; `code` holds errno
    InvalidData,  // stored or supplied data is not acceptable; the message says why
    Internal,     // an internal limit was hit (e.g. the grid's 32-bit slot ids)
    Reopen,       // the handle refuses writes: the store must be opened again
    Refused,      // the handle refuses every call: reloading the store found it corrupt
    ReadOnly,     // a write through a handle opened for reading only
};

struct Error {
    ErrorKind kind = ErrorKind::Internal;
    int code = 0;  // errno for ErrorKind::Os, otherwise 0
    std::string message;

    // "{description} (os error {code})" for errno `err`.
    static Error os(int err);
    // An operating-system level failure that has no errno of its own
    // (for instance a write that accepted no bytes).
    static Error os_message(std::string msg) { return Error{ErrorKind::Os, 0, std::move(msg)}; }
    static Error invalid(std::string msg) { return Error{ErrorKind::InvalidData, 0, std::move(msg)}; }
    static Error internal(std::string msg) { return Error{ErrorKind::Internal, 0, std::move(msg)}; }
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// Text of errno `err` as the platform describes it, followed by " (os error N)".
std::string os_error_text(int err);

}  // namespace orbisk
