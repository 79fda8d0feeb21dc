#pragma once

// The five line settings: their values, and the whole line as one value that
// a backend reads from the device and writes to it at once.

#include <cstdint>

namespace portavik {

enum class DataBits { Five, Six, Seven, Eight };
enum class StopBits { One, Two };
enum class Parity { None, Odd, Even };
enum class FlowControl { None, Software, Hardware };

struct LineSettings {
    std::uint32_t baud_rate;
    DataBits data_bits;
    StopBits stop_bits;
    Parity parity;
    FlowControl flow_control;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

}  // namespace portavik
