#include "platform/TUKUrlOpener_p.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tuk {
namespace platform {
namespace {

const char kOpenerName[] = "xdg-open";
const char kDefaultPath[] = "/usr/local/bin:/usr/bin:/bin";

// The first executable regular file called `name` in the absolute folders of PATH.
std::string findInPath(const char* name)
{
    const char* env = std::getenv("PATH");
    const std::string path = env ? env : kDefaultPath;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos)
            end = path.size();
        const std::string folder = path.substr(begin, end - begin);
        if (!folder.empty() && folder[0] == '/') {
            std::string candidate = folder;
            if (candidate.back() != '/')
                candidate += '/';
            candidate += name;
            struct stat st;
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        begin = end + 1;
    }
    return std::string();
}

// Reports errno to the parent through the error pipe and ends this process. Only async-signal-
// safe calls: this runs in a child of a process that may have other threads.
[[noreturn]] void failChild(int errorPipe)
{
    const int error = errno;
    ssize_t ignored = ::write(errorPipe, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

} // namespace

bool startUrlOpener(const std::string& utf8Text)
{
    if (utf8Text.find('\0') != std::string::npos)
        return false;
    const std::string program = findInPath(kOpenerName);
    if (program.empty())
        return false;

    // Everything the children need is prepared here: after fork() only async-signal-safe calls.
    char* const argv[] = {const_cast<char*>(kOpenerName), const_cast<char*>(utf8Text.c_str()),
                          nullptr};
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return false;

    // Double fork: the intermediate child starts the program and exits at once, so the program
    // is handed to init (or the nearest subreaper) and never becomes our zombie.
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        return false;
    }
    if (middle == 0) {
        ::close(errorPipe[0]);
        const pid_t opener = ::fork();
        if (opener < 0)
            failChild(errorPipe[1]);
        if (opener > 0)
            ::_exit(0);
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        // No file of ours beyond 0, 1 and 2 goes to the program (the error pipe is close-on-exec
        // already and stays usable until the exec).
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execv(program.c_str(), argv);
        failChild(errorPipe[1]);
    }

    ::close(errorPipe[1]);
    // The pipe reaches end of file when the program has been executed (close-on-exec), or carries
    // the errno of the step that failed.
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);

    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    return got == 0;
}

} // namespace platform
} // namespace tuk
