// The automation connections: the list both threads share, and one exchange of a line and its
// answer on a connection's descriptor.
#include "output/AutomationConnections.h"

#include "output/OutputMessages.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes waiting before a line are read away in blocks; a peer that floods the port faster than
// this cannot hold the line back for ever.
constexpr int kDiscardBlocks = 16;

ssize_t systemSend(int fd, const char* data, std::size_t size)
{
    // Never blocks: a peer that stops reading costs this line, not the thread.
    return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

int socketError(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace

AutomationConnections::~AutomationConnections()
{
    std::lock_guard lock(m_mutex);
    for (const Entry& entry : m_entries)
        ::close(entry.fd);
    m_entries.clear();
}

output::LinkId AutomationConnections::addServer(int fd, std::string peer)
{
    std::lock_guard lock(m_mutex);
    const output::LinkId id = m_nextId++;
    // Server connections stay in order of arrival, before the client (there is never both for long).
    const auto at = std::find_if(m_entries.begin(), m_entries.end(),
                                 [](const Entry& e) { return e.side == Side::Client; });
    m_entries.insert(at, Entry{id, fd, Side::Server, std::move(peer), false, 0});
    return id;
}

output::LinkId AutomationConnections::setClient(int fd, std::string peer)
{
    std::lock_guard lock(m_mutex);
    const auto old = std::find_if(m_entries.begin(), m_entries.end(),
                                  [](const Entry& e) { return e.side == Side::Client; });
    if (old != m_entries.end()) {
        closeLocked(*old);
        m_entries.erase(old);
    }
    const output::LinkId id = m_nextId++;
    m_entries.push_back(Entry{id, fd, Side::Client, std::move(peer), false, 0});
    return id;
}

std::string AutomationConnections::remove(output::LinkId id)
{
    std::lock_guard lock(m_mutex);
    const auto it =
        std::find_if(m_entries.begin(), m_entries.end(), [id](const Entry& e) { return e.id == id; });
    if (it == m_entries.end())
        return {};
    std::string peer = std::move(it->peer);
    closeLocked(*it);
    m_entries.erase(it);
    return peer;
}

std::vector<std::string> AutomationConnections::removeAll(Side side)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> peers;
    for (Entry& entry : m_entries) {
        if (entry.side == side) {
            closeLocked(entry);
            peers.push_back(std::move(entry.peer));
        }
    }
    std::erase_if(m_entries, [side](const Entry& e) { return e.side == side; });
    return peers;
}

std::vector<AutomationConnections::Gone> AutomationConnections::reap()
{
    std::lock_guard lock(m_mutex);
    std::vector<pollfd> looks;
    std::vector<std::size_t> looked; // entry index of each look
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = m_entries[i];
        if (entry.id == m_inFlight || entry.lost)
            continue;
        looks.push_back(pollfd{entry.fd, POLLRDHUP, 0});
        looked.push_back(i);
    }
    std::vector<bool> gone(m_entries.size(), false);
    std::vector<int> errors(m_entries.size(), 0);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].lost && m_entries[i].id != m_inFlight) {
            gone[i] = true;
            errors[i] = m_entries[i].error;
        }
    }
    // No wait and no read: waiting bytes stay for the exchange to discard; only a close or an error
    // counts. POLLHUP, POLLERR and POLLNVAL are reported whatever is asked for.
    if (!looks.empty() && ::poll(looks.data(), looks.size(), 0) > 0) {
        for (std::size_t k = 0; k < looks.size(); ++k) {
            if ((looks[k].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0)
                continue;
            gone[looked[k]] = true;
            errors[looked[k]] = socketError(looks[k].fd);
        }
    }

    std::vector<Gone> out;
    std::vector<Entry> kept;
    kept.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (!gone[i]) {
            kept.push_back(std::move(m_entries[i]));
            continue;
        }
        Entry& entry = m_entries[i];
        // Oldest first, like one drop after the other: the newest is the target only when nothing
        // newer is left behind it.
        bool newerLeft = false;
        for (std::size_t j = i + 1; j < m_entries.size(); ++j)
            newerLeft = newerLeft || (m_entries[j].side == Side::Server && !m_entries[j].lost && !gone[j]);
        const bool wasTarget = entry.side == Side::Client || (!entry.lost && !newerLeft);
        out.push_back(Gone{entry.id, entry.side, entry.peer, errors[i], wasTarget});
        closeLocked(entry);
    }
    m_entries = std::move(kept);
    return out;
}

std::size_t AutomationConnections::serverCount() const
{
    std::lock_guard lock(m_mutex);
    return std::size_t(std::count_if(m_entries.begin(), m_entries.end(),
                                     [](const Entry& e) { return e.side == Side::Server && !e.lost; }));
}

