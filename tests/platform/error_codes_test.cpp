#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/last_error.h"

namespace morvex::platform {
namespace {

TEST(ErrorCodes, WinsockCodesKeepTheirValuesNamesAndTexts) {
    EXPECT_EQ(10035u, WSAEWOULDBLOCK);
    EXPECT_STREQ("WSAECONNABORTED", ErrorName(10053));
    EXPECT_EQ("An existing connection was forcibly closed by the remote host.", ErrorText(10054));
    EXPECT_EQ("No connection could be made because the target machine actively refused it.", ErrorText(10061));
    EXPECT_EQ("This operation returned because the timeout period expired.", ErrorText(1460));
}

TEST(ErrorCodes, OtherCodesComeFromTheCLibraryOrTheDecodeFailureText) {
    EXPECT_EQ("No such file or directory", ErrorText(ENOENT));
    EXPECT_EQ("FormatMessage was unable to decode error (123456), (0x1e240)", ErrorText(123456));
    EXPECT_EQ(nullptr, ErrorName(123456));
}

TEST(ErrorCodes, BufferFormTruncatesAndTerminates) {
    char buf[8];
    EXPECT_EQ(7u, ErrorText(10054, buf, sizeof buf));
    EXPECT_STREQ("An exis", buf);
}

TEST(ErrorCodes, ErrnoMapsToWinsockCodes) {
    EXPECT_EQ(WSAEWOULDBLOCK, WinsockErrorFromErrno(EAGAIN));
    EXPECT_EQ(WSAECONNRESET, WinsockErrorFromErrno(ECONNRESET));
    EXPECT_EQ(WSAECONNREFUSED, WinsockErrorFromErrno(ECONNREFUSED));
    EXPECT_EQ(WSAEADDRINUSE, WinsockErrorFromErrno(EADDRINUSE));
}

TEST(LastError, IsPerThread) {
    SetLastError(10054);
    std::thread([] {
        EXPECT_EQ(0u, GetLastError());
        WSASetLastError(10035);
        EXPECT_EQ(10035, WSAGetLastError());
    }).join();
    EXPECT_EQ(10054u, GetLastError());
    {
        LastErrorSaver saver;
        SetLastError(1);
    }
    EXPECT_EQ(10054u, GetLastError());
}

}  // namespace
}  // namespace morvex::platform
