// SPDX-License-Identifier: MIT

#include "serial/lost_input.hpp"

namespace portavik {

namespace {

std::uint64_t since(std::uint64_t now, std::uint64_t before) {
    return now > before ? now - before : 0;
}

void add_count(std::string& line, const char* what, std::uint64_t count) {
    if (count == 0) {
        return;
    }
    if (line.back() != ':') {
        line += ',';
    }
    line += ' ';
    line += what;
    line += " — ";
    line += std::to_string(count);
}

std::string error_line(std::uint64_t framing, std::uint64_t parity, std::uint64_t breaks,
                       const LostInputNotice::SettingsText& settings) {
    std::string line = "⚠️ Сбои на линии приёма:";
    add_count(line, "ошибок кадра", framing);
    add_count(line, "ошибок чётности", parity);
    add_count(line, "сигналов BREAK", breaks);
    if (framing + parity > 0) {
        const auto in_force = settings ? settings() : std::nullopt;
        line += ". Вероятно, скорость или формат порта";
        if (in_force) {
            line += " (" + *in_force + ")";
        }
        line += " не совпадают с настройками устройства";
    }
    if (breaks > 0) {
        line += ". Устройство передало сигнал BREAK, или линия приёма удерживается в низком "
                "уровне";
    }
    return line;
}

}  // namespace

bool LostInputNotice::Pace::due(std::uint64_t count, Clock::time_point now) {
    if (count <= told || (at && now - *at < kPace)) {
        return false;
    }
    told = count;
    at = now;
    return true;
}

std::vector<std::string> LostInputNotice::check(const LineCounts& counts, Clock::time_point now,
                                                const SettingsText& settings) {
    std::vector<std::string> lines;
    if (overruns_.due(counts.overruns, now)) {
        lines.emplace_back(
            "⚠️ Данные от устройства потеряны: переполнился буфер приёма порта. "
            "Помогут управление потоком или меньшая скорость");
    }
    if (errors_.due(counts.framing + counts.parity + counts.breaks, now)) {
        lines.push_back(error_line(since(counts.framing, told_.framing),
                                   since(counts.parity, told_.parity),
                                   since(counts.breaks, told_.breaks), settings));
        told_ = counts;
    }
    return lines;
}

std::vector<std::string> LostInputNotice::check(const SerialPort& port, Clock::time_point now) {
    return check(port.line_counts(), now, [&port]() -> std::optional<std::string> {
        const auto line = port.line_settings();
        return line ? std::optional(line_code(*line)) : std::nullopt;
    });
}

std::string line_code(const LineSettings& line) {
    std::string code = std::to_string(line.baud_rate) + ' ';
    code += row(line.data_bits).code;
    code += row(line.parity).code;
    code += row(line.stop_bits).code;
    return code;
}

}  // namespace portavik