output::LinkId AutomationConnections::oldestServer() const
{
    std::lock_guard lock(m_mutex);
    for (const Entry& entry : m_entries)
        if (entry.side == Side::Server)
            return entry.id;
    return output::kNoLink;
}

bool AutomationConnections::clientConnected() const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [](const Entry& e) { return e.side == Side::Client && !e.lost; });
}

output::LinkId AutomationConnections::inFlight() const
{
    std::lock_guard lock(m_mutex);
    return m_inFlight;
}

AutomationConnections::Entry* AutomationConnections::targetLocked(Side side)
{
    // Only the newest server connection gets lines; older ones never receive anything.
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if (it->side == side && !it->lost)
            return &*it;
    return nullptr;
}

bool AutomationConnections::isTargetLocked(const Entry& entry) const
{
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if (it->side == entry.side && !it->lost)
            return it->id == entry.id;
    return false;
}

void AutomationConnections::closeLocked(const Entry& entry)
{
    if (entry.id == m_inFlight)
        m_closeAfterExchange = true; // its exchange closes it when it ends
    else
        ::close(entry.fd);
}

bool AutomationConnections::markLost(output::LinkId id, int error)
{
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries) {
        if (entry.id != id)
            continue;
        const bool wasTarget = isTargetLocked(entry);
        entry.lost = true;
        entry.error = error;
        return wasTarget;
    }
    return false; // already taken off the list by the main thread
}

AutomationConnections::Waiting AutomationConnections::discardWaiting(int fd, int& error, Stray& stray,
                                                                     std::uint8_t credited)
{
    for (int budget = kDiscardBlocks; budget > 0; --budget) {
        const ssize_t got = ::recv(fd, m_block.data(), m_block.size(), MSG_DONTWAIT);
        if (got > 0) {
            stray.any = true;
            for (ssize_t k = 0; k < got; ++k) {
                const auto b = static_cast<std::uint8_t>(m_block[std::size_t(k)]);
                if (Is_Answer_Byte(b)) {
                    stray.answers = true;
                    stray.differs = stray.differs || b != credited;
                }
            }
            continue;
        }
        if (got == 0)
            return Waiting::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Waiting::Nothing;
        error = errno;
        return Waiting::Failed;
    }
    return Waiting::Nothing;
}

AutomationConnections::Waiting AutomationConnections::settleAfterAnswer(int fd, std::chrono::milliseconds quiet,
                                                                        int& error, Stray& stray,
                                                                        std::uint8_t credited)
{
    for (int budget = kDiscardBlocks; budget > 0; --budget) {
        pollfd look{fd, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&look, 1, int(quiet.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Waiting::Nothing;
        const Waiting waiting = discardWaiting(fd, error, stray, credited);
        if (waiting != Waiting::Nothing)
            return waiting;
    }
    return Waiting::Nothing;
}

std::chrono::milliseconds AutomationConnections::needsSettle(output::LinkId id, bool duplicateSeen)
{
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries) {
        if (entry.id != id)
            continue;
        entry.doubles = entry.doubles || duplicateSeen;
        if (entry.answered < kProbationLines)
            ++entry.answered;
        if (!entry.doubles && entry.answered >= kProbationLines)
            return std::chrono::milliseconds{0};
        return std::max(entry.quiet, m_settle);
    }
    return std::chrono::milliseconds{0};
}

void AutomationConnections::lengthenQuiet(output::LinkId id)
{
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries) {
        if (entry.id != id)
            continue;
        // Doubled each time, so a peer whose second answers come late is soon waited out, and a line
        // is sent again a few times at most.
        entry.doubles = true;
        entry.quiet = std::min(kLongestQuiet, std::max(entry.quiet, m_settle) * 2);
    }
}

bool AutomationConnections::strayAnswerWithin(Side side, std::chrono::milliseconds wait)
{
    std::lock_guard exchangeLock(m_exchangeMutex);
    output::LinkId id = output::kNoLink;
    int fd = -1;
    std::chrono::milliseconds quiet = wait;
    {
        std::lock_guard lock(m_mutex);
        Entry* target = targetLocked(side);
        if (target == nullptr)
            return false;
        id = target->id;
        fd = target->fd;
        quiet = std::max(quiet, target->quiet);
        m_inFlight = id;
        m_inFlightFd = fd;
    }
    struct EndOfWatch {
        AutomationConnections& self;
        ~EndOfWatch() { self.endExchange(); }
    } end{*this};
    int error = 0;
    Stray stray;
    if (discardWaiting(fd, error, stray) == Waiting::Nothing && quiet.count() > 0)
        (void)settleAfterAnswer(fd, quiet, error, stray, 0);
    if (stray.answers)
        lengthenQuiet(id);
    return stray.answers;
}

