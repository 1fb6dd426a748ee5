// SPDX-License-Identifier: Apache-2.0
#include "render/live/request_heads.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "render/live/live_thread_name.h"

namespace {
constexpr int kLingerMs = 1000;

using Clock = std::chrono::steady_clock;

const char* reason_of(int status)
{
    switch (status) {
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    default: return "Service Unavailable";
    }
}

// A refusal in full; without its text when it answers HEAD.
std::string refusal(int status, const std::string& text, const std::string& field, bool head_only)
{
    const std::string body = text + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + field +
           "\r\n" + (head_only ? "" : body);
}

constexpr const char* kBusy = "too many clients waiting; try again later";
constexpr const char* kRetryLater = "Retry-After: 5\r\n";

// Takes what has come, up to `limit` bytes kept in `into`, without waiting:
// left unread, it would turn a close into a reset.
void take_what_came(int fd, std::string& into, size_t limit)
{
    char buffer[4096];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        into.append(buffer, static_cast<size_t>(std::min<size_t>(got, limit - std::min(limit, into.size()))));
}

// A method as HTTP spells it: one token.
bool is_token(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return c > ' ' && c < 0x7f && std::string_view("\"(),/:;<=>?@[\\]{}").find(static_cast<char>(c)) ==
                                           std::string_view::npos;
    });
}

// The method of a well-formed request line ("METHOD TARGET HTTP/1.x"), or ""
// for a line that is not one: httplib answers that 400.
std::string_view method_of(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    const size_t first = line.find(' '), last = line.rfind(' ');
    if (first == std::string_view::npos || last <= first + 1 ||
        line.find(' ', first + 1) != last || (line.substr(last) != " HTTP/1.1" && line.substr(last) != " HTTP/1.0"))
        return {};
    const std::string_view method = line.substr(0, first);
    return is_token(method) ? method : std::string_view();
}

// Where the head ends (past its blank line, CRLF or bare LF), searching from
// `from`; npos while it has not all come.
size_t head_end(const std::string& received, size_t from)
{
    for (size_t at = received.find('\n', from); at != std::string::npos; at = received.find('\n', at + 1)) {
        if (at + 1 < received.size() && received[at + 1] == '\n')
            return at + 2;
        if (at + 2 < received.size() && received[at + 1] == '\r' && received[at + 2] == '\n')
            return at + 3;
    }
    return std::string::npos;
}

// A line of the head with its ending as httplib needs it: CRLF.
std::string_view without_ending(std::string_view line)
{
    line.remove_suffix(line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : 1);
    return line;
}
}  // namespace

// Sends a refusal to a connection that sent something, then closes it; one
// that sent nothing is closed unanswered.
void CRequestHeads::refuse_and_close(int fd, std::string received)
{
    take_what_came(fd, received, 5);
    if (!received.empty()) {
        const std::string answer = refusal(503, kBusy, kRetryLater, received.compare(0, 5, "HEAD ") == 0);
        // A fresh connection's send buffer takes these few hundred bytes whole.
        send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    budget_.close(fd);
}

CRequestHeads::CRequestHeads(size_t capacity, CConnectionBudget& budget, Dispatch dispatch)
    : capacity_(std::max<size_t>(capacity, 1)),
      budget_(budget),
      dispatch_(std::move(dispatch)),
      wake_(eventfd(0, EFD_CLOEXEC))
{
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category());
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        close(wake_);
        throw;
    }
}

CRequestHeads::~CRequestHeads()
{
    stop();
    close(wake_);
}

void CRequestHeads::add(int fd)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Beyond a roomful not yet looked at, a flood is let go at once, so
        // that it cannot take the process's file descriptors.
        if (!stopping_ && arrived_.size() < capacity_) {
            arrived_.emplace_back(fd, false);
            fd = -1;
        }
    }
    if (fd >= 0)
        refuse_and_close(fd, "");
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

void CRequestHeads::linger(int fd)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            arrived_.emplace_back(fd, true);
            fd = -1;
        }
    }
    if (fd >= 0)
        budget_.close(fd);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

void CRequestHeads::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
}

