#include "ChaosPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace std::chrono;

std::string chunk(size_t n)
{
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    return size + std::string(n, 'c') + "\r\n";
}

// The request's head; its body is read and dropped. Empty when the client went away first.
std::string readRequest(int fd)
{
    std::string head;
    char buf[16384];
    size_t end;
    for (ssize_t n = 1; (end = head.find("\r\n\r\n")) == std::string::npos; head.append(buf, n))
        if ((n = ::recv(fd, buf, sizeof buf, 0)) <= 0 || head.size() > 65536)
            return std::string();
    const size_t at = head.find("\r\nContent-Length:");
    long long left = at == std::string::npos ? 0 : std::stoll(head.substr(at + 17));
    left -= (long long)(head.size() - end - 4);
    for (ssize_t n = 1; left > 0 && n > 0; left -= n)
        n = ::recv(fd, buf, sizeof buf, 0);
    return head;
}

} // namespace

ChaosPeer& ChaosPeer::instance()
{
    static ChaosPeer* peer = new ChaosPeer; // never destroyed, see the header
    return *peer;
}

ChaosPeer::ChaosPeer()
{
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(m_listen, 64);
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    std::thread([this] {
        for (int fd; (fd = ::accept(m_listen, nullptr, nullptr)) >= 0;) {
            ++m_open;
            std::thread([this, fd, draw = m_seed * 7919u + m_connections++] {
                const timeval limit{5, 0}; // a client that stops reading cannot hold us
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                serve(fd, draw);
                ::close(fd);
                ++m_served, --m_open;
            }).detach();
        }
    }).detach();
}

QString ChaosPeer::url(int fault, int size) const
{
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
    return fault < 0 ? base + "r/" : base + QStringLiteral("f/%1/%2").arg(fault).arg(size);
}

void ChaosPeer::serve(int fd, unsigned draw)
{
    std::mt19937 rng(draw);
    auto pick = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    const std::string request = readRequest(fd);
    if (request.empty())
        return;
    const size_t from = request.find(' ') + 1;
    const std::string path = request.substr(from, request.find(' ', from) - from);
    int fault = pick(0, Count - 1);
    size_t size = pick(0, 3) ? pick(0, 65536) : pick(2 << 20, 4 << 20);
    if (path.compare(0, 3, "/f/") == 0)
        fault = std::stoi(path.substr(3)), size = std::stoul(path.substr(path.find('/', 3) + 1));

    // What to send, cut after `cut` bytes, in pieces of `piece` bytes `napMs` apart, until
    // `deadline`; then close, or reset.
    std::string extra, status = "200 OK", framing;
    long long announced = size, napMs = 0, piece = 1 << 20;
    bool reset = false;
    auto deadline = steady_clock::now() + seconds(3);
    switch (fault) {
    case CutBody:
        announced = pick(0, 3) ? size + pick(1, 4096) : size / 2;
        break;
    case HugeHeaders:
        extra = pick(0, 1) ? "X-Huge: " + std::string(pick(8 << 10, 64 << 10), 'h') + "\r\n" : "";
        for (int i = pick(0, 1) ? pick(500, 2000) : 0; i > 0; --i)
            extra += "X-Repeat: " + std::to_string(i) + "\r\n";
        break;
    case CookieStorm:
        for (int i = pick(50, 300); i > 0; --i)
            extra += "Set-Cookie: c" + std::to_string(i) + "=v; Path=/\r\n";
        break;
    case RedirectLoop:
        extra = "Location: http://127.0.0.1:" + std::to_string(m_port) + path + "\r\n";
        status = "302 Found", size = 0, announced = 0;
        break;
    case NoLocation:
        status = std::to_string(pick(0, 1) ? 302 : pick(300, 308)) + " Moved", size = announced = 0;
        break;
    case RangeCut:
        status = "206 Partial Content", announced = -1;
        extra = "Content-Range: bytes 0-" + std::to_string(size + 99) + "/" +
                std::to_string(size + 100) + "\r\n";
        break;
    }
    std::string body(size, 'b');
    if (fault == BadChunked || fault == ChunkedCut || fault == Endless) {
        framing = "Transfer-Encoding: chunked\r\n", announced = -1, body.clear();
        const size_t total = fault == ChunkedCut ? std::max<size_t>(size, 2 << 20)
                             : fault == Endless  ? 8 << 20
                                                 : size;
        while (body.size() < total)
            body += chunk(pick(1, fault == ChunkedCut ? 256 << 10 : 16 << 10));
        body += fault == BadChunked ? (pick(0, 1) ? "zz\r\n" : "1f") : "";
    }
    if (announced >= 0)
        framing = "Content-Length: " + std::to_string(announced) + "\r\n";
    std::string out = "HTTP/1.1 " + status + "\r\n" + extra + framing + "Connection: close\r\n\r\n";
    out += request.compare(0, 5, "HEAD ") == 0 ? "" : body;
    size_t cut = out.size();
    switch (fault) {
    case Delay:
        std::this_thread::sleep_for(milliseconds(pick(100, 1500)));
        break;
    case Drip:
        piece = pick(64, 512), napMs = pick(1, 10), cut = std::min<size_t>(cut, 20000);
        break;
    case CutHeaders:
        cut = pick(0, int(out.find("\r\n\r\n")));
        break;
    case Reset:
        cut = pick(0, int(std::min<size_t>(cut, 1 << 20))), reset = true;
        break;
    case Garbage:
        out = pick(0, 1) ? "HTTP/1.1 2x0 \x01\x02 nonsense\r\n\r\n" : "\x16\x03\x01 garbage\n\n";
        cut = out.size();
        break;
    case Endless:
        out = pick(0, 1) ? out : "HTTP/1.0 200 OK\r\n\r\n" + body; // or ended by the close
        piece = 16 << 10, napMs = 5, cut = out.size();
        deadline = steady_clock::now() + milliseconds(pick(500, 2500));
        break;
    case ChunkedCut:
        cut -= std::min<size_t>(cut / 2, pick(1, 4096)), reset = pick(0, 3) == 0;
        break;
    case RangeCut: // the body is 100 bytes short of its range already
        reset = pick(0, 3) == 0;
        break;
    }
    for (size_t at = 0; at < cut && steady_clock::now() < deadline; at += piece) {
        const size_t n = std::min<size_t>(piece, cut - at);
        if (::send(fd, out.data() + at, n, MSG_NOSIGNAL) != ssize_t(n))
            return;
        std::this_thread::sleep_for(milliseconds(napMs));
    }
    const linger abort{1, 0};
    if (reset)
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}
