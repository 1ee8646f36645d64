#include "VersionInfo.h"

#include "Errors.h"

TVersionInfo::TVersionInfo(plat::IPlatform &platform, const QString &fileName)
    : platform_(platform), fileName_(fileName)
{
}

void TVersionInfo::SetFileName(const QString &fileName)
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
    if (platform_.LoadVersionInfo(fileName_.toStdU16String(), &data) != 0 || data.empty())
        throw ConfiguratorError("Error in detecting VersionInfo size!");
    data_ = std::move(data);
    key_.clear();
    plat::Bytes translation;
    if (platform_.QueryVersionValue(data_, u"\\VarFileInfo\\Translation", &translation) && translation.size() >= 4) {
        unsigned language = translation[0] | (translation[1] << 8);
        unsigned codePage = translation[2] | (translation[3] << 8);
        key_ = QString::asprintf("%.4x%.4x", language, codePage);
    }
    loaded_ = true;
}

QString TVersionInfo::LanguageKey()
{
    Load();
    return key_;
}

QString TVersionInfo::Value(const QString &name)
{
    Load();
    if (key_.isEmpty()) return QString();
    plat::Bytes value;
    QString path = QStringLiteral("\\StringFileInfo\\") + key_ + QStringLiteral("\\") + name;
    if (!platform_.QueryVersionValue(data_, path.toStdU16String(), &value)) return QString();
    // UTF-16LE, up to its terminating NUL or the end of the value.
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
        char16_t c = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return QString::fromStdU16String(text);
}
