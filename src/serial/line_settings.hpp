// SPDX-License-Identifier: MIT

#pragma once

// The five line settings: their values, the whole line as one value that a
// backend reads from the device and writes to it at once, and one table per
// enumerated setting with every way the program and the simulated device
// show a value. Where two screens print one value differently, its row has
// both texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace portavik {

enum class DataBits { Five, Six, Seven, Eight };
enum class StopBits { One, Two };
enum class Parity { None, Odd, Even };
enum class FlowControl { None, Software, Hardware };

// The whole line; `LineSettings{.baud_rate = rate}` is 8N1 without flow control.
struct LineSettings {
    std::uint32_t baud_rate = 0;
    DataBits data_bits = DataBits::Eight;
    StopBits stop_bits = StopBits::One;
    Parity parity = Parity::None;
    FlowControl flow_control = FlowControl::None;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

template <class T>
struct SettingRow {
    T value;
    // What one character spends on it on the wire: data bits, the parity
    // bit, stop bits; none for flow control.
    unsigned bits;
    // The English value name of the settings confirmations and debug forms.
    std::string_view name;
    // The display word of the settings summaries and the connected banner.
    std::string_view display;
    // A change the device did not keep names the value asked for ...
    std::string_view refused;
    // ... and the one in force.
    std::string_view kept;
    // The simulated device's "8N1" notation; empty for flow control.
    std::string_view code;
};

// Each table lists its values in the order the enumeration declares them.
inline constexpr SettingRow<DataBits> kDataBitsRows[] = {
    {DataBits::Five, 5, "Five", "5", "5 бит данных", "5", "5"},
    {DataBits::Six, 6, "Six", "6", "6 бит данных", "6", "6"},
    {DataBits::Seven, 7, "Seven", "7", "7 бит данных", "7", "7"},
    {DataBits::Eight, 8, "Eight", "8", "8 бит данных", "8", "8"},
};

inline constexpr SettingRow<StopBits> kStopBitsRows[] = {
    {StopBits::One, 1, "One", "1", "1 стоп-бит", "1", "1"},
    {StopBits::Two, 2, "Two", "2", "2 стоп-бита", "2", "2"},
};

inline constexpr SettingRow<Parity> kParityRows[] = {
    {Parity::None, 0, "None", "нет", "контроль чётности «нет»", "«нет»", "N"},
    {Parity::Odd, 1, "Odd", "нечетная", "контроль чётности «нечётный»", "«нечётный»", "O"},
    {Parity::Even, 1, "Even", "четная", "контроль чётности «чётный»", "«чётный»", "E"},
};

inline constexpr SettingRow<FlowControl> kFlowControlRows[] = {
    {FlowControl::None, 0, "None", "нет", "управление потоком «нет»", "«нет»", ""},
    {FlowControl::Software, 0, "Software", "программное", "управление потоком «программное»",
     "«программное»", ""},
    {FlowControl::Hardware, 0, "Hardware", "аппаратное", "управление потоком «аппаратное»",
     "«аппаратное»", ""},
};

constexpr std::span<const SettingRow<DataBits>> rows_of(DataBits) {
    return kDataBitsRows;
}
constexpr std::span<const SettingRow<StopBits>> rows_of(StopBits) {
    return kStopBitsRows;
}
constexpr std::span<const SettingRow<Parity>> rows_of(Parity) {
    return kParityRows;
}
constexpr std::span<const SettingRow<FlowControl>> rows_of(FlowControl) {
    return kFlowControlRows;
}

template <class T>
constexpr bool in_declared_order(std::span<const SettingRow<T>> rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (static_cast<std::size_t>(rows[i].value) != i) {
            return false;
        }
    }
    return true;
}
static_assert(in_declared_order<DataBits>(kDataBitsRows));
static_assert(in_declared_order<StopBits>(kStopBitsRows));
static_assert(in_declared_order<Parity>(kParityRows));
static_assert(in_declared_order<FlowControl>(kFlowControlRows));

// The row of `value`; the first row for a value outside the enumeration.
template <class T>
constexpr const SettingRow<T>& row(T value) {
    const auto rows = rows_of(value);
    const auto index = static_cast<std::size_t>(value);
    return index < rows.size() ? rows[index] : rows.front();
}

template <class T>
std::string value_name(T value) {
    return std::string(row(value).name);
}

template <class T>
constexpr std::string_view display_word(T value) {
    return row(value).display;
}

}  // namespace portavik
