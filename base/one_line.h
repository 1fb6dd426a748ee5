// SPDX-License-Identifier: Apache-2.0
#pragma once
// Text from outside (a file name, an environment variable) made safe for a
// one-line message on a terminal, for every floor that prints one.

#include <cstdio>
#include <string>

// `text` on one line, for messages: control characters (a newline in a file
// name, say, or a C1 control in UTF-8) and bytes that are not UTF-8 (a raw C1
// control, a Latin-1 name) shown as \n, \t, \r or \xHH; valid UTF-8 as it is.
inline std::string one_line(const std::string& text)
{
    std::string shown;
    const auto escape = [&shown](unsigned char byte) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        shown += escaped;
    };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // A whole UTF-8 character of 2 to 4 bytes, or 0 (a stray byte: a raw
        // C1 control, a Latin-1 letter, a cut-off sequence).
        size_t length = byte >= 0xc2 && byte <= 0xdf ? 2 : byte >= 0xe0 && byte <= 0xef ? 3
                        : byte >= 0xf0 && byte <= 0xf4                                  ? 4
                                                                                        : 0;
        for (size_t k = 1; k < length; ++k)
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                length = 0;
        const auto second = length > 0 ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if ((byte == 0xe0 && second < 0xa0) || (byte == 0xed && second > 0x9f) || (byte == 0xf0 && second < 0x90) ||
            (byte == 0xf4 && second > 0x8f))
            length = 0;  // overlong, a surrogate, or beyond U+10FFFF
        if (byte == 0xc2 && length == 2 && second <= 0x9f) {
            // A C1 control character in UTF-8 (ESC [ as one character, say).
            escape(byte);
            escape(second);
        } else if (length > 0) {
            shown.append(text, i, length);
            i += length;
            continue;
        } else if (byte == '\n')
            shown += "\\n";
        else if (byte == '\t')
            shown += "\\t";
        else if (byte == '\r')
            shown += "\\r";
        else if (byte < 0x20 || byte >= 0x7f)
            escape(byte);
        else
            shown += static_cast<char>(byte);
        i += byte == 0xc2 && length == 2 ? 2 : 1;
    }
    return shown;
}
