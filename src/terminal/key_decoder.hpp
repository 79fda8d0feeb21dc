// SPDX-License-Identifier: MIT

#pragma once

// Terminal input bytes to key events, without I/O or a clock: the caller
// reads the bytes and decides when a wait for more has run out.
//
// Mapping (all events are KeyKind::Press):
// - CR (0x0D) and LF (0x0A): Enter. DEL (0x7F) and BS (0x08): Backspace.
// - Tab (0x09): Other. A terminal cannot tell Tab from Ctrl+I, and the Tab
//   key is what users press; Other keeps it out of typed text.
// - 0x01-0x1A: Char 'a'..'z' with ctrl (0x03 is Ctrl+C). 0x00: Char ' '
//   with ctrl (Ctrl+Space, the usual key for NUL). 0x1C-0x1F: Char '\',
//   ']', '^', '_' with ctrl (caret notation).
// - Printable ASCII and valid UTF-8: one Char each, also when split over
//   several feeds. A byte that cannot start or continue UTF-8: one Other per
//   ill-formed run (a lead byte and the continuation bytes that fit it).
// - ESC alone: Esc, but only at flush(), since it may start a sequence.
// - CSI (ESC [ params intermediates final, ECMA-48 5.4; also the Linux
//   console's ESC [ [ A..E, console_codes(4)), SS3 (ESC O ... final) and
//   control strings (ESC P, ESC ], ESC X, ESC ^, ESC _ up to ST = ESC \ or
//   BEL): one Other each, leaving nothing behind. ESC P/]/X/^/_ therefore
//   never read as Alt+that character.
// - ESC followed by any other key: that key with alt (ESC x is Alt+x, ESC DEL
//   is Alt+Backspace, ESC ESC [ A is Other with alt).
// - flush(): an unfinished key becomes one event (ESC: Esc; ESC ESC: Esc
//   with alt; anything else: Other) and nothing of it stays behind.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "terminal/terminal.hpp"

namespace portavik {

class KeyDecoder {
  public:
    void feed(std::string_view bytes);
    // The next complete event, if the buffered bytes hold one.
    std::optional<KeyEvent> next();
    // True when no complete event is buffered but bytes that begin one are:
    // the caller should wait briefly for the rest, then flush().
    bool incomplete() const;
    // No further byte came: the buffered bytes become events now, an
    // unfinished key exactly one.
    void flush();
    // Forgets everything buffered.
    void clear();

  private:
    std::string buffer_;
    std::size_t pos_ = 0;  // start of the undecoded bytes in buffer_
    std::deque<KeyEvent> flushed_;
};

}  // namespace portavik
