// The order in which the build listing shows builds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Updater.h"

using BuildListEntry = std::pair<std::string, std::string>;  // build text, version text

// Stands in for the update server client's own version sort until that is
// built: the builds newest version first (major, minor, patch, each compared
// as an 8-bit value), equal versions in build-text order, and the builds
// whose version is not "major.minor.patch" after all others in build-text
// order.
std::vector<BuildListEntry> _sort_builds_by_version_local(const BuildMap& builds);
