// SPDX-License-Identifier: MIT

#include "serial/error_texts.hpp"

namespace portavik::detail {

namespace {

struct FailureText {
    std::string_view description;
    std::string_view hint;
};

FailureText text_of(Failure failure) {
    switch (failure) {
        case Failure::NoPermission:
            return {"нет прав на доступ к порту",
                    "Запустите программу от имени пользователя, которому доступен порт"};
        case Failure::Busy:
            return {"порт занят другой программой", "Закройте её и выберите порт снова"};
        case Failure::NoDevice:
            return {"устройство не найдено",
                    "Проверьте, что оно подключено, и выберите порт заново"};
        case Failure::NotASerialLine:
            return {"это не последовательный порт", "Выберите другой порт"};
        case Failure::Disconnected:
            return {"устройство отключено", "Проверьте кабель и питание устройства"};
    }
    return {"ошибка порта", {}};
}

}  // namespace

std::string describe_failure(Failure failure, std::string_view os_text,
                             std::string_view platform_hint) {
    const FailureText text = text_of(failure);
    std::string out(text.description);
    if (!os_text.empty()) {
        out += " (";
        out += os_text;
        out += ')';
    }
    const std::string_view hint = platform_hint.empty() ? text.hint : platform_hint;
    if (!hint.empty()) {
        out += ". ";
        out += hint;
    }
    return out;
}

std::string write_stalled_text(std::size_t handed_over, std::size_t total) {
    return "устройство перестало принимать данные: больше секунды не передано ни байта "
           "(передано " +
           std::to_string(handed_over) + " из " + std::to_string(total) +
           " байт). Проверьте устройство и настройку управления потоком";
}

}  // namespace portavik::detail
