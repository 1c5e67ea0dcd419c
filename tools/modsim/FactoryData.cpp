#include "FactoryData.h"

#include "VirtualModule.h"
#include "Wire.h"

#include <algorithm>

namespace modsim {

namespace {
constexpr std::uint8_t kFirst = 0x40, kClose = 0x20, kSet = 0x10, kIndexBits = 0x0F, kErrorBit = 0x80;
constexpr std::size_t kMaxChunk = 26;
}  // namespace

FactoryData::FactoryData(VirtualModule& module) : module_(module) {
    const ModuleConfig& c = module_.config();
    areas_.resize(std::min(c.factoryIndexCount, 16u));
    for (const auto& entry : c.factoryData)
        if (entry.first < areas_.size())
            areas_[entry.first].assign(entry.second.begin(),
                                       entry.second.begin() + long(std::min<std::size_t>(entry.second.size(), c.factoryCapacity)));
}

const std::vector<std::uint8_t>* FactoryData::area(std::uint8_t index) const {
    return index < areas_.size() ? &areas_[index] : nullptr;
}

void FactoryData::reply(std::uint8_t byte1, const std::vector<std::uint8_t>& rest) {
    Packet p{module_.config().address, {kCmdFactory, byte1}};
    p.data.insert(p.data.end(), rest.begin(), rest.end());
    module_.send(std::move(p));
}

void FactoryData::fail(std::uint8_t byte1, std::uint8_t code) {
    series_ = Series::None;
    module_.send(Packet{module_.config().address, {kCmdFactory, std::uint8_t(byte1 | kErrorBit), code}});
}

void FactoryData::handle(const Packet& p) {
    if (p.data.size() < 2) return;
    const std::uint8_t b = p.data[1];
    if (b & kClose) return close(p);
    const std::uint8_t index = b & kIndexBits;
    if (index >= areas_.size()) return fail(index, err::kIndexRange);
    const bool first = b & kFirst;
    const bool set = b & kSet;
    if (first) {
        series_ = set ? Series::Set : Series::Get;
        index_ = index;
        incoming_.clear();
        position_ = 0;
    } else if (series_ != (set ? Series::Set : Series::Get) || index_ != index) {
        return fail(index, err::kMode);
    }
    if (set) {
        const std::size_t n = p.data.size() - 2;
        if (n > kMaxChunk) return fail(index, err::kParam);
        if (incoming_.size() + n > module_.config().factoryCapacity) return fail(index, err::kOverrun);
        incoming_.insert(incoming_.end(), p.data.begin() + 2, p.data.end());
        return reply(index);
    }
    if (p.data.size() != 2) return fail(index, err::kParam);
    const std::vector<std::uint8_t>& a = areas_[index];
    const std::size_t n = std::min(kMaxChunk, a.size() - std::min(position_, a.size()));
    reply(index, std::vector<std::uint8_t>(a.begin() + long(position_), a.begin() + long(position_ + n)));
    position_ += n;
}

void FactoryData::close(const Packet& p) {
    if (p.data.size() != 4) return fail(0, err::kParam);
    if (series_ == Series::None) return fail(0, err::kMode);
    const std::size_t count = getBE16(&p.data[2]);
    const std::size_t moved = series_ == Series::Set ? incoming_.size() : position_;
    if (count != moved) return fail(0, err::kSize);
    if (series_ == Series::Set) areas_[index_] = incoming_;
    series_ = Series::None;
    reply(0);
}

}  // namespace modsim
