// Settings files as the configurator and quorvelctl load them: the 18-byte header, then the
// record, from a file of any length.
//
// Invariants: a file over 32768 bytes or with a wrong identifier is refused as no settings file,
// a wrong version with that version; a file that loads holds exactly its record, which saves back
// to the same bytes (raw flags 0/1, masks to four bits); loading from disk agrees with the
// in-memory split; a refusal changes none of the outputs.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/settingsfile.h"
#include "fuzz.h"

using namespace qvfuzz;
using quorvel::SettingsFileStatus;

namespace {

std::filesystem::path filePath;

Bytes Normalized(Bytes file)
{
    file[18 + 8] &= quorvel::kEthMaskBits;
    file[18 + 9] &= quorvel::kEthMaskBits;
    for (std::size_t offset = 18 + 10; offset + 11 <= file.size();) {
        std::uint32_t size =
            file[offset] | (file[offset + 1] << 8) | (file[offset + 2] << 16) | (std::uint32_t(file[offset + 3]) << 24);
        file[offset + 10] = file[offset + 10] != 0;
        offset += size;
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = getenv("TMPDIR");
    filePath = std::filesystem::path(base && base[0] ? base : "/tmp") /
               ("quorvel-fuzz-settings-" + std::to_string(getpid()) + ".qvor");
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove(filePath, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Bytes file(data, data + size);
    Bytes record = {0xEE};
    std::uint16_t version = 0xEEEE;
    SettingsFileStatus split = quorvel::SplitSettingsFile(data, size, &record, &version);
    bool identified = size >= 16 && std::memcmp(data, quorvel::kSettingsFileGuid, 16) == 0;
    if (size > quorvel::kSettingsFileMaxSize || !identified) {
        FUZZ_CHECK(split == SettingsFileStatus::BadFormat, "not a settings file: " + Hex(file));
    } else {
        std::uint16_t word = std::uint16_t((size > 16 ? data[16] : 0) | ((size > 17 ? data[17] : 0) << 8));
        FUZZ_CHECK(version == word, "version word");
        FUZZ_CHECK((split == SettingsFileStatus::BadVersion) == (word != quorvel::kSettingsFileVersion), "version");
        FUZZ_CHECK(!quorvel::SettingsFileMessage(split, word).empty() || split == SettingsFileStatus::Ok,
                   "a refusal without a message");
    }
    if (split != SettingsFileStatus::Ok) {
        FUZZ_CHECK(record == Bytes{0xEE}, "a refused file handed out a record");
    } else {
        FUZZ_CHECK(record == Bytes(file.begin() + 18, file.end()), "the record is the rest of the file");
    }

    // The same bytes from disk.
    {
        std::ofstream out(filePath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), std::streamsize(size));
    }
    Bytes loadedBytes = {0xEE};
    quorvel::EthRecord loaded;
    loaded.delay = 12345;
    std::uint16_t loadedVersion = 0xEEEE;
    std::string ioError;
    SettingsFileStatus load = quorvel::LoadSettingsFile(filePath, &loadedBytes, &loaded, &loadedVersion, &ioError);
    FUZZ_CHECK(load != SettingsFileStatus::IoError, ioError);
    if (split != SettingsFileStatus::Ok) {
        FUZZ_CHECK(load == split, "load and split disagree");
    } else {
        quorvel::EthRecord parsed;
        bool parses = quorvel::ParseEthRecord(record.data(), record.size(), &parsed) == quorvel::EthParseError::None;
        FUZZ_CHECK(load == (parses ? SettingsFileStatus::Ok : SettingsFileStatus::BadRecord),
                   "load of a damaged record");
        if (parses) {
            FUZZ_CHECK(loadedBytes == record, "loaded record bytes");
            Bytes saved;
            FUZZ_CHECK(quorvel::BuildSettingsFile(loaded, &saved) == SettingsFileStatus::Ok, "a loaded file saves");
            FUZZ_CHECK(saved == Normalized(file), "saved back as " + Hex(saved));
        }
    }
    if (load != SettingsFileStatus::Ok)
        FUZZ_CHECK(loadedBytes == Bytes{0xEE} && loaded.delay == 12345 && loaded.entries.empty(),
                   "a refused load changed its outputs");
    EndInput();
    return 0;
}
