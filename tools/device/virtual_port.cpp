// SPDX-License-Identifier: MIT

#include "virtual_port.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

namespace portavik::device {

namespace {

constexpr int kMaxLinkNumber = 100;
constexpr std::string_view kLinkStem = "/dev/ttyV";

std::string system_text(int err) {
    return std::strerror(err);
}

std::optional<unsigned> id_from_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::string_view view(text);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc{} || end != view.data() + view.size()) {
        return std::nullopt;
    }
    return value;
}

std::string own_path() {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : "portavik-device";
}

std::string no_right_message(const std::string& link, int err) {
    const std::string self = own_path();
    return "нет права создать ссылку " + link + " (" + system_text(err) +
           "): запустите от root или через sudo (sudo " + self +
           "), либо дайте право один раз: sudo setcap cap_dac_override+ep " + self;
}

bool is_permission_error(int err) {
    return err == EACCES || err == EPERM || err == EROFS;
}

// Raw 8N1 so that nothing echoes or rewrites bytes before a program opens
// the port and sets its own mode; the slave's owner and mode as the user who
// started the program (under sudo, the user sudo was called by).
std::expected<void, std::string> prepare_slave(const std::string& slave) {
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::unexpected("не удалось открыть " + slave + " (" + system_text(errno) + ")");
    }
    std::string failure;
    termios attrs{};
    if (::tcgetattr(fd, &attrs) == 0) {
        ::cfmakeraw(&attrs);
        attrs.c_cflag |= CLOCAL | CREAD;
        if (::tcsetattr(fd, TCSANOW, &attrs) != 0) {
            failure =
                "не удалось перевести " + slave + " в прямой режим (" + system_text(errno) + ")";
        }
    }
    const auto uid = id_from_env("SUDO_UID");
    const auto gid = id_from_env("SUDO_GID");
    if (failure.empty() && ::geteuid() == 0 && uid && gid && ::fchown(fd, *uid, *gid) != 0) {
        failure = "не удалось передать " + slave + " пользователю " + std::to_string(*uid) + " (" +
                  system_text(errno) + ")";
    }
    if (failure.empty() && ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        failure = "не удалось задать права " + slave + " (" + system_text(errno) + ")";
    }
    // The slave stays closed until a program opens it: the master then sees
    // a hang-up, which is how the device tells that nobody is on the line.
    ::close(fd);
    if (!failure.empty()) {
        return std::unexpected(failure);
    }
    return {};
}

}  // namespace

std::expected<VirtualPort, std::string> VirtualPort::create(const std::string& wanted_link) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        return std::unexpected("не удалось создать псевдотерминал (" + system_text(errno) + ")");
    }
    std::array<char, 64> name{};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name.data(), name.size()) != 0) {
        const int err = errno;
        ::close(master);
        return std::unexpected("не удалось подготовить псевдотерминал (" + system_text(err) + ")");
    }
    VirtualPort port(master, name.data());
    if (auto prepared = prepare_slave(port.slave_); !prepared) {
        return std::unexpected(prepared.error());
    }
    // Watched before the link exists, so no open by a program goes unseen.
    port.opens_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (port.opens_ >= 0 && ::inotify_add_watch(port.opens_, port.slave_.c_str(), IN_OPEN) < 0) {
        ::close(port.opens_);
        port.opens_ = -1;
    }

    if (!wanted_link.empty()) {
        if (::symlink(port.slave_.c_str(), wanted_link.c_str()) != 0) {
            const int err = errno;
            if (is_permission_error(err)) {
                return std::unexpected(no_right_message(wanted_link, err));
            }
            if (err == EEXIST) {
                return std::unexpected(wanted_link +
                                       " уже существует: выберите другое имя (--link)");
            }
            return std::unexpected("не удалось создать ссылку " + wanted_link + " (" +
                                   system_text(err) + ")");
        }
        port.link_ = wanted_link;
        return port;
    }
    for (int n = 0; n < kMaxLinkNumber; ++n) {
        const std::string link = std::string(kLinkStem) + std::to_string(n);
        if (::symlink(port.slave_.c_str(), link.c_str()) == 0) {
            port.link_ = link;
            return port;
        }
        const int err = errno;
        if (is_permission_error(err)) {
            return std::unexpected(no_right_message(link, err));
        }
        if (err != EEXIST) {
            return std::unexpected("не удалось создать ссылку " + link + " (" + system_text(err) +
                                   ")");
        }
    }
    return std::unexpected("все имена от " + std::string(kLinkStem) + "0 до " +
                           std::string(kLinkStem) + std::to_string(kMaxLinkNumber - 1) +
                           " заняты: укажите имя (--link)");
}

VirtualPort::VirtualPort(VirtualPort&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      opens_(std::exchange(other.opens_, -1)),
      slave_(std::move(other.slave_)),
      link_(std::move(other.link_)) {
    other.link_.clear();
}

VirtualPort::~VirtualPort() {
    // Only a link that still points at this device's slave is removed.
    if (!link_.empty()) {
        std::array<char, PATH_MAX> target{};
        const ssize_t n = ::readlink(link_.c_str(), target.data(), target.size() - 1);
        if (n > 0 && std::string_view(target.data(), static_cast<std::size_t>(n)) == slave_) {
            ::unlink(link_.c_str());
        }
    }
    if (opens_ >= 0) {
        ::close(opens_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

}  // namespace portavik::device
