// Measures the firmware download path end to end: "Updater -G" against the
// local update server, next to curl fetching the very same image reply, so the
// client's own cost in time and memory shows against a plain HTTP download.
//
// Each program runs as a child of this one; its wall time is taken around
// fork and wait4, and its peak resident set from wait4's rusage. A second
// device with a tiny image gives the fixed cost of each program, so that what
// the large image adds can be expressed in copies of the image.
#include <birdmake.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kSerial = "5EED0001";
constexpr const char* kTinySerial = "5EED0002";
constexpr const char* kBuild = "1000";
constexpr const char* kVersion = "2.0.0";
constexpr size_t kFirmwareBlockSize = 64 * 1024;
// What the Updater may cost against curl: wall time, and peak memory added by
// the image, in image sizes.
constexpr double kWallGoal = 1.3;
constexpr double kAddedPeakGoal = 0.25;

struct Options {
    int runs = 31;
    int warmup = 1;
    size_t imageSize = 4 * 1024 * 1024;
    std::string updater = BENCH_UPDATER_PATH;
    std::string server = BENCH_SERVER_PATH;
    std::string curl = "curl";
    bool keep = false;
};

struct Measured {
    int exitCode = -1;
    double wallMs = 0;
    double cpuMs = 0;  // user + system
    long peakKiB = 0;
};

void usage(FILE* to)
{
    std::fprintf(to,
        "usage: download_bench [--runs N] [--warmup N] [--size BYTES] [--updater PATH]\n"
        "                      [--server PATH] [--curl PATH] [--keep]\n"
        "  --runs N      measured runs of each program (default 31)\n"
        "  --warmup N    unmeasured runs of each program first (default 1)\n"
        "  --size BYTES  firmware bytes in the image, a multiple of 65536 (default 4194304)\n"
        "  --updater, --server, --curl  programs to run (defaults: this build's Updater\n"
        "                and update-server, curl from PATH)\n"
        "  --keep        leave the working directory in place and print its path\n"
        "Goals: Updater wall time at most 1.3 times curl's, and at most a quarter of an\n"
        "image size added to its peak memory. Exit code 0 when every run checked out and\n"
        "the goals are met, 1 when a run did not check out, 2 for a bad command line,\n"
        "3 when a goal is missed.\n");
}

bool parseCount(const char* text, unsigned long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

// 0 to go on, else the exit code.
int parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return -1;
        }
        if (arg == "--keep") {
            options.keep = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        unsigned long long number = 0;
        if (arg == "--runs" && parseCount(value, number) && number >= 1 && number <= 1000) {
            options.runs = static_cast<int>(number);
        } else if (arg == "--warmup" && parseCount(value, number) && number <= 100) {
            options.warmup = static_cast<int>(number);
        } else if (arg == "--size" && parseCount(value, number) && number >= kFirmwareBlockSize
            && number % kFirmwareBlockSize == 0 && number <= (1ULL << 31)) {
            options.imageSize = static_cast<size_t>(number);
        } else if (arg == "--updater") {
            options.updater = value;
        } else if (arg == "--server") {
            options.server = value;
        } else if (arg == "--curl") {
            options.curl = value;
        } else {
            std::fprintf(stderr, "download_bench: bad option or value: %s %s\n", arg.c_str(), value);
            usage(stderr);
            return 2;
        }
    }
    return 0;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void makeDirs(const std::string& path)
{
    std::string sofar;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        sofar += part + "/";
        if (mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + sofar + ": " + std::strerror(errno));
    }
}

