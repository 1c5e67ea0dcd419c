#include "SdpSimulator.h"

namespace sdpsim {

SdpSimulator::SdpSimulator(const SimulatorOptions& options)
    : rom_(options.rom),
      uart_(rom_, options.splitReplyUs, options.replyByteGapUs),
      line_([this](const uint8_t* bytes, std::size_t length, unsigned,
                   simline::Reply& reply) { uart_.feed(bytes, length, reply); },
            options.baud)
{
}

}  // namespace sdpsim
