// test_error_description.cpp: operating-system error kinds and descriptions.
#include <cerrno>

#include "error_description.hpp"
#include "test_support.hpp"

namespace kelmor {
namespace {

TEST(ErrorDescription, KindOfEveryNamedErrorNumber) {
    struct Row {
        int code;
        const char *kind;
    };
    const Row rows[] = {
        {1, "PermissionDenied"},
        {13, "PermissionDenied"},
        {2, "NotFound"},
        {4, "Interrupted"},
        {7, "ArgumentListTooLong"},
        {11, "WouldBlock"},
        {12, "OutOfMemory"},
        {16, "ResourceBusy"},
        {17, "AlreadyExists"},
        {18, "CrossesDevices"},
        {20, "NotADirectory"},
        {21, "IsADirectory"},
        {22, "InvalidInput"},
        {26, "ExecutableFileBusy"},
        {27, "FileTooLarge"},
        {28, "StorageFull"},
        {29, "NotSeekable"},
        {30, "ReadOnlyFilesystem"},
        {31, "TooManyLinks"},
        {32, "BrokenPipe"},
        {35, "Deadlock"},
        {36, "InvalidFilename"},
        {38, "Unsupported"},
        {95, "Unsupported"},
        {39, "DirectoryNotEmpty"},
        {40, "FilesystemLoop"},
        {98, "AddrInUse"},
        {99, "AddrNotAvailable"},
        {100, "NetworkDown"},
        {101, "NetworkUnreachable"},
        {103, "ConnectionAborted"},
        {104, "ConnectionReset"},
        {107, "NotConnected"},
        {110, "TimedOut"},
        {111, "ConnectionRefused"},
        {113, "HostUnreachable"},
        {115, "InProgress"},
        {116, "StaleNetworkFileHandle"},
        {122, "QuotaExceeded"},
        {0, "Uncategorized"},
        {5, "Uncategorized"},
        {9, "Uncategorized"},
        {75, "Uncategorized"},
        {200, "Uncategorized"},
        {-1, "Uncategorized"},
    };
    for (const Row &row : rows) EXPECT_EQ(os_error_kind(row.code), row.kind) << row.code;
}

TEST(ErrorDescription, OsErrorShowsCodeKindAndQuotedMessage) {
    EXPECT_EQ(describe_os_error(ENOENT),
              "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(describe_os_error(EACCES),
              "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }");
    EXPECT_EQ(describe_os_error(5),
              "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }");
    EXPECT_EQ(describe_os_error(4242),
              "Os { code: 4242, kind: Uncategorized, message: \"Unknown error 4242\" }");
}

TEST(ErrorDescription, DecodeErrors) {
    EXPECT_EQ(describe_decode_error(DecodeError::empty), "ParseFloatError { kind: Empty }");
    EXPECT_EQ(describe_decode_error(DecodeError::invalid), "ParseFloatError { kind: Invalid }");
}

} // namespace
} // namespace kelmor
