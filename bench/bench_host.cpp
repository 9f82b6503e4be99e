// A Qt host that does not link TUKCloudUtils: the "same host without the library" of tuk_bench,
// and the host that measures what loading the library costs.
//
//   bench_host idle SECONDS [LIBRARY]   idles SECONDS in its event loop; with LIBRARY, loads it
//   first bench_host load LIBRARY [PRELOAD...] loads the libraries PRELOAD, then times
//   dlopen(LIBRARY)
//                                         up to the return of the first
//                                         TUKNetWorkCheck::getInstance()
//
// Prints "RESULT value peakKiB bytes" like every case of tuk_bench: for idle, the CPU time of the
// whole process during the idle window as a percentage of one core; for load, milliseconds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Loads the library and asks for the monitor, as a host that loads it at run time does.
bool loadLibrary(const char* path)
{
    void* handle = ::dlopen(path, RTLD_LAZY);
    if (!handle) {
        std::fprintf(stderr, "%s\n", ::dlerror());
        return false;
    }
    using GetInstance = void* (*)();
    auto getInstance =
        reinterpret_cast<GetInstance>(::dlsym(handle, "_ZN15TUKNetWorkCheck11getInstanceEv"));
    return getInstance && getInstance();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    QCoreApplication app(argc, argv);
    if (std::strcmp(argv[1], "load") == 0) {
        for (int i = 3; i < argc; ++i) {
            if (!::dlopen(argv[i], RTLD_LAZY | RTLD_GLOBAL))
                return 1;
        }
        QElapsedTimer clock;
        clock.start();
        if (!loadLibrary(argv[2]))
            return 1;
        std::printf("RESULT %.4f %ld 0\n", double(clock.nsecsElapsed()) / 1e6, peakKiB());
        return 0;
    }
    const double seconds = std::atof(argv[2]);
    if (argc > 3 && !loadLibrary(argv[3]))
        return 1;
    const double before = cpuSeconds();
    QTimer::singleShot(int(seconds * 1000), &app, &QCoreApplication::quit);
    app.exec();
    std::printf("RESULT %.5f %ld 0\n", (cpuSeconds() - before) / seconds * 100, peakKiB());
    return 0;
}
