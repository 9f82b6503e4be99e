// Benchmark: TUKCloudHttpUtils::uploadFileToPYX of a large file to a loopback sink, beside
// `curl -F` of the same file to the same sink, with the peak resident memory of each client.
//
//   cloud_upload_bench [--size BYTES[K|M|G]] [--runs N] [--real] [--dir DIR] [--curl PATH]
//
// Defaults: 1 GiB, 1 run, a sparse file in a temporary folder under the system's temp location.
// --real writes the file's bytes instead (a pseudo-random pattern), so reading it costs what
// reading a real file from the page cache costs.
//
// Each upload runs in a child process (this program with --client, or curl), so that its peak
// RSS (VmHWM, from wait4's ru_maxrss) is its own. The sink is a plain-socket HTTP/1.1 server on
// 127.0.0.1 inside this process: it reads each request body to the end, counts it and answers 200.
// Throughput is measured by the sink, from accepting the connection to the last body byte.
//
// Exit status: 0 when every upload delivered the whole file and uploadFileToPYX stayed under the
// 40 MiB peak RSS target; 1 otherwise.

#include <TUKCloudUtils/TUKCloudHttpUtils.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kRssTargetMiB = 40.0;

// ---- sink
// ----------------------------------------------------------------------------------------

struct Received
{
    long long bodyBytes = -1; // -1: the request was not read to the end
    double seconds = 0;       // accept to last body byte
};

class Sink
{
public:
    bool start()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0)
            return false;
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_fd, 16) != 0)
            return false;
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        if (m_thread.joinable())
            m_thread.join();
    }

    int port() const { return m_port; }

    // The record of the request that arrived last.
    Received last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.empty() ? Received() : m_received.back();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.size();
    }

private:
    void run()
    {
        for (;;) {
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                return;
            serve(c);
            ::close(c);
        }
    }

    static bool sendAll(int fd, const std::string& s)
    {
        size_t off = 0;
        while (off < s.size()) {
            const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += size_t(n);
        }
        return true;
    }

    static std::string lower(std::string s)
    {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char ch) { return ::tolower(ch); });
        return s;
    }

    void serve(int c)
    {
        const auto begin = std::chrono::steady_clock::now();
        Received rec;
        std::vector<char> buf(256 * 1024);
        std::string head;
        size_t headEnd = std::string::npos;
        while (headEnd == std::string::npos && head.size() < 65536) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            head.append(buf.data(), size_t(n));
            headEnd = head.find("\r\n\r\n");
        }
        if (headEnd != std::string::npos) {
            const std::string fields = lower(head.substr(0, headEnd + 2));
            long long length = -1;
            const size_t at = fields.find("\r\ncontent-length:");
            if (at != std::string::npos)
                length = std::atoll(fields.c_str() + at + std::strlen("\r\ncontent-length:"));
            if (fields.find("\r\nexpect: 100-continue") != std::string::npos)
                sendAll(c, "HTTP/1.1 100 Continue\r\n\r\n");
            long long got = (long long)(head.size() - (headEnd + 4));
            while (length >= 0 && got < length) {
                const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                got += n;
            }
            if (length >= 0 && got == length)
                rec.bodyBytes = got;
        }
        rec.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const std::string body = "received " + std::to_string(rec.bodyBytes);
        const std::string status = rec.bodyBytes >= 0 ? "200 OK" : "400 Bad Request";
        sendAll(c, "HTTP/1.1 " + status +
                       "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back(rec);
    }

    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<Received> m_received;
};

// ---- children
// ------------------------------------------------------------------------------------

struct ChildResult
{
    bool ok = false;
    double wallSeconds = 0;
    double peakRssMiB = 0;
};

