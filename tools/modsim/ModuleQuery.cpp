#include "ModuleQuery.h"

#include "ModuleFirmware.h"
#include "Uei.h"
#include "VirtualModule.h"
#include "Wire.h"

namespace modsim {

namespace {
constexpr std::uint8_t kBuild = 0xFF, kHasUei = 1, kClassQuantity = 4, kSubClassQuantity = 5, kEntityGroup = 6;
}  // namespace

void answerQuery(VirtualModule& m, ModuleFirmware& fw, const Packet& p) {
    const std::vector<std::uint8_t>& d = p.data;
    if (d.size() < 2) return;
    const std::uint8_t sub = d[1];
    std::vector<std::uint8_t> out{kCmdQuery, sub};
    if (sub == kBuild && d.size() == 2) {
        // A module whose firmware predates the query stays silent.
        if (!m.config().buildQuery) return;
        putBE32(out, m.config().build);
    } else if (sub == kHasUei && d.size() == 6) {
        out.insert(out.end(), d.begin() + 2, d.begin() + 5);
        out.push_back(fw.hasUei(d[2], d[3], d[4], d[5]));
    } else if (sub == kClassQuantity && d.size() == 3) {
        out.push_back(d[2]);
        out.push_back(fw.classQuantity(d[2]));
    } else if ((sub == kSubClassQuantity || sub == kEntityGroup) && d.size() == 4) {
        out.push_back(d[2]);
        out.push_back(d[3]);
        out.push_back(sub == kSubClassQuantity ? fw.subClassQuantity(d[2], d[3]) : fw.entityGroup(d[2], d[3]));
    } else {
        out = {kCmdQuery, std::uint8_t(sub | 0x80), err::kParam};
    }
    m.send(Packet{m.config().address, std::move(out)});
}

void answerEntityStore(VirtualModule& m, ModuleFirmware& fw, const Packet& p) {
    UeiRequest r;
    if (!parseUei(p, r)) return;
    if (r.index != 0) return sendUeiError(m, r, err::kInvalidEntity);
    if (r.option > 2 || !r.set || r.get) return sendUeiError(m, r, err::kInvalidOption);
    if (r.value.size() != 4) return sendUeiError(m, r, err::kParam);
    const std::uint32_t target = getBE32(r.value.data());
    const std::uint8_t code = fw.storeOperation(r.option, std::uint8_t(target >> 8), std::uint8_t(target));
    if (code != err::kNone) return sendUeiError(m, r, code);
    sendUeiReply(m, r, r.value);
}

}  // namespace modsim
