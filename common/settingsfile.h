// Settings files (.qvor): one port's Ethernet settings record behind an 18-byte header. Plain C++
// (no Qt), shared by the configurator's file buttons and `quorvelctl save/load`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ethrecord.h"

namespace quorvel {

// {DE3B884A-2E2D-4BBA-BD25-277C04922D53} in the in-memory layout of a GUID.
inline constexpr std::uint8_t kSettingsFileGuid[16] = {0x4A, 0x88, 0x3B, 0xDE, 0x2D, 0x2E, 0xBA, 0x4B,
                                                       0xBD, 0x25, 0x27, 0x7C, 0x04, 0x92, 0x2D, 0x53};
// Byte 16 is the minor number, byte 17 the major one.
inline constexpr std::uint16_t kSettingsFileVersion = 0x0101;
inline constexpr std::uint32_t kSettingsFileHeaderSize = 18;
inline constexpr std::uint32_t kSettingsFileMaxSize = 32768;
inline constexpr std::uint32_t kSettingsFileMaxRecord = kSettingsFileMaxSize - kSettingsFileHeaderSize;
inline constexpr char kSettingsFileSuffix[] = "qvor";

enum class SettingsFileStatus {
    Ok,
    RecordTooLarge,  // save: the record does not fit the 32750 bytes after the header
    BadFormat,       // load: not a settings file (identifier, or longer than 32768 bytes)
    BadVersion,      // load: a version other than 1.1
    BadRecord,       // load: right header, damaged record
    IoError,         // the file could not be opened, read, written or replaced
};

// The file image of a record, or RecordTooLarge.
SettingsFileStatus BuildSettingsFile(const EthRecord &record, std::vector<std::uint8_t> *file);

// Checks a file image and hands out the bytes of its record (not yet checked as a record).
// *version gets the header's version word whenever the identifier is right.
SettingsFileStatus SplitSettingsFile(const std::uint8_t *data, std::size_t length, std::vector<std::uint8_t> *record,
                                     std::uint16_t *version);

// Writes a new file of an unpredictable name beside the target and puts it in the target's place
// only once it is complete, so a failed write leaves an existing file as it was. A target that
// exists but is not a regular file (a device, a FIFO) is refused with IoError. *ioError (UTF-8).
SettingsFileStatus SaveSettingsFile(const std::filesystem::path &path, const EthRecord &record, std::string *ioError);

// Reads a file (never more than 32768 bytes) and checks header and record. On Ok, *recordBytes
// holds the record exactly as stored and *record its parsed form; on any refusal neither is
// touched.
SettingsFileStatus LoadSettingsFile(const std::filesystem::path &path, std::vector<std::uint8_t> *recordBytes,
                                    EthRecord *record, std::uint16_t *version, std::string *ioError);

// The user's message for a refusal (UTF-8); empty for Ok and BadRecord, which say nothing, and
// for IoError, whose text comes from the failed operation.
std::string SettingsFileMessage(SettingsFileStatus status, std::uint16_t version);

}  // namespace quorvel
