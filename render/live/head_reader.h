// SPDX-License-Identifier: Apache-2.0
#pragma once
// A connection's request head as it arrives, read in the waiting room
// (render/live/request_heads.h) before httplib sees it, and checked as it
// comes, byte by byte, so a malformed head is refused as soon as it is seen
// rather than at the head's deadline:
// - RFC 9112: empty lines before the request line are ignored (section 2.2);
//   the request line is METHOD SP TARGET SP HTTP/1.1 (or 1.0), the method a
//   token; each field line is NAME ":" VALUE, the name a token directly
//   followed by the colon (so no whitespace before it, and no line folded onto
//   the one before). Anything else, a control character other than HTAB in a
//   line (NUL included) or a CR not followed by LF, gets 400. Lines may end in
//   CRLF or a bare LF; httplib is given CRLF, which it requires.
// - The head, request line and fields and the lines before them, is at most
//   kMaxHeadBytes with at most kMaxHeaders fields (more gets 431).
// - httplib 0.11 reads a line of at most kMaxLineBytes (before its CRLF): a
//   longer request line gets 414 from it, a longer field line 400, both with
//   no text. Debian's libcpp-httplib is a compiled library, so these limits
//   (CPPHTTPLIB_REQUEST_URI_MAX_LENGTH, CPPHTTPLIB_HEADER_MAX_LENGTH, 8192 with
//   the CRLF) are fixed in it: defining the macros before including httplib.h
//   changes nothing. So a request line beyond it gets 414 here, with a text,
//   and a longer field line never reaches httplib: the server reads no long
//   field (a large Cookie is one it never reads), so it is left out, except a
//   Host field, which is refused (431) rather than left out, as the Host check
//   counts the Host fields.
// - Range fields never reach httplib: no ranges are served, and httplib would
//   answer a malformed one 416 before any handler could ignore it.

#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kMaxHeadBytes = 16384;  // request line and header fields together
constexpr size_t kMaxHeaders = 64;       // header fields a client may send
constexpr size_t kMaxLineBytes = 8190;   // of a line httplib reads, its CRLF left out

// Whether bytes a client sent ask for HEAD (an answer to it has no body).
bool asks_head(std::string_view received);

class CHeadReader {
public:
    enum class CVerdict { incomplete, refused, whole };

    // Takes bytes that came on the connection; the verdict so far. Once
    // refused or whole, what comes later is kept and not looked at.
    CVerdict take(const char* data, size_t size);

    // Refused: the status and a line saying why.
    int status() const { return status_; }
    const std::string& why() const { return why_; }
    // Whole: the request line's method, and the head as httplib should read
    // it (the fields it cannot read and Range left out, every line ending in
    // CRLF) followed by whatever came after the head.
    std::string_view method() const;
    std::string for_httplib() const;

    // Everything received so far.
    const std::string& received() const { return received_; }

private:
    CVerdict refuse(int status, std::string why);
    // A line ending at `end` (its LF) has come whole; false once refused or whole.
    bool end_line(size_t end);

    std::string received_;
    CVerdict verdict_ = CVerdict::incomplete;
    size_t checked_ = 0;         // bytes of received_ looked at
    size_t line_ = 0;            // where the line coming starts
    size_t request_line_ = 0;    // where the request line starts
    size_t fields_ = 0;          // where the fields start; 0 until the request line has come
    size_t end_ = 0;             // past the blank line ending the head, once whole
    size_t field_count_ = 0;
    bool method_ended_ = false;  // the request line's first SP has come
    int status_ = 0;
    std::string why_;
};