ChildResult runChild(const std::vector<std::string>& args)
{
    ChildResult r;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return r;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return r;
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    r.peakRssMiB = double(usage.ru_maxrss) / 1024.0; // KiB on Linux
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

int clientMain(int argc, char** argv)
{
    // cloud_upload_bench --client URL FILE
    QCoreApplication app(argc, argv);
    const QString text = TUKCloudHttpUtils::uploadFileToPYX(
        QString::fromLocal8Bit(argv[2]), QStringLiteral("bench-token"),
        QString::fromLocal8Bit(argv[3]), QStringLiteral("application/octet-stream"));
    if (text.startsWith(QLatin1String("received ")))
        return 0;
    std::fprintf(stderr, "uploadFileToPYX answered \"%s\"\n", qPrintable(text));
    return 1;
}

long long parseSize(const std::string& s)
{
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    long long mult = 1;
    if (end && *end) {
        switch (::toupper(*end)) {
        case 'K':
            mult = 1024LL;
            break;
        case 'M':
            mult = 1024LL * 1024;
            break;
        case 'G':
            mult = 1024LL * 1024 * 1024;
            break;
        default:
            return -1;
        }
    }
    return v > 0 ? (long long)(v * double(mult)) : -1;
}

bool makeFile(const QString& path, long long size, bool real)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (!real)
        return f.resize(size);
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char& ch : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = char(x);
    }
    for (long long left = size; left > 0; left -= block.size()) {
        const qint64 n = qMin<qint64>(left, block.size());
        if (f.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

std::string selfPath()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

void usage()
{
    std::fprintf(stderr, "usage: cloud_upload_bench [--size BYTES[K|M|G]] [--runs N] [--real] "
                         "[--dir DIR] [--curl PATH]\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--client") == 0)
        return clientMain(argc, argv);

    long long size = 1024LL * 1024 * 1024;
    int runs = 1;
    bool real = false;
    std::string dir;
    std::string curl = "curl";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--size" && hasValue)
            size = parseSize(argv[++i]);
        else if (a == "--runs" && hasValue)
            runs = std::atoi(argv[++i]);
        else if (a == "--real")
            real = true;
        else if (a == "--dir" && hasValue)
            dir = argv[++i];
        else if (a == "--curl" && hasValue)
            curl = argv[++i];
        else {
            usage();
            return 2;
        }
    }
    if (size <= 0 || runs <= 0) {
        usage();
        return 2;
    }

    QTemporaryDir tmp(dir.empty() ? QDir::tempPath() + QStringLiteral("/cloud-upload-bench-XXXXXX")
                                  : QString::fromStdString(dir) +
                                        QStringLiteral("/cloud-upload-bench-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    const QString file = tmp.filePath(QStringLiteral("upload.bin"));
    if (!makeFile(file, size, real)) {
        std::fprintf(stderr, "cannot make a %lld-byte file in %s\n", size, qPrintable(tmp.path()));
        return 1;
    }

    Sink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "cannot start the sink\n");
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(sink.port()) + "/upload";
    const std::string path = file.toStdString();

    std::printf("file: %lld bytes (%.1f MiB, %s), sink %s, %d run(s)\n\n", size,
                double(size) / kMiB, real ? "real data" : "sparse", url.c_str(), runs);
    std::printf("%-4s %-16s %14s %10s %10s %10s %14s\n", "run", "client", "body bytes", "sink s",
                "MiB/s", "wall s", "peak RSS MiB");

    bool allOk = true;
    double worstRss = 0;
    for (int run = 1; run <= runs; ++run) {
        double qtRate = 0, curlRate = 0;
        struct Client
        {
            const char* name;
            std::vector<std::string> args;
        };
        const std::vector<Client> clients{
            {"uploadFileToPYX", {selfPath(), "--client", url, path}},
            {"curl -F",
             {curl, "-sS", "-o", "/dev/null", "-F", "access_token=bench-token", "-F",
              "project_name=kpl_web", "-F",
              "upload_file=@" + path + ";type=application/octet-stream", url}}};
        for (const Client& client : clients) {
            const size_t before = sink.count();
            const ChildResult child = runChild(client.args);
            const Received rec = sink.count() > before ? sink.last() : Received();
            // The multipart envelope adds a few hundred bytes to the file.
            const bool whole = rec.bodyBytes >= size && rec.bodyBytes < size + 4096;
            const double rate = whole && rec.seconds > 0 ? double(size) / kMiB / rec.seconds : 0;
            std::printf("%-4d %-16s %14lld %10.3f %10.1f %10.3f %14.1f%s\n", run, client.name,
                        rec.bodyBytes, rec.seconds, rate, child.wallSeconds, child.peakRssMiB,
                        child.ok && whole ? "" : "  FAILED");
            allOk = allOk && child.ok && whole;
            if (client.args[1] == "--client") {
                qtRate = rate;
                worstRss = std::max(worstRss, child.peakRssMiB);
            } else {
                curlRate = rate;
            }
        }
        if (curlRate > 0)
            std::printf("%-4d %-16s %14s %10s %9.2fx\n", run, "ratio vs curl", "", "",
                        qtRate / curlRate);
    }
    sink.stop();

    const bool rssOk = worstRss > 0 && worstRss < kRssTargetMiB;
    std::printf("\npeak RSS of uploadFileToPYX: %.1f MiB (target: under %.0f MiB) %s\n", worstRss,
                kRssTargetMiB, rssOk ? "ok" : "MISSED");
    return allOk && rssOk ? 0 : 1;
}
