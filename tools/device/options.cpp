// SPDX-License-Identifier: MIT

#include "options.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace portavik::device {

namespace {

constexpr std::string_view kDevTty = "/dev/tty";

std::optional<Mode> mode_from(std::string_view word) {
    if (word == "modbus") {
        return Mode::Modbus;
    }
    if (word == "tirk") {
        return Mode::Tirk;
    }
    if (word == "echo") {
        return Mode::Echo;
    }
    if (word == "text") {
        return Mode::Text;
    }
    if (word == "stream") {
        return Mode::Stream;
    }
    return std::nullopt;
}

// Seconds as a decimal ("0.5", "3"), 0.05 s to one hour.
std::optional<std::chrono::milliseconds> interval_from(std::string_view text) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds < 0.05 || seconds > 3600) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

// A whole decimal number from `low` to `high`.
std::optional<std::uint64_t> number_from(std::string_view text, std::uint64_t low,
                                         std::uint64_t high) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool is_listed_link_name(std::string_view path) {
    return path.size() > kDevTty.size() && path.starts_with(kDevTty) &&
           path.find('/', kDevTty.size()) == std::string_view::npos;
}

std::string_view mode_name(Mode mode) {
    switch (mode) {
        case Mode::Modbus:
            return "modbus";
        case Mode::Tirk:
            return "tirk";
        case Mode::Echo:
            return "echo";
        case Mode::Text:
            return "text";
        case Mode::Stream:
            return "stream";
    }
    return "modbus";
}

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
    Options options;
    bool mode_seen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const auto take_value = [&]() -> std::optional<std::string_view> {
            if (value) {
                return value;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            return std::nullopt;
        };

        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--link") {
            const auto path = take_value();
            if (!path || !is_listed_link_name(*path)) {
                return std::unexpected(
                    "--link: нужно имя вида /dev/ttyИМЯ (прямо в /dev, начинается с tty)");
            }
            options.link = std::string(*path);
        } else if (arg == "--port") {
            const auto path = take_value();
            if (!path || path->empty()) {
                return std::unexpected("--port: нужен путь к последовательному порту");
            }
            options.port = std::string(*path);
        } else if (arg == "--interval") {
            const auto text = take_value();
            const auto interval = text ? interval_from(*text) : std::nullopt;
            if (!interval) {
                return std::unexpected("--interval: нужно число секунд от 0.05 до 3600");
            }
            options.interval = interval;
        } else if (arg == "--uart") {
            options.uart = true;
        } else if (arg == "--xoff-when-full") {
            options.xoff_when_full = true;
        } else if (arg == "--seed") {
            const auto text = take_value();
            const auto seed = text ? number_from(*text, 0, UINT32_MAX) : std::nullopt;
            if (!seed) {
                return std::unexpected("--seed: нужно целое число от 0 до 4294967295");
            }
            options.seed = static_cast<std::uint32_t>(*seed);
        } else if (arg == "--bytes") {
            const auto text = take_value();
            const auto count = text ? number_from(*text, 1, UINT64_MAX) : std::nullopt;
            if (!count) {
                return std::unexpected("--bytes: нужно целое число байт больше нуля");
            }
            options.stream_bytes = count;
        } else if (const auto mode = mode_from(arg); mode && !mode_seen) {
            options.mode = *mode;
            mode_seen = true;
        } else {
            return std::unexpected("неизвестный аргумент «" + std::string(args[i]) + "»");
        }
    }
    if (!options.link.empty() && !options.port.empty()) {
        return std::unexpected(
            "--link и --port вместе не бывают: ссылка нужна только виртуальному порту");
    }
    return options;
}

std::string usage_text(std::string_view version) {
    std::string text = "portavik-device " + std::string(version) +
                       " — имитатор устройства на виртуальном последовательном порту.\n";
    text += R"(
Использование: portavik-device [--link /dev/ttyИМЯ | --port ПУТЬ] [--interval СЕК]
                       [--uart] [--xoff-when-full] [--seed N] [--bytes N] [РЕЖИМ]

Создаёт псевдотерминал и ссылку на него в /dev (первое свободное имя
/dev/ttyV0, /dev/ttyV1, ...), которую Portavik показывает в списке портов, и
отвечает за устройство. Ссылка удаляется при выходе (Ctrl+C, SIGTERM, SIGHUP).
Нужно право писать в /dev: запуск от root; через sudo (порт тогда принадлежит
вызвавшему пользователю); или один раз "sudo setcap cap_dac_override+ep"
для этого файла, после чего программу запускает обычный пользователь.

Каждый принятый и отправленный кадр выводится строкой HEX с настройками линии,
которые установила другая сторона (скорость, биты, чётность, стоп-биты,
управление потоком). Кадр — байты без паузы длиннее 3,5 символа при текущей
скорости (выше 19200 бод — 1,75 мс). При программном управлении потоком XOFF
(13) от другой стороны задерживает ответы до XON (11); аппаратное на
псевдотерминале только показывается.

Режимы:
  modbus  (по умолчанию) Modbus RTU, адрес 1, регистры хранения 0-9:
          регистр 0 = 42, регистр N = 1000 + N. Функции 03 (чтение регистров)
          и 06 (запись одного регистра). Кадр с неверным CRC-16/MODBUS, с чужим
          адресом или неверной длины остаётся без ответа; другие функции —
          исключение 01, адрес вне таблицы — исключение 02.
          Пример: 01 03 00 00 00 02 C4 0B -> 01 03 04 00 2A 03 E9 1A 85
  tirk    принимает 26 команд ТИРК (весь кадр, с CRC) и отвечает кадром
          01 06 NN CRC, NN — номер команды (01-1A); всё прочее без ответа.
          Каждые 3 с (--interval) шлёт кадр состояния 01 53 KK CRC,
          KK — число принятых команд (по модулю 256).
  echo    возвращает каждый принятый кадр.
  text    раз в секунду (--interval) шлёт строку "portavik-device N" с CR LF.
  stream  пока порт открыт, шлёт ровный поток байт со скоростью линии
          (скорость в бодах / 10 байт в секунду), с начала при каждом
          открытии: x0 = зерно (--seed), x(k+1) = (x(k) * 1103515245 + 12345)
          mod 2^32, байт k — старший байт x(k+1). Итог при конце потока
          (--bytes) или закрытии порта: "поток: отправлено N байт, потеряно
          M байт". Вывод Portavik проверяет tools/device/check-stream.

CRC — CRC-16/MODBUS, младший байт первым.

Опции:
  --link ПУТЬ      имя ссылки (/dev/tty...) вместо первого свободного /dev/ttyV<N>
  --port ПУТЬ      играть устройство на настоящем последовательном порту (другом
                   конце линии, на которой работает Portavik) вместо
                   виртуального; скорость и формат линии — какие на нём
                   установлены (stty), порт переводится в «сырой» режим
  --interval СЕК   период кадров состояния (tirk) и строк (text), 0.05-3600
  --uart           писать, не дожидаясь порта, как UART без управления потоком:
                   что порт не принял сразу, пропадает и считается в журнале
                   ("потеряно N байт"); без неё поток (stream) ждёт порт
  --xoff-when-full с --uart: при программном управлении потоком на порту
                   порт, не принявший байты, останавливает поток, как XOFF
                   его драйвера у края буфера (псевдотерминал сам XOFF не
                   шлёт), и поток идёт дальше, когда порт снова принимает
  --seed N         зерно потока (stream), 0-4294967295; по умолчанию 1
  --bytes N        длина потока (stream) в байтах; по умолчанию без конца
  -h, --help       эта справка
  --version        версия
)";
    return text;
}

}  // namespace portavik::device
