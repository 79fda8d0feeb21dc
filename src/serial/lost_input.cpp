// SPDX-License-Identifier: MIT

#include "serial/lost_input.hpp"

namespace portavik {

std::optional<std::string> LostInputNotice::check(std::uint64_t overruns, Clock::time_point now) {
    if (overruns <= reported_ || (printed_at_ && now - *printed_at_ < kPace)) {
        return std::nullopt;
    }
    reported_ = overruns;
    printed_at_ = now;
    return "⚠️ Данные от устройства потеряны: переполнился буфер приёма "
           "порта. "
           "Помогут "
           "управление потоком или меньшая скорость";
}

}  // namespace portavik