AutomationConnections::Exchange AutomationConnections::exchange(Side side, std::string_view line,
                                                                std::chrono::milliseconds wait,
                                                                const SendFunction& send)
{
    std::lock_guard exchangeLock(m_exchangeMutex);
    output::LinkId id = output::kNoLink;
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        Entry* target = targetLocked(side);
        if (target == nullptr)
            return Exchange{};
        id = target->id;
        fd = target->fd;
        m_inFlight = id;
        m_inFlightFd = fd;
    }
    struct EndOfExchange {
        AutomationConnections& self;
        ~EndOfExchange() { self.endExchange(); }
    } end{*this};
    return exchangeOn(id, fd, line, wait, send);
}

void AutomationConnections::endExchange()
{
    std::lock_guard lock(m_mutex);
    if (m_closeAfterExchange)
        ::close(m_inFlightFd);
    m_closeAfterExchange = false;
    m_inFlight = output::kNoLink;
    m_inFlightFd = -1;
}

AutomationConnections::Exchange AutomationConnections::exchangeOn(output::LinkId id, int fd,
                                                                  std::string_view line,
                                                                  std::chrono::milliseconds wait,
                                                                  const SendFunction& send)
{
    Exchange result;
    result.sent = Exchange::Sent::NotWhole;
    int error = 0;
    Stray stray; // bytes nobody waited for: some earlier line got more than one answer
    if (discardWaiting(fd, error, stray) != Waiting::Nothing) {
        result.targetLost = markLost(id, error);
        return result;
    }
    if (stray.answers) {
        // It came after the quiet time: the answer credited to the last line is in doubt, and the
        // connection waits longer after its answers from now on.
        result.strayBefore = true;
        lengthenQuiet(id);
    } else if (stray.any) {
        (void)needsSettle(id, true);
    }

    ssize_t sent = -1;
    do {
        sent = send ? send(fd, line.data(), line.size()) : systemSend(fd, line.data(), line.size());
    } while (sent < 0 && errno == EINTR);
    if (sent != ssize_t(line.size())) {
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return result; // the peer reads nothing: the line is not sent, the connection stays
        // A part of a line, or a connection that failed: no fragment may stay on the wire to run into
        // the next line. The peer learns at once; the main thread closes the descriptor.
        error = sent < 0 ? errno : 0;
        (void)::shutdown(fd, SHUT_RDWR);
        result.targetLost = markLost(id, error);
        return result;
    }
    result.sent = Exchange::Sent::Whole;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return unanswered(id, fd, wait, result);
        pollfd look{fd, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&look, 1, int(std::min<std::int64_t>(left.count(), 60'000)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return unanswered(id, fd, wait, result); // the wait ran out (or poll failed: nothing came)
        const ssize_t got = ::recv(fd, m_block.data(), m_block.size(), MSG_DONTWAIT);
        if (got > 0) {
            // Only the first byte of a block counts, as one answer to one line.
            const auto first = static_cast<std::uint8_t>(m_block[0]);
            if (Is_Answer_Byte(first)) {
                Stray extra;
                for (ssize_t k = 1; k < got; ++k) {
                    const auto b = static_cast<std::uint8_t>(m_block[std::size_t(k)]);
                    extra.any = true;
                    if (Is_Answer_Byte(b)) {
                        extra.answers = true;
                        extra.differs = extra.differs || b != first;
                    }
                }
                const std::chrono::milliseconds quiet = needsSettle(id, extra.any);
                if (quiet.count() > 0 && m_settle.count() > 0) {
                    const bool before = extra.any;
                    if (settleAfterAnswer(fd, quiet, error, extra, first) != Waiting::Nothing) {
                        result.targetLost = markLost(id, error);
                        return result; // the answer stands only on a connection still there
                    }
                    if (extra.any && !before)
                        (void)needsSettle(id, true);
                }
                // Another answer than this one right behind it: which was meant for the line is unknown.
                result.doubtful = extra.differs;
                result.settled = quiet.count() > 0 && m_settle.count() > 0 && !extra.any;
                result.answer = first;
                return result;
            }
            continue;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        // Closed or failed during the wait: no answer can come any more.
        result.targetLost = markLost(id, got < 0 ? errno : 0);
        return result;
    }
}

AutomationConnections::Exchange AutomationConnections::unanswered(output::LinkId id, int fd,
                                                                  std::chrono::milliseconds wait, Exchange result)
{
    // A line whose wait ran out leaves the connection out of step: its answer may still come, after
    // the next line has gone out, and would be taken for that line's. The connection is ended, so a
    // late answer has nowhere to land; the automation software connects again (or is connected to
    // again) and the line is sent anew. A caller that waits for no answer at all keeps it.
    // The line still counts as unanswered (not as a lost connection), so the log blames the silence.
    if (wait.count() > 0) {
        (void)::shutdown(fd, SHUT_RDWR);
        (void)markLost(id, 0);
    }
    return result;
}
