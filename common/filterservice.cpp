#include "common/filterservice.h"

namespace quorvel {
namespace {

char16_t Fold(char16_t c)
{
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c - u'A' + u'a');
    if (c == u'/') return u'\\';
    return c;
}

bool StartsWithText(const std::u16string &text, const std::u16string &prefix)
{
    return text.size() >= prefix.size() && SamePathText(text.substr(0, prefix.size()), prefix);
}

// The image path as a full path.
std::u16string FullImagePath(const std::u16string &image, const std::u16string &windowsDirectory)
{
    if (StartsWithText(image, u"\\SystemRoot\\")) return windowsDirectory + image.substr(11);
    if (StartsWithText(image, u"\\??\\")) return image.substr(4);
    bool absolute =
        (!image.empty() && (image[0] == u'\\' || image[0] == u'/')) || (image.size() >= 2 && image[1] == u':');
    return absolute ? image : windowsDirectory + u"\\" + image;
}

}  // namespace

bool SamePathText(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::u16string FilterFileName(const std::u16string &path)
{
    std::size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string FilterServiceName(const std::u16string &fileName)
{
    std::size_t dot = fileName.find_last_of(u'.');
    return dot == std::u16string::npos ? fileName : fileName.substr(0, dot);
}

std::u16string FilterTargetPath(const std::u16string &windowsDirectory, const std::u16string &fileName)
{
    return windowsDirectory + u"\\System32\\Drivers\\" + fileName;
}

bool IsOwnFilterService(const ServiceConfig &config, const std::u16string &targetPath,
                        const std::u16string &windowsDirectory)
{
    return config.type == kServiceKernelDriver && SamePathText(config.loadOrderGroup, kFilterLoadOrderGroup) &&
           SamePathText(FullImagePath(config.imagePath, windowsDirectory), targetPath);
}

}  // namespace quorvel
