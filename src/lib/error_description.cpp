// error_description.cpp: error descriptions, from operating-system errors to bad field ranges.
#include "error_description.hpp"

#include <cerrno>
#include <cstring>

#include "escape.hpp"
#include "utf8.hpp"

namespace kelmor {

std::string_view os_error_kind(int code) noexcept {
    switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS:
    case EOPNOTSUPP: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINPROGRESS: return "InProgress";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "QuotaExceeded";
    default: return "Uncategorized";
    }
}

std::string describe_os_error(int code) {
    // g++ defines _GNU_SOURCE, which selects the GNU strerror_r: it returns the text, which
    // may or may not be in the buffer.
    char buffer[256];
    const char *text = ::strerror_r(code, buffer, sizeof(buffer));
    std::string message = utf8::to_lossy(text);
    std::string description = "Os { code: ";
    description += std::to_string(code);
    description += ", kind: ";
    description += os_error_kind(code);
    description += ", message: ";
    description += string_literal(message);
    description += " }";
    return description;
}

std::string describe_long_line(std::size_t limit) {
    return "Error { kind: InvalidData, message: \"line longer than " + std::to_string(limit) +
           " bytes\" }";
}

std::string_view describe_decode_error(DecodeError error) noexcept {
    return error == DecodeError::empty ? "ParseFloatError { kind: Empty }"
                                       : "ParseFloatError { kind: Invalid }";
}

std::string describe_range_error(std::string_view line, std::uint64_t begin, std::uint64_t end) {
    std::string message = "byte index ";
    if (end > line.size()) {
        message += std::to_string(begin > line.size() ? begin : end);
        message += " is out of bounds of ";
    } else {
        // Both ends lie inside the line; report the first that splits a character.
        std::size_t index = static_cast<std::size_t>(end);
        if (begin > 0 && begin < line.size() &&
            !utf8::is_char_boundary(line, static_cast<std::size_t>(begin))) {
            index = static_cast<std::size_t>(begin);
        }
        std::size_t start = index;
        while (start > 0 && !utf8::is_char_boundary(line, start)) --start;
        std::size_t length = 0;
        char32_t character = utf8::decode_at(line, start, length);
        message += std::to_string(index);
        message += " is not a char boundary; it is inside ";
        message += char_literal(character);
        message += " (bytes ";
        message += std::to_string(start);
        message += "..";
        message += std::to_string(start + length);
        message += ") of ";
    }
    // Long lines are shown up to the last character boundary at or before byte 256.
    constexpr std::size_t shown_max = 256;
    std::string_view shown = line;
    bool cut = false;
    if (line.size() > shown_max) {
        std::size_t limit = shown_max;
        while (!utf8::is_char_boundary(line, limit)) --limit;
        shown = line.substr(0, limit);
        cut = true;
    }
    message += '`';
    message += shown;
    message += '`';
    if (cut) message += "[...]";
    return message;
}

} // namespace kelmor
