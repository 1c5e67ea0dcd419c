#include "Faults.h"

#include <sstream>

#include "Catalogue.h"

namespace updsrv {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// The image text is the line after the status line of an "ok" op=bird reply.
bool FindImageLine(const Reply& reply, size_t& begin, size_t& end) {
    if (reply.op != "bird" || reply.body.compare(0, 2, "ok") != 0) return false;
    const size_t nl = reply.body.find('\n');
    if (nl == std::string::npos) return false;
    begin = nl + 1;
    end = reply.body.find('\n', begin);
    if (end == std::string::npos) end = reply.body.size();
    return end > begin;
}

}  // namespace

bool FaultSet::Add(const std::string& mode, std::string& error) {
    const auto eq = mode.find('=');
    const std::string name = mode.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : mode.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    auto flag = [&](bool& target) {
        if (hasValue) {
            error = "fault mode '" + name + "' takes no value";
            return false;
        }
        target = true;
        return true;
    };
    uint32_t number = 0;
    if (name == "status") {
        if (!ParseDecimal(value, number) || number < 100 || number > 599) {
            error = "status= needs an HTTP status from 100 to 599";
            return false;
        }
        status = static_cast<int>(number);
        return true;
    }
    if (name == "delay") {
        if (!ParseDecimal(value, number) || number > 3600000) {
            error = "delay= needs milliseconds";
            return false;
        }
        delayMs = static_cast<int>(number);
        return true;
    }
    if (name == "only") {
        std::istringstream in(value);
        std::string op;
        while (std::getline(in, op, ','))
            if (!op.empty()) only.insert(op);
        if (only.empty()) {
            error = "only= needs one or more ops, separated by commas";
            return false;
        }
        return true;
    }
    if (name == "no-ok") return flag(noOk);
    if (name == "empty") return flag(empty);
    if (name == "crlf") return flag(crlf);
    if (name == "blank-lines") return flag(blankLines);
    if (name == "truncated-base64") return flag(truncatedBase64);
    if (name == "invalid-base64") return flag(invalidBase64);
    if (name == "never-end") return flag(neverEnd);
    error = "unknown fault mode '" + mode + "'";
    return false;
}

bool FaultSet::AppliesTo(const std::string& op) const {
    return Any() && (only.empty() || only.count(op) > 0);
}

bool FaultSet::Any() const {
    return status != 0 || noOk || empty || crlf || blankLines || truncatedBase64 || invalidBase64 ||
           neverEnd || delayMs > 0;
}

void ApplyFaults(const FaultSet& faults, Reply& reply) {
    if (!faults.AppliesTo(reply.op)) return;
    if (faults.status != 0) reply.status = faults.status;
    if (faults.empty) {
        reply.body.clear();
        return;
    }
    size_t begin = 0, end = 0;
    if (faults.truncatedBase64 && FindImageLine(reply, begin, end)) {
        // Keep about half, and make sure the length cannot be a whole number of groups.
        size_t keep = (end - begin) / 2;
        if (keep % 4 == 0) keep += 1;
        if (keep >= end - begin) keep = end - begin - 1;
        reply.body.erase(begin + keep, end - begin - keep);
    }
    if (faults.invalidBase64 && FindImageLine(reply, begin, end)) {
        // Same length, but with characters no base64 decoder may accept:
        // the first, one in the middle and one with the high bit set.
        reply.body[begin] = '*';
        reply.body[begin + (end - begin) / 2] = '!';
        if (end - begin > 2) reply.body[end - 2] = '\xC3';
    }
    if (faults.noOk) {
        const size_t nl = reply.body.find('\n');
        reply.body.replace(0, nl == std::string::npos ? reply.body.size() : nl, "fail");
    }
    if (faults.blankLines) {
        ReplaceAll(reply.body, "\n", "\n\n");
        reply.body.insert(0, "\n");
    }
    if (faults.crlf) ReplaceAll(reply.body, "\n", "\r\n");
}

const char* FaultModesHelp() {
    return "  status=N          answer with HTTP status N (body unchanged)\n"
           "  no-ok             status line \"fail\" instead of \"ok\"\n"
           "  empty             empty body\n"
           "  crlf              lines end in CR LF\n"
           "  blank-lines       an empty line before every line\n"
           "  truncated-base64  op=bird image text cut short (length not a multiple of 4)\n"
           "  invalid-base64    op=bird image text with characters outside the alphabet\n"
           "  never-end         send the headers and half the body, then nothing until shutdown\n"
           "  delay=MS          wait MS milliseconds before answering\n"
           "  only=OP[,OP...]   apply the faults to these ops only (hi, qu, bird, builds, fix, ent_jwt)\n";
}

}  // namespace updsrv
