#include "ctlargs.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace quorvel {

namespace {

bool ParseNumber(const std::string &text, unsigned long max, unsigned long *value)
{
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *value = v;
    return true;
}

std::string Lower(std::string s)
{
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ResolveV4(const std::string &host, std::uint32_t *ip)
{
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
        std::memcpy(ip, &a.s_addr, 4);  // network order: the bytes as they go on the wire
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    std::memcpy(ip, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr, 4);
    freeaddrinfo(res);
    return true;
}

}  // namespace

bool ValidPortName(const std::string &name)
{
    if (name.size() < 4 || Lower(name.substr(0, 3)) != "com" || name[3] == '0') return false;
    unsigned long n = 0;
    return ParseNumber(name.substr(3), 256, &n) && n >= 1;
}

bool ParseLines(const std::string &text, std::uint8_t *mask)
{
    std::uint8_t m = 0;
    if (Lower(text) == "none") {
        *mask = 0;
        return true;
    }
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = Lower(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (item == "cts")
            m |= kLineCts;
        else if (item == "dsr")
            m |= kLineDsr;
        else if (item == "dcd")
            m |= kLineDcd;
        else if (item == "ring")
            m |= kLineRing;
        else
            return false;
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    *mask = m;
    return true;
}

std::string LinesText(std::uint8_t mask)
{
    std::string s;
    const std::pair<std::uint8_t, const char *> names[] = {
        {kLineCts, "cts"}, {kLineDsr, "dsr"}, {kLineDcd, "dcd"}, {kLineRing, "ring"}};
    for (auto &[bit, name] : names)
        if (mask & bit) s += (s.empty() ? "" : ",") + std::string(name);
    return s.empty() ? "none" : s;
}

bool ParseConnection(const std::string &text, EthEntry *entry, std::string *error)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "--conn " + text + ": expected HOST:PORT[/raw]=ID[,ID...]";
        return false;
    }
    std::string server = text.substr(0, eq), ids = text.substr(eq + 1);
    EthEntry e;
    e.raw = false;
    if (server.size() > 4 && Lower(server.substr(server.size() - 4)) == "/raw") {
        e.raw = true;
        server.resize(server.size() - 4);
    }
    size_t colon = server.rfind(':');
    unsigned long port = 0;
    if (colon == std::string::npos || colon == 0 || !ParseNumber(server.substr(colon + 1), 65535, &port) || port == 0) {
        *error = "--conn " + text + ": expected HOST:PORT with a TCP port from 1 to 65535";
        return false;
    }
    std::string host = server.substr(0, colon);
    if (!ResolveV4(host, &e.ip)) {
        *error = "--conn " + text + ": " + host + " is not an IPv4 address or a known host name";
        return false;
    }
    e.port = std::uint16_t(port);
    size_t pos = 0;
    while (pos <= ids.size()) {
        size_t comma = ids.find(',', pos);
        std::string item = ids.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        unsigned long id = 0;
        if (!ParseNumber(item, 247, &id) || id == 0) {
            *error = "--conn " + text + ": device ids are numbers from 1 to 247";
            return false;
        }
        for (auto existing : e.ids)
            if (existing == id) {
                *error = "--conn " + text + ": device id " + item + " is listed twice";
                return false;
            }
        e.ids.push_back(std::uint8_t(id));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    *entry = e;
    return true;
}

bool ParseSetArguments(const std::vector<std::string> &args, EthRecord *record, std::string *error)
{
    EthRecord r;
    std::set<int> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (i + 1 >= args.size()) {
            *error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unexpected argument " + a;
            return false;
        }
        const std::string &v = args[++i];
        if (a == "--delay") {
            unsigned long ms = 0;
            if (!ParseNumber(v, kEthMaxDelay, &ms) || !EthDelayValid(ms)) {
                *error = "--delay " + v + ": milliseconds from 1 to 65535";
                return false;
            }
            r.delay = std::uint16_t(ms);
        } else if (a == "--rts" || a == "--dtr") {
            std::uint8_t mask = 0;
            if (!ParseLines(v, &mask)) {
                *error = a + " " + v + ": none, or any of cts,dsr,dcd,ring separated by commas";
                return false;
            }
            (a == "--rts" ? r.rtsMask : r.dtrMask) = mask;
        } else if (a == "--conn") {
            EthEntry e;
            if (!ParseConnection(v, &e, error)) return false;
            for (auto id : e.ids)
                if (!seen.insert(id).second) {
                    *error = "device id " + std::to_string(id) + " is served by two connections";
                    return false;
                }
            r.entries.push_back(std::move(e));
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    if (r.entries.empty()) {
        *error = "at least one --conn HOST:PORT[/raw]=ID[,ID...] is needed";
        return false;
    }
    if (EthRecordSize(r) == 0 || EthRecordSize(r) > kEthMaxAppliedSize) {
        *error = "the settings are too large";
        return false;
    }
    *record = std::move(r);
    return true;
}

}  // namespace quorvel
