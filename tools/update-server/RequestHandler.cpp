#include "RequestHandler.h"

#include <cstdio>
#include <sstream>

#include "Base64.h"

namespace updsrv {

namespace {

// A well-formed question the catalogue has no answer for: the script ran, so
// HTTP 200, but the status line is not "ok".
Reply Refuse(Reply reply, const std::string& reason) {
    reply.status = 200;
    reply.body = "error\n" + reason + "\n";
    return reply;
}

// A query the script cannot make sense of.
Reply BadRequest(Reply reply, const std::string& reason) {
    reply.status = 400;
    reply.body = "error\n" + reason + "\n";
    return reply;
}

const std::string* Param(const QueryParams& params, const std::string& key) {
    const auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
}

std::string Hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// The query carries the four words joined by an escaped blank; it arrives
// decoded as blanks, or as a literal "%20" if a client escaped it twice.
bool ParseFingerprint(std::string text, Fingerprint& fp) {
    for (size_t at; (at = text.find("%20")) != std::string::npos;) text.replace(at, 3, " ");
    std::istringstream in(text);
    std::string word, extra;
    for (auto& w : fp) {
        if (!(in >> word) || !ParseHex(word, w)) return false;
    }
    return !(in >> extra);
}

Reply Ping(Reply reply) {
    reply.body = "ok\n";
    return reply;
}

Reply QueryBuild(Reply reply, const Catalogue& cat, uint32_t serial) {
    const auto latest = cat.LatestBuild(serial);
    if (!latest) return Refuse(reply, "no builds for device " + Hex8(serial));
    const std::string version = cat.Version(serial, *latest);
    reply.body = "ok\n" + std::to_string(*latest) + "\n";
    if (!version.empty()) reply.body += version + "\n";
    return reply;
}

Reply GetBuild(Reply reply, const Catalogue& cat, uint32_t serial, const QueryParams& params) {
    uint32_t build = 0;
    const std::string* bld = Param(params, "bld");
    if (bld && !bld->empty() && !ParseDecimal(*bld, build))
        return BadRequest(reply, "build number '" + *bld + "' is not a number");
    if (build == 0) {
        // No build asked for: the one op=qu recommends.
        const auto latest = cat.LatestBuild(serial);
        if (!latest) return Refuse(reply, "no builds for device " + Hex8(serial));
        build = *latest;
    }
    const std::string* noCal = Param(params, "no_cal");
    const auto image = cat.Image(serial, build, noCal && *noCal == "true");
    if (!image)
        return Refuse(reply, "no build " + std::to_string(build) + " for device " + Hex8(serial));
    reply.body = "ok\n" + Base64Encode(*image) + "\n";
    return reply;
}

Reply BuildList(Reply reply, const Catalogue& cat, uint32_t serial) {
    reply.body = "ok\n";
    for (uint32_t build : cat.Builds(serial))
        reply.body += std::to_string(build) + ";" + cat.Version(serial, build) + "\n";
    return reply;
}

Reply DeviceToken(Reply reply, const Catalogue& cat, uint32_t serial) {
    const auto token = cat.Token(serial);
    if (!token) return Refuse(reply, "no token for device " + Hex8(serial));
    reply.body = "ok\n" + *token + "\n";
    return reply;
}

Reply Recovery(Reply reply, const Catalogue& cat, const QueryParams& params) {
    const std::string* fpText = Param(params, "fp");
    Fingerprint fp{};
    if (!fpText || !ParseFingerprint(*fpText, fp))
        return BadRequest(reply, "fp must be four hexadecimal words");
    const auto entry = cat.Recovery(fp);
    if (!entry) return Refuse(reply, "unknown fingerprint");
    reply.body = "ok\n" + Hex8(entry->serial) + "\n";
    if (entry->build) reply.body += std::to_string(*entry->build) + "\n";
    return reply;
}

}  // namespace

Reply AnswerRequest(const Catalogue& catalogue, const QueryParams& params) {
    Reply reply;
    const std::string* op = Param(params, "op");
    if (!op || op->empty()) return BadRequest(reply, "missing op");
    reply.op = *op;

    if (*op == "hi") return Ping(reply);
    if (*op == "fix") return Recovery(reply, catalogue, params);
    if (*op != "qu" && *op != "bird" && *op != "builds" && *op != "ent_jwt")
        return BadRequest(reply, "unknown op " + *op);

    // The rest are about one device.
    const std::string* sn = Param(params, "sn");
    uint32_t serial = 0;
    if (!sn || !ParseHex(*sn, serial)) return BadRequest(reply, "sn must be a hexadecimal serial number");
    if (!catalogue.HasDevice(serial)) return Refuse(reply, "unknown device " + Hex8(serial));

    if (*op == "qu") return QueryBuild(reply, catalogue, serial);
    if (*op == "bird") return GetBuild(reply, catalogue, serial, params);
    if (*op == "builds") return BuildList(reply, catalogue, serial);
    return DeviceToken(reply, catalogue, serial);
}

}  // namespace updsrv
