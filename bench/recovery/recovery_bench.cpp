// recovery_bench: how close recovery comes to what the chip and the serial
// line allow, next to the established tools on the same emulator, image and rate.
//   LPC ISP:  the Updater binary recovering a SIZE-byte image, and lpc21isp
//             programming the same bytes, each on a fresh emulated chip that
//             takes the data sheet's time to erase and to program.
//   i.MX SDP: SDPLoader over the serial port loading SIZE bytes, and imx_uart.
// Each emulator paces its line at --baud (ten bits a byte), so the figures are
// those of a real port at that rate. See README.md.
#include "LpcSimulator.h"
#include "Process.h"
#include "SDPLoader.h"
#include "SdpSimulator.h"
#include "Serial_SDPLoader.h"
#include "birdmake.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    unsigned baud = 115200;
    size_t size = 64 * 1024;
    int runs = 3;
    std::string updater = UPDATER_BIN;
    std::string lpc21isp = "/usr/bin/lpc21isp";
    std::string imxUart = "/usr/bin/imx_uart";
};

const char* kUsage =
    "usage: recovery_bench [--baud N] [--size BYTES] [--runs N] [--updater PATH] [--lpc21isp PATH]\n"
    "                      [--imx-uart PATH]\n"
    "LPC recovery by the Updater binary against lpc21isp programming the same image, and the\n"
    "i.MX serial loader against imx_uart, on emulated chips behind a line paced at the given\n"
    "rate (one of 2400 ... 230400); the LPC chip takes 100 ms a sector to erase and 1 ms per\n"
    "256 bytes to program. Medians of the runs. Every run is checked: the emulated flash or\n"
    "RAM must hold the image. Exit 0 when all runs checked out, 1 when one did not (its\n"
    "output is shown), 2 for a bad command line. Defaults: 115200 baud, 65536 bytes (at most\n"
    "the 512 KiB flash), 3 runs; a peer that is not installed is skipped.\n";

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<uint8_t> cortexImage(size_t length)
{
    std::vector<uint8_t> image(length);
    uint32_t seed = 99;
    for (uint8_t& b : image) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    // A valid user-code checksum, so lpc21isp programs the image unchanged.
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) {
        uint32_t w;
        memcpy(&w, &image[4 * i], 4);
        sum += w;
    }
    const uint32_t check = 0u - sum;
    memcpy(&image[28], &check, 4);
    return image;
}

