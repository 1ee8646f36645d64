#include "inf.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace quorvel {

namespace {

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s)
{
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Unquote(const std::string &s)
{
    std::string t = Trim(s);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
    return t;
}

std::vector<std::string> SplitCommas(const std::string &s)
{
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, ',')) out.push_back(Unquote(item));
    return out;
}

struct Line {
    std::string key, value;  // key empty for lines without '='
};
using Sections = std::map<std::string, std::vector<Line>>;  // by lower-case name

// The INF's sections; false when the text has no section header at all (not an INF).
bool ParseInf(const std::string &text, Sections *sections)
{
    std::istringstream in(text);
    std::string raw, current;
    bool any = false;
    while (std::getline(in, raw)) {
        // Comments start with ';' outside quotes.
        std::string line;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            line.push_back(c);
        }
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) return false;
            current = Lower(Trim(line.substr(1, close - 1)));
            (*sections)[current];
            any = true;
            continue;
        }
        if (current.empty()) continue;
        size_t eq = line.find('=');
        Line l;
        if (eq == std::string::npos) {
            l.value = line;
        } else {
            l.key = Trim(line.substr(0, eq));
            l.value = Trim(line.substr(eq + 1));
        }
        (*sections)[current].push_back(l);
    }
    return any;
}

}  // namespace

InfCheck CheckDriverInf(const std::string &path, const std::string &hardwareId, const std::string &service)
{
    InfCheck result;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        result.error = 2;  // ERROR_FILE_NOT_FOUND
        return result;
    }
    std::ostringstream buffer;
    buffer << file.rdbuf();
    std::string text = buffer.str();
    if (text.size() > (1u << 20) || text.find('\0') != std::string::npos) {
        result.error = kErrorWrongInfStyle;
        return result;
    }
    Sections sections;
    if (!ParseInf(text, &sections) || !sections.count("version")) {
        result.error = kErrorWrongInfStyle;
        return result;
    }
    for (auto &l : sections["version"])
        if (Lower(l.key) == "class") result.className = Unquote(l.value);
    if (result.className.empty()) {
        result.error = kErrorWrongInfStyle;
        return result;
    }

    // [Manufacturer] names the models sections ("%Mfg% = Models, NTx86"): the plain name and the
    // decorated ones.
    std::vector<std::string> modelSections;
    for (auto &l : sections["manufacturer"]) {
        std::vector<std::string> parts = SplitCommas(l.value);
        if (parts.empty()) continue;
        modelSections.push_back(Lower(parts[0]));
        for (size_t i = 1; i < parts.size(); ++i) modelSections.push_back(Lower(parts[0] + "." + parts[i]));
    }
    std::vector<std::string> installSections;
    for (auto &name : modelSections) {
        auto it = sections.find(name);
        if (it == sections.end()) continue;
        for (auto &l : it->second) {
            std::vector<std::string> parts = SplitCommas(l.value);
            for (size_t i = 1; i < parts.size(); ++i)
                if (Lower(parts[i]) == Lower(hardwareId)) installSections.push_back(Lower(parts[0]));
        }
    }
    for (auto &install : installSections) {
        for (const std::string &suffix :
             {std::string(".services"), std::string(".nt.services"), std::string(".ntx86.services")}) {
            std::string base = install;
            // "Install.NTx86" has its services in "Install.NTx86.Services".
            auto it = sections.find(suffix == ".services" ? base + suffix : base + suffix);
            if (it == sections.end()) continue;
            for (auto &l : it->second) {
                if (Lower(l.key) != "addservice") continue;
                std::vector<std::string> parts = SplitCommas(l.value);
                if (!parts.empty() && Lower(parts[0]) == Lower(service)) return result;
            }
        }
    }
    result.error = kErrorNoCompatDrivers;
    return result;
}

}  // namespace quorvel