void CRequestHeads::run()
{
    name_live_thread();
    std::vector<pollfd> watched;
    std::vector<std::pair<int, bool>> arrived;
    for (;;) {
        // Wait for bytes, a new connection or the next deadline.
        watched.assign(1, pollfd{wake_, POLLIN, 0});
        auto next = Clock::now() + std::chrono::seconds(1);
        for (const CWaiting& waiting : waiting_) {
            watched.push_back(pollfd{waiting.fd, POLLIN, 0});
            next = std::min(next, waiting.until);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
        if (poll(watched.data(), watched.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0 && errno != EINTR)
            watched.assign(watched.size(), pollfd{});  // nothing is known to be ready; the deadlines still pass

        for (size_t k = 1; k < watched.size(); ++k)
            if (watched[k].revents != 0)
                read_from(waiting_[k - 1]);
        const auto now = Clock::now();
        for (CWaiting& waiting : waiting_)
            if (waiting.fd >= 0 && waiting.until <= now)
                give_up(waiting, false);
        waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [](const CWaiting& w) { return w.fd < 0; }),
                       waiting_.end());

        if (watched[0].revents == 0)
            continue;
        uint64_t count;
        [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
            arrived.swap(arrived_);
        }
        for (const auto& [fd, answered] : arrived) {
            if (waiting_.size() >= capacity_) {
                give_up(waiting_.front(), true);
                waiting_.pop_front();
            }
            const int wait_ms = answered ? kLingerMs : kHeadDeadlineMs;
            waiting_.push_back(CWaiting{fd, Clock::now() + std::chrono::milliseconds(wait_ms), {}, answered});
        }
        arrived.clear();
        // Room for the next accept, or the newest is refused.
        while (budget_.full() && !waiting_.empty()) {
            give_up(waiting_.front(), true);
            waiting_.pop_front();
        }
    }
    for (CWaiting& waiting : waiting_)
        budget_.close(waiting.fd);
    waiting_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [fd, answered] : arrived_)
        budget_.close(fd);
    arrived_.clear();
}

void CRequestHeads::read_from(CWaiting& waiting)
{
    char buffer[4096];
    ssize_t got;
    do
        got = recv(waiting.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) {  // closed or reset by the client
        budget_.close(waiting.fd);
        waiting.fd = -1;
        return;
    }
    if (waiting.answered)
        return;
    const size_t searched_from = waiting.received.size() < 2 ? 0 : waiting.received.size() - 2;
    waiting.received.append(buffer, static_cast<size_t>(got));
    const size_t end = head_end(waiting.received, searched_from);
    if (end != std::string::npos && end <= kMaxHeadBytes)
        take_head(waiting, end);
    else if (waiting.received.size() >= kMaxHeadBytes)
        answer(waiting, 431, "the request head is longer than " + std::to_string(kMaxHeadBytes) + " bytes");
}

// Refuses what the server never serves, here, without a worker; hands the rest
// on with the Range fields left out and every line ending in CRLF.
void CRequestHeads::take_head(CWaiting& waiting, size_t end)
{
    const std::string& raw = waiting.received;
    size_t start = raw.find('\n') + 1;  // past the request line
    std::string request(without_ending(std::string_view(raw).substr(0, start)));
    request += "\r\n";
    size_t fields = 0;
    for (size_t line_end; start < end; start = line_end) {
        line_end = raw.find('\n', start) + 1;
        const std::string_view line = without_ending(std::string_view(raw).substr(start, line_end - start));
        const bool blank = line_end == end;
        fields += blank ? 0 : 1;
        if (blank || line.size() < 6 || strncasecmp(line.data(), "range:", 6) != 0)
            request.append(line).append("\r\n");
    }
    const std::string_view method = method_of(std::string_view(raw).substr(0, raw.find('\n')));
    if (fields > kMaxHeaders)
        return answer(waiting, 431, "more than " + std::to_string(kMaxHeaders) + " header fields");
    if (!method.empty() && method != "GET" && method != "HEAD")
        return answer(waiting, 405, "only GET and HEAD", "Allow: GET, HEAD\r\n");
    request.append(raw, end);
    if (dispatch_(waiting.fd, request)) {
        waiting.fd = -1;
        return;
    }
    answer(waiting, 503, "too many clients; try again later", kRetryLater);
}

void CRequestHeads::answer(CWaiting& waiting, int status, const std::string& text, const std::string& field)
{
    const std::string response = refusal(status, text, field, waiting.received.compare(0, 5, "HEAD ") == 0);
    send(waiting.fd, response.data(), response.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(waiting.fd, SHUT_WR);
    waiting.answered = true;
    waiting.until = Clock::now() + std::chrono::milliseconds(kLingerMs);
    std::string().swap(waiting.received);
}

// A deadline passed, or the room is full and this one has waited longest.
void CRequestHeads::give_up(CWaiting& waiting, bool displaced)
{
    if (waiting.fd < 0)
        return;
    if (displaced && !waiting.answered) {
        refuse_and_close(waiting.fd, std::move(waiting.received));
    } else if (!waiting.answered && !waiting.received.empty()) {
        return answer(waiting, 408, "the request head did not arrive within " +
                                        std::to_string(kHeadDeadlineMs / 1000) + " s");  // then lingers
    } else {
        std::string dropped;
        take_what_came(waiting.fd, dropped, 0);
        budget_.close(waiting.fd);
    }
    waiting.fd = -1;
}
