#ifndef TUKTEST_CHAOSPEER_H
#define TUKTEST_CHAOSPEER_H

#include <QString>

#include <atomic>

// An HTTP peer on a free 127.0.0.1 port that misbehaves on purpose, one thread per connection.
// Each connection reads one request and answers it as its path says: "/f/F/N" with fault F and an
// N-byte body, any other path with a fault and a size drawn from the seed and the connection's
// number (a seed replays the same answers). Every connection ends within about three seconds.
class ChaosPeer
{
public:
    enum Fault
    {
        Ok,          // a correct answer with Content-Length (all but Garbage build on it)
        Delay,       // a pause before it
        Drip,        // it in small pieces with pauses, between header lines too
        CutHeaders,  // a close inside the headers
        CutBody,     // a Content-Length longer than the body (or shorter), then close
        Reset,       // a reset anywhere
        Garbage,     // no HTTP at all
        HugeHeaders, // one very long header line, or thousands of repeated ones
        CookieStorm, // hundreds of Set-Cookie lines
        BadChunked,  // a chunk-size line garbled or cut, then close
        Endless,     // a chunked or unframed body that drips until the peer gives up
        ChunkedCut,  // 2-4 MiB chunked, cut inside a chunk by a close or a reset
        RangeCut,    // a 206 without Content-Length, closed before its Content-Range is complete
        RedirectLoop,
        NoLocation, // a 3xx without Location
        Count
    };

    // The peer lives until the process ends: a connection may outlast the test that made it.
    static ChaosPeer& instance();

    QString url(int fault = -1, int size = 0) const;
    void reseed(unsigned seed) { m_seed = seed, m_connections = 0; }
    int served() const { return m_served; } // connections ended
    int open() const { return m_open; }     // connections running

private:
    ChaosPeer();
    void serve(int fd, unsigned draw);

    int m_listen = -1, m_port = 0;
    std::atomic<unsigned> m_seed{1}, m_connections{0};
    std::atomic<int> m_served{0}, m_open{0};
};

#endif // TUKTEST_CHAOSPEER_H
