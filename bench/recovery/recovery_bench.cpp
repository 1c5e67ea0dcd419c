// recovery_bench: how close the boot-ROM clients come to the serial line's
// limit, next to the established tools on the same emulator, image and rate.
//   LPC ISP:  NXPSerialClass programming SIZE bytes, and lpc21isp doing the same.
//   i.MX SDP: SDPLoader over the serial port loading SIZE bytes, and imx_uart.
// Each emulator paces its line at --baud (ten bits a byte), so the figures are
// those of a real port at that rate. See README.md.
#include "LpcSimulator.h"
#include "NXPSerialClass.h"
#include "Process.h"
#include "SDPLoader.h"
#include "SdpSimulator.h"
#include "Serial_SDPLoader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    unsigned baud = 115200;
    size_t size = 64 * 1024;
    int runs = 3;
    std::string lpc21isp = "/usr/bin/lpc21isp";
    std::string imxUart = "/usr/bin/imx_uart";
};

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

// One programming of the LPC flash with our client: the recovery flow's steps.
// Returns the whole time, and the time of the write-and-copy part in *transfer.
double lpcOurs(const Options& o, const std::vector<uint8_t>& image, double* transfer, bool* ok)
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
    NXPSerialClass isp;
    const auto start = Clock::now();
    *ok = isp.Connect(sim.path().c_str(), o.baud) == aErrNone && isp.Sync() == aErrNone && isp.Unlock() == aErrNone &&
          isp.Prepare(0, 29) == aErrNone && isp.Erase(0, 29) == aErrNone && isp.SetEcho(false) == aErrNone;
    const auto transferStart = Clock::now();
    for (uint32_t offset = 0; *ok && offset < image.size(); offset += 4096) {
        const uint32_t chunk = std::min<uint32_t>(4096, uint32_t(image.size()) - offset);
        *ok = isp.WriteForCopy(NXPSerialClass::WRITE_ADDRESS, chunk, &image[offset]) == aErrNone &&
              isp.Prepare(NXPSerialClass::SectorFromAddress(offset), NXPSerialClass::LastSectorOfCopy(offset, chunk)) ==
                  aErrNone &&
              isp.CopyToFlash(offset, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(chunk)) == aErrNone;
    }
    *transfer = seconds(transferStart);
    *ok = *ok && isp.ExecuteFrom(0) == aErrNone;
    const double whole = seconds(start);
    *ok = *ok && sim.with([&](const lpcsim::IspRom& rom) {
        return std::equal(image.begin(), image.end(), rom.memory().flash().begin());
    });
    return whole;
}

double lpcPeer(const Options& o, const std::string& imagePath, const std::vector<uint8_t>& image, bool* ok)
{
    lpcsim::SimulatorOptions so;
    so.baud = o.baud;
    lpcsim::LpcSimulator sim(so);
    std::string error;
    *ok = sim.start(&error);
    if (!*ok)
        return 0;
    testsupport::ProcessOptions po;
    po.timeout = std::chrono::seconds(300);
    const auto start = Clock::now();
    const testsupport::ProcessResult r = testsupport::RunProcess(
        {o.lpc21isp, "-bin", imagePath, sim.path(), std::to_string(o.baud), "14746"}, po);
    const double whole = seconds(start);
    *ok = r.exitCode == 0 && sim.with([&](const lpcsim::IspRom& rom) {
        return std::equal(image.begin(), image.end(), rom.memory().flash().begin());
    });
    if (!*ok)
        fprintf(stderr, "lpc21isp: exit %d\n%s%s\n", r.exitCode, r.out.c_str(), r.err.c_str());
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
    *ok = *ok && loader.writeLoader(image.data(), image.size(), 0x20001000) == SDPLoader::LOADER_OK;
    loader.startLoader(0x20001000);
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
        else if (option == "--lpc21isp") o.lpc21isp = value;
        else if (option == "--imx-uart") o.imxUart = value;
        else return false;
    }
    return argc % 2 == 1 && o.baud >= 2400 && o.size >= 4096 && o.runs > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        fprintf(stderr, "usage: recovery_bench [--baud N] [--size BYTES] [--runs N] [--lpc21isp PATH] [--imx-uart PATH]\n");
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
    std::vector<double> ours, oursTransfer, peer;
    for (int run = 0; run < o.runs; ++run) {
        bool ok = false;
        double transfer = 0;
        ours.push_back(lpcOurs(o, lpcImage, &transfer, &ok));
        oursTransfer.push_back(transfer);
        allOk = allOk && ok;
        if (testsupport::PathExists(o.lpc21isp)) {
            peer.push_back(lpcPeer(o, lpcPath, lpcImage, &ok));
            allOk = allOk && ok;
        }
    }
    printf("LPC ISP (line limit for uuencoded payload %.0f B/s)\n", lpcLimit);
    printf("  NXPSerialClass write+copy  %7.2f s  %7.0f B/s  %5.1f%% of limit\n", median(oursTransfer),
           o.size / median(oursTransfer), 100.0 * o.size / median(oursTransfer) / lpcLimit);
    printf("  NXPSerialClass whole run   %7.2f s  %7.0f B/s  (sync, unlock, erase, write, copy, go)\n", median(ours),
           o.size / median(ours));
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
    remove(imxPath.c_str());
    remove(confPath.c_str());
    return allOk ? 0 : 1;
}
