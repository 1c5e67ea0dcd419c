// A discovery callback that keeps what it is handed.
#pragma once

#include "aDiscovery.h"

#include <vector>

namespace disctest {

struct Collected {
    std::vector<linkSpec> specs;
    bool accept = true;   // sets found
    int stopAfter = -1;   // returns false once this many were seen
};

inline bool Collect(const linkSpec* spec, bool* found, void* reference) {
    auto* c = static_cast<Collected*>(reference);
    c->specs.push_back(*spec);
    *found = c->accept;
    return c->stopAfter < 0 || int(c->specs.size()) < c->stopAfter;
}

}  // namespace disctest