void removeTree(const std::string& path)
{
    pid_t pid = fork();
    if (pid == 0) {
        execlp("rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0)
        waitpid(pid, nullptr, 0);
}

// Runs argv with standard output and error sent to the given files and HOME
// set; argv[0] is looked up in PATH when it has no slash. Wall time is taken
// around fork and wait4, CPU time and peak memory come from wait4.
Measured runAndMeasure(char* const* argv, const char* outPath, const char* errPath, const char* home)
{
    Measured m;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing a run does may land in the real home directory.
        setenv("HOME", home, 1);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    pid_t done;
    do
        done = wait4(pid, &status, 0, &usage);
    while (done < 0 && errno == EINTR);
    auto end = std::chrono::steady_clock::now();
    if (done != pid)
        throw std::runtime_error(std::string("wait4: ") + std::strerror(errno));
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m.wallMs = std::chrono::duration<double, std::milli>(end - start).count();
    m.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    m.peakKiB = usage.ru_maxrss;
    return m;
}

// A child's peak resident set starts from what its parent held at the fork
// (the kernel keeps the larger of the two across exec), and this process holds
// images. So each run is started by a fresh copy of this program, small at
// its fork, which reports the figures back on a pipe:
//   download_bench --launch FD OUT ERR HOME PROGRAM ARGS...
constexpr const char* kLaunch = "--launch";

int launchMain(int argc, char** argv)
{
    if (argc < 7)
        return 2;
    const int fd = std::atoi(argv[2]);
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        return 1;
    try {
        const Measured m = runAndMeasure(argv + 6, argv[3], argv[4], argv[5]);
        const std::string line = std::to_string(m.exitCode) + " " + std::to_string(m.wallMs) + " "
            + std::to_string(m.cpuMs) + " " + std::to_string(m.peakKiB) + "\n";
        return write(fd, line.data(), line.size()) == ssize_t(line.size()) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "download_bench: %s\n", e.what());
        return 1;
    }
}

Measured runMeasured(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath,
    const std::string& home)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> launch = {"/proc/self/exe", kLaunch, fd, outPath, errPath, home};
    launch.insert(launch.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const auto& a : launch)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(fds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string reply;
    char buffer[256];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        reply.append(buffer, size_t(got));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Measured m;
    long peak = 0;
    if (std::sscanf(reply.c_str(), "%d %lf %lf %ld", &m.exitCode, &m.wallMs, &m.cpuMs, &peak) != 4)
        throw std::runtime_error("the launcher of " + args[0] + " reported nothing");
    m.peakKiB = peak;
    return m;
}

// The update server for the whole benchmark; stopped with SIGTERM on the way out.
class Server {
public:
    Server(const std::string& program, const std::string& catalogue, const std::string& work)
    {
        const std::string portFile = work + "/port";
        const std::string log = work + "/server.log";
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = open("/dev/null", O_RDONLY);
            if (fd < 0 || in < 0)
                _exit(126);
            dup2(in, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(program.c_str(), program.c_str(), "--catalogue", catalogue.c_str(), "--port", "0", "--port-file",
                portFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string text = readFile(portFile);
            if (!text.empty() && text.back() == '\n') {
                port_ = std::atoi(text.c_str());
                if (port_ > 0)
                    return;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("update server exited at start:\n" + readFile(log));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        throw std::runtime_error("update server did not report its port:\n" + readFile(log));
    }
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }

private:
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    int port_ = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    std::vector<double> wallMs;
    std::vector<double> cpuMs;
    long peakKiB = 0;
    void add(const Measured& m)
    {
        wallMs.push_back(m.wallMs);
        cpuMs.push_back(m.cpuMs);
        peakKiB = std::max(peakKiB, m.peakKiB);
    }
    double medianMs() const { return median(wallMs); }
    double medianCpuMs() const { return median(cpuMs); }
};

// One device of the catalogue with build kBuild; returns the BIRD file's bytes.
std::string addDevice(const std::string& catalogue, const char* serial, size_t blocks, size_t blockSize,
    uint64_t seed)
{
    birdmake::SampleOptions sample;
    sample.firmwareBlocks = blocks;
    sample.firmwareBlockSize = blockSize;
    sample.seed = seed;
    sample.build = kBuild;
    sample.version = kVersion;
    sample.serialHex = serial;
    sample.model = "BENCH-A";
    const std::string device = catalogue + "/devices/" + serial;
    makeDirs(device + "/builds");
    const std::string path = device + "/builds/" + kBuild + ".bird";
    std::string error;
    if (!birdmake::WriteFile(path, birdmake::SampleImage(sample), &error))
        throw std::runtime_error("cannot write " + path + ": " + error);
    writeText(device + "/builds/" + kBuild + ".version", std::string(kVersion) + "\n");
    writeText(device + "/latest", std::string(kBuild) + "\n");
    return readFile(path);
}

// What a correct op=bird reply for image is: the status line, then the image
// as padded base64 on one line.
size_t expectedReplySize(size_t imageBytes) { return 3 + (imageBytes + 2) / 3 * 4 + 1; }

struct Context {
    Options options;
    std::string work;
    std::string home;
    std::string base;
    int failures = 0;
};

std::string getBuildURL(const Context& c, const char* serial)
{
    return c.base + "?bld=" + kBuild + "&fw=" + kVersion + "&no_cal=false&op=bird&sn=" + serial + "&";
}

Measured runUpdater(Context& c, const char* serial, const std::string& image, const std::string& tag)
{
    const std::string store = c.work + "/store-" + tag;
    makeDirs(store);
    Measured m = runMeasured({c.options.updater, "-G", "-d", serial, "-b", kBuild, "-u", c.base, "-i", store},
        c.work + "/updater.out", c.work + "/updater.err", c.home);
    const std::string stored = store + "/updater/" + serial + "/" + kBuild + ".bird";
    if (m.exitCode != 0) {
        std::fprintf(stderr, "download_bench: Updater run %s exited with %d:\n%s", tag.c_str(), m.exitCode,
            readFile(c.work + "/updater.err").c_str());
        ++c.failures;
    } else if (readFile(stored) != image) {
        std::fprintf(stderr, "download_bench: Updater run %s: %s differs from the catalogue's image\n", tag.c_str(),
            stored.c_str());
        ++c.failures;
    }
    removeTree(store);
    return m;
}

Measured runCurl(Context& c, const char* serial, size_t imageBytes, const std::string& tag)
{
    const std::string body = c.work + "/curl.body";
    Measured m = runMeasured({c.options.curl, "-s", "-o", body, getBuildURL(c, serial)}, c.work + "/curl.out",
        c.work + "/curl.err", c.home);
    std::string reply = readFile(body);
    if (m.exitCode != 0 || reply.compare(0, 3, "ok\n") != 0 || reply.size() != expectedReplySize(imageBytes)) {
        std::fprintf(stderr, "download_bench: curl run %s: exit %d, %zu bytes of reply (expected %zu)\n",
            tag.c_str(), m.exitCode, reply.size(), expectedReplySize(imageBytes));
        ++c.failures;
    }
    std::remove(body.c_str());
    return m;
}

int runBenchmark(Context& c)
{
    const std::string catalogue = c.work + "/catalogue";
    const std::string image = addDevice(catalogue, kSerial, c.options.imageSize / kFirmwareBlockSize, kFirmwareBlockSize, 1);
    const std::string tiny = addDevice(catalogue, kTinySerial, 1, 1024, 2);
    Server server(c.options.server, catalogue, c.work);
    c.base = "http://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u";

    std::printf("download_bench: image %zu bytes (BIRD file), reply %zu bytes, %d runs each after %d warm-up\n",
        image.size(), expectedReplySize(image.size()), c.options.runs, c.options.warmup);
    std::printf("  Updater: %s -G -d %s -b %s -u %s -i <fresh store>\n", c.options.updater.c_str(), kSerial, kBuild,
        c.base.c_str());
    std::printf("  curl:    %s -s -o <file> '%s'\n\n", c.options.curl.c_str(), getBuildURL(c, kSerial).c_str());

    for (int i = 0; i < c.options.warmup; ++i) {
        runUpdater(c, kSerial, image, "warmup");
        runCurl(c, kSerial, image.size(), "warmup");
    }

    Series updater, curl, updaterTiny, curlTiny;
    std::printf("%4s %11s %11s %12s %9s %9s %10s\n", "run", "Updater ms", "(cpu ms)", "Updater KiB", "curl ms",
        "(cpu ms)", "curl KiB");
    for (int i = 0; i < c.options.runs; ++i) {
        const std::string tag = std::to_string(i + 1);
        Measured u = runUpdater(c, kSerial, image, tag);
        Measured k = runCurl(c, kSerial, image.size(), tag);
        updater.add(u);
        curl.add(k);
        std::printf("%4d %11.1f %11.1f %12ld %9.1f %9.1f %10ld\n", i + 1, u.wallMs, u.cpuMs, u.peakKiB, k.wallMs,
            k.cpuMs, k.peakKiB);
        updaterTiny.add(runUpdater(c, kTinySerial, tiny, "tiny" + tag));
        curlTiny.add(runCurl(c, kTinySerial, tiny.size(), "tiny" + tag));
    }

    const double imageKiB = static_cast<double>(image.size()) / 1024;
    auto copies = [&](const Series& big, const Series& small) {
        return static_cast<double>(big.peakKiB - small.peakKiB) / imageKiB;
    };
    std::printf("\n%-24s %15s %15s %15s\n", "", "median wall ms", "median cpu ms", "max peak KiB");
    auto row = [](const char* name, const Series& s) {
        std::printf("%-24s %15.1f %15.1f %15ld\n", name, s.medianMs(), s.medianCpuMs(), s.peakKiB);
    };
    row("Updater -G", updater);
    row("curl", curl);
    std::printf("%-24s %15.2f %15.2f %15.2f\n", "Updater/curl", updater.medianMs() / curl.medianMs(),
        updater.medianCpuMs() / curl.medianCpuMs(),
        static_cast<double>(updater.peakKiB) / static_cast<double>(curl.peakKiB));
    row("Updater -G, tiny image", updaterTiny);
    row("curl, tiny image", curlTiny);
    std::printf("\npeak memory the image adds, in image sizes (%zu bytes): Updater %.2f, curl %.2f\n", image.size(),
        copies(updater, updaterTiny), copies(curl, curlTiny));
    if (c.failures) {
        std::printf("download_bench: %d run(s) FAILED verification; the figures above are not valid\n", c.failures);
        return 1;
    }
    std::printf("download_bench: every Updater run stored a byte-identical image\n");
    const double wallRatio = updater.medianMs() / curl.medianMs();
    const double added = copies(updater, updaterTiny);
    const bool met = wallRatio <= kWallGoal && added <= kAddedPeakGoal;
    std::printf("goals: wall %.2fx curl (at most %.2fx), image adds %.2f image sizes to the peak (at most %.2f): %s\n",
        wallRatio, kWallGoal, added, kAddedPeakGoal, met ? "ok" : "MISSED");
    return met ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], kLaunch) == 0)
        return launchMain(argc, argv);
    Context c;
    int rc = parseOptions(argc, argv, c.options);
    if (rc != 0)
        return rc < 0 ? 0 : rc;
    // A server that dies mid-run must fail a request, not end this process.
    signal(SIGPIPE, SIG_IGN);

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/download-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        std::perror("download_bench: mkdtemp");
        return 1;
    }
    c.work = name.data();
    c.home = c.work + "/home";
    try {
        makeDirs(c.home);
        rc = runBenchmark(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "download_bench: %s\n", e.what());
        rc = 1;
    }
    if (c.options.keep)
        std::printf("download_bench: working directory kept: %s\n", c.work.c_str());
    else
        removeTree(c.work);
    return rc;
}
