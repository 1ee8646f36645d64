#include "common/settingsfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
// Writes the image to a new file of an unpredictable name in the target's folder and moves it
// over the target, so a failed write leaves an existing file as it was.
bool WriteReplacing(const std::filesystem::path &path, const std::vector<std::uint8_t> &image, std::string *error)
{
    std::filesystem::path dir = path.parent_path().empty() ? std::filesystem::path(L".") : path.parent_path();
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(dir.c_str(), L"qvr", 0, temp)) {
        *error = "Не удалось создать файл в папке " + Quoted(dir) + ": " +
                 std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
        return false;
    }
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out) {
            DeleteFileW(temp);
            *error = "Не удалось записать файл " + Quoted(temp) + ": ошибка ввода-вывода";
            return false;
        }
    }
    if (MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    *error = "Не удалось заменить файл " + Quoted(path) + ": " +
             std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
    DeleteFileW(temp);
    return false;
}
#else
// Mode bits a new file gets: 0666 less the umask, read without changing it.
mode_t NewFileMode()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return 0666 & ~static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    return 0644;
}

bool WriteAll(int fd, const std::vector<std::uint8_t> &image)
{
    std::size_t done = 0;
    while (done < image.size()) {
        ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A regular file (or none yet) is replaced whole: the image goes to a new file of an
// unpredictable name beside it (mkstemp), which is renamed over the target once complete. Only
// regular files are written: a device or a FIFO in the target's place is refused, never replaced.
bool WriteReplacing(const std::filesystem::path &path, const std::vector<std::uint8_t> &image, std::string *error)
{
    struct stat st {};
    std::filesystem::path target = path;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        *error = "Файл " + Quoted(path) + " не является обычным файлом: настройки в него не записываются";
        return false;
    }
    std::error_code ec;
    // A link is followed: the file it names is replaced, the link stays.
    if (exists && std::filesystem::is_symlink(path, ec)) target = std::filesystem::canonical(path, ec);
    if (ec) target = path;
    std::filesystem::path dir = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
    std::string temp = (dir / (target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "Не удалось создать файл в папке " + Quoted(dir) + ": " + ErrnoText(errno);
        return false;
    }
    mode_t mode = exists ? (st.st_mode & 07777) : NewFileMode();
    bool ok = WriteAll(fd, image) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    int writeError = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        writeError = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        *error = "Не удалось записать файл " + Quoted(temp) + ": " + ErrnoText(writeError);
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int renameError = errno;
        ::unlink(temp.c_str());
        *error = "Не удалось заменить файл " + Quoted(target) + ": " + ErrnoText(renameError);
        return false;
    }
    return true;
}
#endif

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

    if (!WriteReplacing(path, image, ioError)) return SettingsFileStatus::IoError;
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
