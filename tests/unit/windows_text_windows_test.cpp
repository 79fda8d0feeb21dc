// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <string>

#include "base/windows_text.hpp"

namespace portavik {
namespace {

TEST(WindowsText, Utf8AndUtf16RoundTripWithWhatCannotBeConvertedReplaced) {
    const std::string text = "Порт COM3 📌 готов";
    const std::wstring wide = windows::to_utf16(text);
    EXPECT_EQ(wide.size(), 18U) << "the emoji is a surrogate pair";
    EXPECT_EQ(wide[0], L'П');
    EXPECT_EQ(windows::to_utf8(wide), text);
    EXPECT_EQ(windows::to_utf16(""), L"");
    EXPECT_EQ(windows::to_utf8(L""), "");
    EXPECT_EQ(windows::to_utf16("a\xff"
                                "b"),
              L"a\xfffd"
              L"b");
    EXPECT_EQ(windows::to_utf8(std::wstring(1, wchar_t(0xD83D)) + L"x"), "\xef\xbf\xbdx");
}

TEST(WindowsText, SystemMessagesComeWithoutTheirFullStopAndLineBreak) {
    for (const long code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BROKEN_PIPE}) {
        const std::string text = windows::error_text(static_cast<DWORD>(code));
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_NE(text.back(), '\n') << text;
        EXPECT_NE(text.back(), '.') << text;
    }
    // A code without a message still says which it is.
    EXPECT_EQ(windows::error_text(0x2FFFFFFF), "ошибка Windows 805306367");
}

}  // namespace
}  // namespace portavik
