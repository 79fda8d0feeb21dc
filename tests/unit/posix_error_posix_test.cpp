// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "serial/posix_error.hpp"

namespace portavik {
namespace {

TEST(SerialPosixError, ErrnoMapsToTheLayersKindsAndRussianDescriptions) {
    struct Case {
        int err;
        ErrorKind kind;
        IoKind io_kind;
        // How the description starts; the system's text follows in parentheses.
        std::string_view description;
    };
    const Case cases[] = {
        {ENOENT, ErrorKind::Io, IoKind::NotFound, "устройство не найдено ("},
        {EACCES, ErrorKind::Io, IoKind::PermissionDenied, "нет прав на доступ к порту ("},
        {EPERM, ErrorKind::Io, IoKind::PermissionDenied, "нет прав на доступ к порту ("},
        {EBUSY, ErrorKind::Io, IoKind::ResourceBusy, "порт занят другой программой ("},
        {EWOULDBLOCK, ErrorKind::Io, IoKind::ResourceBusy, ""},
        {ETIMEDOUT, ErrorKind::Io, IoKind::TimedOut, ""},
        {EINTR, ErrorKind::Io, IoKind::Interrupted, ""},
        {ENXIO, ErrorKind::NoDevice, IoKind::Other, "устройство не найдено ("},
        {ENODEV, ErrorKind::NoDevice, IoKind::Other, "устройство не найдено ("},
        {ENOTTY, ErrorKind::InvalidInput, IoKind::Other, "это не последовательный порт ("},
        {EIO, ErrorKind::Io, IoKind::Other, "устройство отключено ("},
        {EINVAL, ErrorKind::InvalidInput, IoKind::Other, ""},
        {ENOMEM, ErrorKind::Unknown, IoKind::Other, ""},
    };
    for (const Case& c : cases) {
        const SerialError error = detail::serial_error_from_errno(c.err);
        EXPECT_EQ(error.kind, c.kind) << "errno " << c.err;
        if (c.kind == ErrorKind::Io) {
            EXPECT_EQ(error.io_kind, c.io_kind) << "errno " << c.err;
        }
        const std::string os_text = detail::os_error_text(c.err);
        EXPECT_TRUE(error.description.starts_with(c.description)) << error.description;
        EXPECT_NE(error.description.find(os_text), std::string::npos) << error.description;
        EXPECT_EQ(detail::io_error_from_errno(c.err).message, error.description);
    }
#if defined(__linux__)
    EXPECT_NE(detail::serial_error_from_errno(EACCES).description.find("dialout"),
              std::string::npos);
#endif
    EXPECT_EQ(detail::serial_error_from_errno(EINVAL, "устройство отказалось").description,
              "устройство отказалось (Invalid argument)");

    EXPECT_EQ(detail::io_error_from_errno(EAGAIN).kind, IoKind::WouldBlock);
    EXPECT_EQ(detail::io_error_from_errno(EPIPE).kind, IoKind::BrokenPipe);
    EXPECT_EQ(detail::io_error_from_errno(ETIMEDOUT).kind, IoKind::TimedOut);
    EXPECT_EQ(detail::io_error_from_errno(ENOMEM).kind, IoKind::Other);
    EXPECT_TRUE(detail::errno_means_disconnected(EIO));
    EXPECT_TRUE(detail::errno_means_disconnected(ENXIO));
    EXPECT_FALSE(detail::errno_means_disconnected(EAGAIN));
    EXPECT_FALSE(detail::errno_means_disconnected(EINTR));
}

}  // namespace
}  // namespace portavik
