#include "JsonOutput.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "aDirectory.h"
#include "UpdateServerRequest.h"
#include "aDefs.h"

// Keys stay in the order written, the order the manual gives them.
using json = nlohmann::ordered_json;

namespace {

std::string _hex8(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", unsigned(value));
    return text;
}

json _text_or_null(const std::string& text)
{
    return text.empty() ? json(nullptr) : json(text);
}

json _number_or_null(uint32_t value)
{
    return value == 0 ? json(nullptr) : json(value);
}

// A build text of the store or the server as a number; null when it is not one.
json _build_number(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    const unsigned long long value = std::stoull(text);
    return value > 0xFFFFFFFFull ? json(nullptr) : json(uint32_t(value));
}

std::string _dump(const json& document)
{
    // Texts from modules and files are not always UTF-8: replace what is not.
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string _json_device_list(const std::vector<DeviceInfo>& devices)
{
    json list = json::array();
    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        json address = nullptr;
        if (spec.type == TCPIP) {
            uint8_t ip[4];
            memcpy(ip, &spec.t.ip.ip_address, sizeof ip);
            address = std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
                      std::to_string(ip[3]);
        }
        char version[40];
        snprintf(version, sizeof version, "%u.%u.%u", unsigned(device.major), unsigned(device.minor),
                 unsigned(device.patch));
        list.push_back({
            {"serial", _hex8(spec.serial_num)},
            {"module", unsigned(spec.module)},
            {"router", unsigned(spec.router)},
            {"model", aDefs_GetModelName(uint8_t(spec.model))},
            {"version", version},
            {"build", device.build},
            {"address", address},
            {"name", device.deviceName},
            {"link", spec.type == USB ? json("USB") : spec.type == TCPIP ? json("TCPIP") : json(nullptr)},
            {"error", _number_or_null(device.error)},
        });
    }
    return _dump(list);
}

std::string _json_builds(const BuildMap& builds, uint32_t serial, const std::string& storeDir)
{
    json list = json::array();
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) {
        json entry = {{"build", _build_number(build)}, {"version", version}};
        if (!storeDir.empty())
            entry["path"] = BuildPath(storeDir.c_str(), _hex8(serial).c_str(), (build + ".bird").c_str(), nullptr);
        list.push_back(entry);
    }
    return _dump(list);
}

std::string _json_jwt(uint32_t serial, const std::string& token)
{
    return _dump({{"serial", _hex8(serial)}, {"token", _text_or_null(token)}});
}

std::string _json_fingerprint(uint8_t chipKind, const Fingerprint* fingerprint)
{
    json chip = chipKind == 1 ? json("i.MX") : chipKind == 2 ? json("LPC") : json(nullptr);
    json words = nullptr;
    if (fingerprint) {
        words = json::array();
        for (uint32_t word : fingerprint->words)
            words.push_back(_hex8(word));
    }
    return _dump({{"chip", chip}, {"fingerprint", words}});
}

std::string _json_results(const std::vector<FleetResult>& results)
{
    json list = json::array();
    for (const FleetResult& r : results) {
        list.push_back({
            {"serial", _hex8(r.serial)},
            {"model", _text_or_null(r.model)},
            {"ok", r.ok},
            {"build", _number_or_null(r.build)},
            {"build_before", r.beforeKnown ? _number_or_null(r.buildBefore) : json(nullptr)},
            {"version_before", r.beforeKnown ? json(r.versionBefore) : json(nullptr)},
            {"version_after", r.afterKnown ? json(r.versionAfter) : json(nullptr)},
            {"seconds", double(int64_t(r.seconds * 1000.0 + 0.5)) / 1000.0},
            {"error", r.ok ? json(nullptr) : json(r.error)},
        });
    }
    return _dump(list);
}

void _print_json(FILE* out, const std::string& document)
{
    const std::string text = document + "\n";
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);
}
