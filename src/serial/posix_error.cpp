// SPDX-License-Identifier: MIT

#include "serial/posix_error.hpp"

#include <cerrno>
#include <system_error>

#include "serial/error_texts.hpp"

namespace portavik::detail {

namespace {

SerialError io_kind(IoKind kind) {
    return SerialError{ErrorKind::Io, kind, {}};
}

SerialError kind_of(int err) {
    switch (err) {
        case ENOENT:
            return io_kind(IoKind::NotFound);
        case EACCES:
        case EPERM:
            return io_kind(IoKind::PermissionDenied);
        case EBUSY:
            return io_kind(IoKind::ResourceBusy);
        case ETIMEDOUT:
            return io_kind(IoKind::TimedOut);
        case EINTR:
            return io_kind(IoKind::Interrupted);
        case EIO:
            return io_kind(IoKind::Other);
        case ENXIO:
        case ENODEV:
            return SerialError{ErrorKind::NoDevice, IoKind::Other, {}};
        case EINVAL:
        case ENOTTY:
            return SerialError{ErrorKind::InvalidInput, IoKind::Other, {}};
        default:
            break;
    }
    // EAGAIN and EWOULDBLOCK may be one value, so they cannot both be case labels.
    if (err == EWOULDBLOCK || err == EAGAIN) {
        return io_kind(IoKind::ResourceBusy);
    }
    return SerialError{ErrorKind::Unknown, IoKind::Other, {}};
}

// Where the system's text alone would not tell the user what happened, the
// Russian description comes first and the system's text follows it.
std::string describe_errno(int err) {
    const std::string os_text = os_error_text(err);
    switch (err) {
        case EACCES:
        case EPERM:
#if defined(__linux__)
            // Serial devices belong to the group dialout on Debian and its kin.
            return describe_failure(Failure::NoPermission, os_text,
                                    "Добавьте пользователя в группу dialout "
                                    "(sudo usermod -aG dialout $USER) и войдите в систему заново");
#else
            return describe_failure(Failure::NoPermission, os_text);
#endif
        case EBUSY:
            return describe_failure(Failure::Busy, os_text);
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return describe_failure(Failure::NoDevice, os_text);
        case ENOTTY:
            return describe_failure(Failure::NotASerialLine, os_text);
        case EIO:
            return describe_failure(Failure::Disconnected, os_text);
        default:
            return os_text;
    }
}

}  // namespace

std::string os_error_text(int err) {
    return std::system_category().message(err);
}

SerialError serial_error_from_errno(int err) {
    SerialError error = kind_of(err);
    error.description = describe_errno(err);
    return error;
}

SerialError serial_error_from_errno(int err, std::string_view what) {
    SerialError error = kind_of(err);
    error.description = std::string(what) + " (" + os_error_text(err) + ")";
    return error;
}

IoError io_error_from_errno(int err) {
    IoKind kind = IoKind::Other;
    switch (err) {
        case ENOENT:
            kind = IoKind::NotFound;
            break;
        case EACCES:
        case EPERM:
            kind = IoKind::PermissionDenied;
            break;
        case ETIMEDOUT:
            kind = IoKind::TimedOut;
            break;
        case EINTR:
            kind = IoKind::Interrupted;
            break;
        case EINVAL:
            kind = IoKind::InvalidInput;
            break;
        case EPIPE:
            kind = IoKind::BrokenPipe;
            break;
        case EBUSY:
            kind = IoKind::ResourceBusy;
            break;
        default:
            if (err == EAGAIN || err == EWOULDBLOCK) {
                kind = IoKind::WouldBlock;
            }
            break;
    }
    return IoError{kind, describe_errno(err)};
}

bool errno_means_disconnected(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

}  // namespace portavik::detail
