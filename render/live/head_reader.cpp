// SPDX-License-Identifier: Apache-2.0
#include "render/live/head_reader.h"

#include <strings.h>

#include <algorithm>

namespace {
constexpr const char* kNotARequestLine = "the first line is not a request line (METHOD /PATH HTTP/1.1)";
constexpr const char* kNotAField = "a header field line is not NAME: VALUE";
const std::string kTooLong = "the request head is longer than " + std::to_string(kMaxHeadBytes) + " bytes";

// A character of a token (RFC 9110 section 5.6.2): methods and field names.
bool is_token_char(unsigned char c)
{
    return c > ' ' && c < 0x7f && std::string_view("\"(),/:;<=>?@[\\]{}").find(static_cast<char>(c)) ==
                                      std::string_view::npos;
}

bool is_token(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return is_token_char(c); });
}

// A control character a line may not hold: every one but HTAB (CR and LF end lines).
bool is_forbidden_control(unsigned char c) { return (c < ' ' && c != '\t') || c == 0x7f; }

// "METHOD TARGET HTTP/1.x", one SP apart; the target any visible characters.
bool is_request_line(std::string_view line)
{
    const size_t first = line.find(' '), last = line.rfind(' ');
    if (first == std::string_view::npos || last <= first + 1 || !is_token(line.substr(0, first)))
        return false;
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    return std::none_of(target.begin(), target.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; }) &&
           (version == "HTTP/1.1" || version == "HTTP/1.0");
}

// A line from `start` to its LF at `end`, without its CR.
std::string_view line_at(const std::string& text, size_t start, size_t end)
{
    if (end > start && text[end - 1] == '\r')
        --end;
    return std::string_view(text).substr(start, end - start);
}

bool names(std::string_view field, const char* name)
{
    const size_t length = std::char_traits<char>::length(name);
    return field.size() > length && field[length] == ':' && strncasecmp(field.data(), name, length) == 0;
}
}  // namespace

bool asks_head(std::string_view received)
{
    const size_t start = received.find_first_not_of("\r\n");
    return start != std::string_view::npos && received.substr(start, 5) == "HEAD ";
}

CHeadReader::CVerdict CHeadReader::take(const char* data, size_t size)
{
    received_.append(data, size);
    if (verdict_ != CVerdict::incomplete)
        return verdict_;
    // Byte by byte, so the first fault decides however the bytes were split.
    for (; checked_ < received_.size(); ++checked_) {
        const auto c = static_cast<unsigned char>(received_[checked_]);
        if (checked_ >= kMaxHeadBytes)
            return refuse(431, kTooLong);
        if (c == '\n') {
            if (!end_line(checked_))
                return verdict_;
            line_ = checked_ + 1;
        } else if (c == '\r') {
            if (checked_ + 1 == received_.size())
                break;  // the next byte tells
            if (received_[checked_ + 1] != '\n')
                return refuse(400, "a CR not followed by LF in the request head");
        } else if (is_forbidden_control(c)) {
            return refuse(400, "a control character in the request head");
        } else if (fields_ == 0) {
            // The request line. Its method comes first: binary junk ends there.
            if (!method_ended_ && c == ' ' && checked_ > line_)
                method_ended_ = true;
            else if (!method_ended_ && !is_token_char(c))
                return refuse(400, kNotARequestLine);
            if (checked_ - line_ + 1 > kMaxLineBytes)
                return refuse(414, "the request line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
        }
    }
    // What has come leaves no room for the head's end.
    if (received_.size() >= kMaxHeadBytes)
        return refuse(431, kTooLong);
    return verdict_;
}

bool CHeadReader::end_line(size_t end)
{
    const std::string_view line = line_at(received_, line_, end);
    if (fields_ == 0) {
        if (line.empty())
            return true;  // an empty line before the request line: RFC 9112 says to ignore it
        if (!is_request_line(line)) {
            refuse(400, kNotARequestLine);
            return false;
        }
        request_line_ = line_;
        fields_ = end + 1;
        return true;
    }
    if (line.empty()) {
        end_ = end + 1;
        verdict_ = CVerdict::whole;
        return false;
    }
    if (++field_count_ > kMaxHeaders) {
        refuse(431, "more than " + std::to_string(kMaxHeaders) + " header fields");
        return false;
    }
    if (const size_t colon = line.find(':'); colon == std::string_view::npos || !is_token(line.substr(0, colon))) {
        refuse(400, kNotAField);
        return false;
    }
    if (line.size() > kMaxLineBytes && names(line, "host")) {
        refuse(431, "the Host field is longer than " + std::to_string(kMaxLineBytes) + " bytes");
        return false;
    }
    return true;
}

CHeadReader::CVerdict CHeadReader::refuse(int status, std::string why)
{
    status_ = status;
    why_ = std::move(why);
    verdict_ = CVerdict::refused;
    return verdict_;
}

std::string_view CHeadReader::method() const
{
    const std::string_view line(received_.data() + request_line_, fields_ - request_line_);
    return line.substr(0, line.find(' '));
}

std::string CHeadReader::for_httplib() const
{
    std::string request(line_at(received_, request_line_, fields_ - 1));
    request += "\r\n";
    for (size_t start = fields_, end; start < end_; start = end + 1) {
        end = received_.find('\n', start);
        const std::string_view line = line_at(received_, start, end);
        if (line.size() <= kMaxLineBytes && !names(line, "range"))
            request.append(line).append("\r\n");  // the blank line ending the head too
    }
    request.append(received_, end_);
    return request;
}
