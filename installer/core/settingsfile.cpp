#include "settingsfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace quorvel {
namespace {

std::string PathText(const std::filesystem::path &path)
{
    auto u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

std::string Quoted(const std::filesystem::path &path) { return "«" + PathText(path) + "»"; }

std::string ErrnoText(int error)
{
    return error ? std::error_code(error, std::generic_category()).message() : std::string("ошибка ввода-вывода");
}

// Puts the finished file in the target's place, replacing an existing one.
bool ReplaceFile(const std::filesystem::path &from, const std::filesystem::path &to, std::string *reason)
{
#ifdef _WIN32
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    *reason = std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
    return false;
#else
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec) return true;
    *reason = ec.message();
    return false;
#endif
}

}  // namespace

SettingsFileStatus BuildSettingsFile(const EthRecord &record, std::vector<std::uint8_t> *file)
{
    std::uint32_t size = EthRecordSize(record);
    if (size == 0 || size > kSettingsFileMaxRecord) return SettingsFileStatus::RecordTooLarge;
    std::vector<std::uint8_t> image(kSettingsFileHeaderSize + size);
    std::memcpy(image.data(), kSettingsFileGuid, sizeof kSettingsFileGuid);
    image[16] = static_cast<std::uint8_t>(kSettingsFileVersion);
    image[17] = static_cast<std::uint8_t>(kSettingsFileVersion >> 8);
    std::uint32_t capacity = size;
    if (!BuildEthRecord(record, image.data() + kSettingsFileHeaderSize, capacity) || capacity != size)
        return SettingsFileStatus::RecordTooLarge;
    *file = std::move(image);
    return SettingsFileStatus::Ok;
}

SettingsFileStatus SplitSettingsFile(const std::uint8_t *data, std::size_t length, std::vector<std::uint8_t> *record,
                                     std::uint16_t *version)
{
    if (length > kSettingsFileMaxSize || length < sizeof kSettingsFileGuid ||
        std::memcmp(data, kSettingsFileGuid, sizeof kSettingsFileGuid) != 0)
        return SettingsFileStatus::BadFormat;
    // A file cut inside the version word reads the missing byte as 0, as from a zeroed buffer.
    std::uint16_t word = static_cast<std::uint16_t>((length > 16 ? data[16] : 0) | ((length > 17 ? data[17] : 0) << 8));
    *version = word;
    if (word != kSettingsFileVersion) return SettingsFileStatus::BadVersion;
    record->assign(data + kSettingsFileHeaderSize, data + length);
    return SettingsFileStatus::Ok;
}

SettingsFileStatus SaveSettingsFile(const std::filesystem::path &path, const EthRecord &record, std::string *ioError)
{
    std::vector<std::uint8_t> image;
    SettingsFileStatus status = BuildSettingsFile(record, &image);
    if (status != SettingsFileStatus::Ok) return status;

    std::filesystem::path temp = path;
    temp += ".new";
    {
        errno = 0;
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            *ioError = "Не удалось создать файл " + Quoted(temp) + ": " + ErrnoText(errno);
            return SettingsFileStatus::IoError;
        }
        out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out) {
            int error = errno;
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            *ioError = "Не удалось записать файл " + Quoted(temp) + ": " + ErrnoText(error);
            return SettingsFileStatus::IoError;
        }
    }
    std::string reason;
    if (!ReplaceFile(temp, path, &reason)) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        *ioError = "Не удалось заменить файл " + Quoted(path) + ": " + reason;
        return SettingsFileStatus::IoError;
    }
    return SettingsFileStatus::Ok;
}

SettingsFileStatus LoadSettingsFile(const std::filesystem::path &path, std::vector<std::uint8_t> *recordBytes,
                                    EthRecord *record, std::uint16_t *version, std::string *ioError)
{
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *ioError = "Не удалось открыть файл " + Quoted(path) + ": " + ErrnoText(errno);
        return SettingsFileStatus::IoError;
    }
    // One byte more than a settings file can hold tells a longer file from a full one.
    std::vector<std::uint8_t> data(kSettingsFileMaxSize + 1);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (in.bad()) {
        *ioError = "Не удалось прочитать файл " + Quoted(path) + ": " + ErrnoText(errno);
        return SettingsFileStatus::IoError;
    }
    std::size_t length = static_cast<std::size_t>(in.gcount());

    std::vector<std::uint8_t> bytes;
    std::uint16_t word = 0;
    SettingsFileStatus status = SplitSettingsFile(data.data(), length, &bytes, &word);
    if (status == SettingsFileStatus::BadVersion) *version = word;
    if (status != SettingsFileStatus::Ok) return status;
    *version = word;
    EthRecord parsed;
    if (ParseEthRecord(bytes.data(), bytes.size(), &parsed) != EthParseError::None)
        return SettingsFileStatus::BadRecord;
    *recordBytes = std::move(bytes);
    *record = std::move(parsed);
    return SettingsFileStatus::Ok;
}

std::string SettingsFileMessage(SettingsFileStatus status, std::uint16_t version)
{
    switch (status) {
    case SettingsFileStatus::RecordTooLarge: return "Ошибка обработки буфера конфигурации порта";
    case SettingsFileStatus::BadFormat: return "Некорректный формат файла";
    case SettingsFileStatus::BadVersion: {
        char text[128];
        std::snprintf(text, sizeof text, "Версия файла %u.%u не поддерживается конфигуратором", unsigned(version >> 8),
                      unsigned(version & 0xFF));
        return text;
    }
    default: return std::string();
    }
}

}  // namespace quorvel
