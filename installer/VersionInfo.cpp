#include "VersionInfo.h"

#include <cstdio>

#include "Errors.h"

TVersionInfo::TVersionInfo(plat::IPlatform &platform, const std::string &fileName)
    : platform_(platform), fileName_(fileName)
{
}

void TVersionInfo::SetFileName(const std::string &fileName)
{
    fileName_ = fileName;
    loaded_ = false;
    data_.clear();
    key_.clear();
}

void TVersionInfo::Load()
{
    if (loaded_) return;
    plat::Bytes data;
    // The platform reports the size probe and the read together; a file without a resource
    // fails at the size, which is what this says.
    if (platform_.LoadVersionInfo(Utf16(fileName_), &data) != 0 || data.empty())
        throw ConfiguratorError("Error in detecting VersionInfo size!");
    data_ = std::move(data);
    key_.clear();
    plat::Bytes translation;
    if (platform_.QueryVersionValue(data_, u"\\VarFileInfo\\Translation", &translation) && translation.size() >= 4) {
        unsigned language = translation[0] | (translation[1] << 8);
        unsigned codePage = translation[2] | (translation[3] << 8);
        char key[16];
        std::snprintf(key, sizeof key, "%.4x%.4x", language, codePage);
        key_ = key;
    }
    loaded_ = true;
}

std::string TVersionInfo::LanguageKey()
{
    Load();
    return key_;
}

std::string TVersionInfo::Value(const std::string &name)
{
    Load();
    if (key_.empty()) return std::string();
    plat::Bytes value;
    std::string path = "\\StringFileInfo\\" + key_ + "\\" + name;
    if (!platform_.QueryVersionValue(data_, Utf16(path), &value)) return std::string();
    // UTF-16LE, up to its terminating NUL or the end of the value.
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
        char16_t c = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return Utf8(text);
}
