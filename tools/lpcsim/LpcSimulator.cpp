#include "LpcSimulator.h"

namespace lpcsim {

LpcSimulator::LpcSimulator(const SimulatorOptions& options)
    : options_(options),
      rom_(options.rom),
      line_(
          [this](const uint8_t* bytes, std::size_t length, unsigned hostRate, simline::Reply& reply) {
              rom_.feed(bytes, length, hostRate);
              for (simline::Segment& s : rom_.takeOutput()) reply.push_back(std::move(s));
          },
          options.baud)
{
    rom_.onFlashChanged([this] {
        if (!options_.flashOut.empty()) {
            std::string error;
            if (!rom_.memory().dumpFlash(options_.flashOut, &error)) dumpError_ = error;
        }
    });
}

bool LpcSimulator::start(std::string* error)
{
    if (!options_.flashOut.empty() && !rom_.memory().dumpFlash(options_.flashOut, error)) return false;
    return line_.start(error);
}

std::string LpcSimulator::dumpError()
{
    std::lock_guard<std::mutex> hold(line_.lock());
    return dumpError_;
}

}  // namespace lpcsim