std::string writeTemp(const std::string& name, const std::vector<uint8_t>& bytes)
{
    const char* tmp = getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/recovery_bench_" + name;
    testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

// The image as recovery gets it: one firmware block at 0, encoded for the
// emulated chip's identifier.
std::string writeBird(const std::vector<uint8_t>& image)
{
    birdmake::Image bird;
    bird.blocks.push_back(birdmake::FirmwareBlock(0, image));
    bird.blocks.push_back(birdmake::InfoBlock("1", "1.0.0", "5A5A0042", "TS-Meter1"));
    const lpcsim::RomConfig chip;
    birdmake::EncodeFirmwareBlocks(bird, {chip.uid[0], chip.uid[1], chip.uid[2], chip.uid[3]});
    return writeTemp("lpc.bird", birdmake::MakeFile(bird));
}

// The flash holds the image, no line of it programmed twice.
bool flashHolds(lpcsim::LpcSimulator& sim, const std::vector<uint8_t>& image)
{
    return sim.with([&](const lpcsim::IspRom& rom) {
        return std::equal(image.begin(), image.end(), rom.memory().flash().begin()) &&
               rom.memory().corruptedLines() == 0;
    });
}

// One LPC programming on a fresh chip: argv run with the chip's port in
// place of "PORT". Returns the time it took.
double lpcRun(const Options& o, std::vector<std::string> argv, const std::vector<uint8_t>& image, bool* ok)
{
    lpcsim::SimulatorOptions so;
    so.baud = o.baud;
    lpcsim::LpcSimulator sim(so);
    std::string error;
    *ok = sim.start(&error);
    if (!*ok) {
        fprintf(stderr, "lpcsim: %s\n", error.c_str());
        return 0;
    }
    std::replace(argv.begin(), argv.end(), std::string("PORT"), sim.path());
    testsupport::TempDir home;
    testsupport::ProcessOptions po;
    po.timeout = std::chrono::seconds(300);
    po.env["HOME"] = home.path();
    const auto start = Clock::now();
    const testsupport::ProcessResult r = testsupport::RunProcess(argv, po);
    const double whole = seconds(start);
    *ok = r.exitCode == 0 && flashHolds(sim, image);
    if (!*ok)
        fprintf(stderr, "%s: exit %d, flash %s\n%s%s\n", argv[0].c_str(), r.exitCode,
                flashHolds(sim, image) ? "holds the image" : "does not hold the image", r.out.c_str(),
                r.err.c_str());
    return whole;
}

// Our serial loader: writeLoader and startLoader (init's one-second settling
// pause is left out and reported apart).
double imxOurs(const Options& o, const std::vector<uint8_t>& image, double* initTime, bool* ok)
{
    sdpsim::SimulatorOptions so;
    so.baud = o.baud;
    sdpsim::SdpSimulator sim(so);
    std::string error;
    *ok = sim.start(&error);
    if (!*ok)
        return 0;
    SDPLoader loader;
    loader.setLoader(std::make_unique<Serial_SDPLoader>(sim.path()));
    const auto initStart = Clock::now();
    *ok = loader.init() == aErrNone;
    *initTime = seconds(initStart);
    const auto start = Clock::now();
    *ok = *ok && loader.writeLoader(image.data(), image.size(), 0x20001000) == SDPLoader::LOADER_OK &&
          loader.startLoader(0x20001000) == SDPLoader::LOADER_OK;
    const double whole = seconds(start);
    *ok = *ok && sim.with([&](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) {
        return rom.read(0x20001000, image.size()) == image && rom.jumped();
    });
    return whole;
}

double imxPeer(const Options& o, const std::string& imagePath, const std::string& confPath,
               const std::vector<uint8_t>& image, bool* ok)
{
    sdpsim::SimulatorOptions so;
    so.baud = o.baud;
    sdpsim::SdpSimulator sim(so);
    std::string error;
    *ok = sim.start(&error);
    if (!*ok)
        return 0;
    testsupport::ProcessOptions po;
    po.timeout = std::chrono::seconds(300);
    const auto start = Clock::now();
    const testsupport::ProcessResult r = testsupport::RunProcess({o.imxUart, "-n", sim.path(), confPath, imagePath}, po);
    const double whole = seconds(start);
    *ok = r.exitCode == 0 && sim.with([&](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) {
        return rom.read(0x20001000, image.size()) == image && rom.jumped();
    });
    if (!*ok)
        fprintf(stderr, "imx_uart: exit %d\n%s%s\n", r.exitCode, r.out.c_str(), r.err.c_str());
    return whole;
}

// The image with an i.MX image vector table at its start, loaded at 0x20001000.
std::vector<uint8_t> imxImage(size_t length)
{
    std::vector<uint8_t> image = cortexImage(length);
    const uint32_t base = 0x20001000;
    const uint32_t words[11] = {0x412000D1, base + 0x100, 0, 0, base + 0x20, base, 0, 0, base, uint32_t(length), 0};
    memcpy(image.data(), words, sizeof words);
    return image;
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--baud") o.baud = unsigned(strtoul(value, nullptr, 10));
        else if (option == "--size") o.size = size_t(strtoul(value, nullptr, 10));
        else if (option == "--runs") o.runs = atoi(value);
        else if (option == "--updater") o.updater = value;
        else if (option == "--lpc21isp") o.lpc21isp = value;
        else if (option == "--imx-uart") o.imxUart = value;
        else return false;
    }
    // The rates the ISP client offers; the image fits in the flash.
    const unsigned rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    return argc % 2 == 1 && std::find(std::begin(rates), std::end(rates), o.baud) != std::end(rates) &&
           o.size >= 4096 && o.size <= 0x80000 && o.runs > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!parse(argc, argv, o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    bool allOk = true;
    const double kb = double(o.size) / 1000.0;
    // Uuencoded lines carry 45 bytes in 63 characters (length, 60, CR LF).
    const double lpcLimit = o.baud / 10.0 * 45.0 / 63.0;
    const double rawLimit = o.baud / 10.0;
    printf("recovery_bench: %zu bytes at %u baud, %d run(s), medians\n\n", o.size, o.baud, o.runs);

    const std::vector<uint8_t> lpcImage = cortexImage(o.size);
    const std::string lpcPath = writeTemp("lpc.bin", lpcImage);
    const std::string birdPath = writeBird(lpcImage);
    const std::string rate = std::to_string(o.baud);
    std::vector<double> ours, peer;
    for (int run = 0; run < o.runs; ++run) {
        bool ok = false;
        ours.push_back(lpcRun(o, {o.updater, "-U", "-t", "RECOVER", "-s", "PORT", "-o", rate, "-f", birdPath},
                              lpcImage, &ok));
        allOk = allOk && ok;
        if (testsupport::PathExists(o.lpc21isp)) {
            peer.push_back(lpcRun(o, {o.lpc21isp, "-bin", lpcPath, "PORT", rate, "14746"}, lpcImage, &ok));
            allOk = allOk && ok;
        }
    }
    // What no client beats: the chip erasing its 30 sectors and programming
    // the image, and the image's uuencoded lines on the line.
    const lpcsim::RomConfig chip;
    const double chipWork = (30.0 * chip.eraseUsPerSector + double(o.size) / 256.0 * chip.copyUsPer256) / 1e6;
    const double floor = chipWork + double(o.size) / lpcLimit;
    printf("LPC ISP (chip's erase and programming %.2f s + payload at the line limit of %.0f B/s = %.2f s)\n",
           chipWork, lpcLimit, floor);
    printf("  Updater recovery           %7.2f s  %7.0f B/s  limit/time %.0f%%  (id, erase, write, copy, go)\n",
           median(ours), o.size / median(ours), 100.0 * floor / median(ours));
    if (!peer.empty())
        printf("  lpc21isp whole run         %7.2f s  %7.0f B/s  ours/lpc21isp time %.2f\n", median(peer),
               o.size / median(peer), median(ours) / median(peer));
    else
        printf("  lpc21isp: not installed, skipped\n");

    const std::vector<uint8_t> imxImg = imxImage(o.size);
    const std::string imxPath = writeTemp("imx.imx", imxImg);
    std::vector<uint8_t> conf;
    const std::string confText = "mxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,1M\n";
    conf.assign(confText.begin(), confText.end());
    const std::string confPath = writeTemp("rt.conf", conf);
    std::vector<double> imxOursTimes, imxInit, imxPeerTimes;
    for (int run = 0; run < o.runs; ++run) {
        bool ok = false;
        double init = 0;
        imxOursTimes.push_back(imxOurs(o, imxImg, &init, &ok));
        imxInit.push_back(init);
        allOk = allOk && ok;
        if (testsupport::PathExists(o.imxUart)) {
            imxPeerTimes.push_back(imxPeer(o, imxPath, confPath, imxImg, &ok));
            allOk = allOk && ok;
        }
    }
    printf("\ni.MX SDP over UART (line limit %.0f B/s)\n", rawLimit);
    printf("  SDPLoader write+jump       %7.2f s  %7.0f B/s  %5.1f%% of limit (+ %.2f s port settling in init)\n",
           median(imxOursTimes), o.size / median(imxOursTimes), 100.0 * o.size / median(imxOursTimes) / rawLimit,
           median(imxInit));
    if (!imxPeerTimes.empty())
        printf("  imx_uart whole run         %7.2f s  %7.0f B/s  ours/imx_uart time %.2f\n", median(imxPeerTimes),
               o.size / median(imxPeerTimes), median(imxOursTimes) / median(imxPeerTimes));
    else
        printf("  imx_uart: not installed, skipped\n");
    printf("\n%s (%.1f kB image)\n", allOk ? "all runs checked out" : "SOME RUNS FAILED", kb);
    remove(lpcPath.c_str());
    remove(birdPath.c_str());
    remove(imxPath.c_str());
    remove(confPath.c_str());
    return allOk ? 0 : 1;
}
