// SPDX-License-Identifier: MIT

#include "serial/natural_order.hpp"

namespace portavik {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t end_a = i;
            std::size_t end_b = j;
            while (end_a < a.size() && is_digit(a[end_a])) {
                ++end_a;
            }
            while (end_b < b.size() && is_digit(b[end_b])) {
                ++end_b;
            }
            std::string_view run_a = a.substr(i, end_a - i);
            std::string_view run_b = b.substr(j, end_b - j);
            const auto strip = [](std::string_view run) {
                while (run.size() > 1 && run.front() == '0') {
                    run.remove_prefix(1);
                }
                return run;
            };
            const std::string_view num_a = strip(run_a);
            const std::string_view num_b = strip(run_b);
            if (num_a.size() != num_b.size()) {
                return num_a.size() < num_b.size();
            }
            if (num_a != num_b) {
                return num_a < num_b;
            }
            // Equal numbers: fewer leading zeros first, so the order is total.
            if (run_a.size() != run_b.size()) {
                return run_a.size() < run_b.size();
            }
            i = end_a;
            j = end_b;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace portavik
