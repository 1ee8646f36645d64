// The registry: one hive under \Registry kept in memory, with its non-volatile part written
// through to a store file in the state directory on every change. HARDWARE is volatile and
// starts empty at every boot.
//
// Store format (text, one record per line):
//   quorvel-registry 1
//   key <path>                       every non-volatile key, parents before children
//   value <type> <hex data|-> <name> values of the key above, in their order
//   end <crc32 of everything above, hex>
// Names escape '%', control characters and non-ASCII as %XX / %uXXXX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cm/cm.h"
#include "ob/object.h"
#include "qv/platform.h"
#include "qv/registry.h"
#include "verifier.h"

namespace qv {

namespace {

constexpr NTSTATUS kStatusKeyDeleted = (NTSTATUS)0xC000017CL;
constexpr NTSTATUS kStatusCannotDelete = (NTSTATUS)0xC0000121L;
constexpr NTSTATUS kStatusRegistryIoFailed = (NTSTATUS)0xC000016EL;

struct CmValue {
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<UCHAR> Data;
};

struct CmKey {
    std::u16string Name;
    CmKey *Parent = nullptr;  // null for the root and for deleted keys
    bool Volatile = false;
    bool Deleted = false;
    std::vector<std::shared_ptr<CmKey>> Subkeys;  // sorted by upcased name
    std::vector<CmValue> Values;                  // in creation order
    LONGLONG LastWrite = 0;
};

// Body of a key object: what a key handle refers to.
struct KeyBody {
    std::shared_ptr<CmKey> Key;
};

std::mutex gLock;  // guards the hive, the store and the set of key bodies
std::shared_ptr<CmKey> gRoot;
std::string gStorePath;
std::string gStartupError;
std::set<KeyBody *> gBodies;

void KeyDelete(void *body)
{
    auto *k = static_cast<KeyBody *>(body);
    std::lock_guard<std::mutex> guard(gLock);
    gBodies.erase(k);
    k->~KeyBody();
}

_OBJECT_TYPE gKeyType = {"Key", KeyDelete, nullptr};

bool NameEquals(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = x - u'a' + u'A';
        if (y >= u'a' && y <= u'z') y = y - u'a' + u'A';
        if (x != y) return false;
    }
    return true;
}

CmKey *FindSubkey(CmKey *key, const std::u16string &name)
{
    for (auto &s : key->Subkeys)
        if (NameEquals(s->Name, name)) return s.get();
    return nullptr;
}

CmValue *FindValue(CmKey *key, const std::u16string &name)
{
    for (auto &v : key->Values)
        if (NameEquals(v.Name, name)) return &v;
    return nullptr;
}

LONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

CmKey *AddSubkey(CmKey *parent, const std::u16string &name, bool isVolatile)
{
    auto key = std::make_shared<CmKey>();
    key->Name = name;
    key->Parent = parent;
    key->Volatile = isVolatile || parent->Volatile;
    key->LastWrite = Now();
    std::u16string up = UpcaseName(name);
    auto pos = std::find_if(parent->Subkeys.begin(), parent->Subkeys.end(),
                            [&](const std::shared_ptr<CmKey> &s) { return UpcaseName(s->Name) > up; });
    CmKey *raw = key.get();
    parent->Subkeys.insert(pos, std::move(key));
    return raw;
}

std::shared_ptr<CmKey> SharedOf(CmKey *key)
{
    if (key == gRoot.get()) return gRoot;
    for (auto &s : key->Parent->Subkeys)
        if (s.get() == key) return s;
    return nullptr;
}

// Splits a path on '\'. Returns false for an empty component in the middle ("a\\b").
bool SplitPath(const std::u16string &path, std::vector<std::u16string> &parts)
{
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string::npos) j = path.size();
        if (j == i) return false;
        parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return true;
}

// ---------------------------------------------------------------- store

uint32_t Crc32(const std::string &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Escape(const std::u16string &name)
{
    std::string out;
    char buf[8];
    for (char16_t c : name) {
        if (c == u'%' || c < 0x20 || c == 0x7F) {
            snprintf(buf, sizeof buf, "%%%02X", (unsigned)c);
            out += buf;
        } else if (c > 0x7F) {
            snprintf(buf, sizeof buf, "%%u%04X", (unsigned)c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

bool Unescape(const std::string &text, std::u16string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += (char16_t)(unsigned char)text[i];
            continue;
        }
        size_t digits = 2;
        if (i + 1 < text.size() && text[i + 1] == 'u') {
            digits = 4;
            ++i;
        }
        if (i + digits >= text.size()) return false;
        unsigned v = 0;
        for (size_t k = 1; k <= digits; ++k) {
            char h = text[i + k];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= h - '0';
            else if (h >= 'A' && h <= 'F')
                v |= h - 'A' + 10;
            else if (h >= 'a' && h <= 'f')
                v |= h - 'a' + 10;
            else
                return false;
        }
        out += (char16_t)v;
        i += digits;
    }
    return true;
}

void SerializeKey(const CmKey *key, const std::string &path, std::string &out)
{
    if (key->Volatile) return;
    out += "key " + path + "\n";
    static const char hex[] = "0123456789abcdef";
    for (const auto &v : key->Values) {
        out += "value " + std::to_string(v.Type) + " ";
        if (v.Data.empty()) out += "-";
        for (UCHAR b : v.Data) {
            out += hex[b >> 4];
            out += hex[b & 15];
        }
        out += " " + Escape(v.Name) + "\n";
    }
    for (const auto &s : key->Subkeys) SerializeKey(s.get(), path + "\\" + Escape(s->Name), out);
}

std::string SerializeHive()
{
    std::string out = "quorvel-registry 1\n";
    SerializeKey(gRoot.get(), "\\" + Escape(gRoot->Name), out);
    char end[32];
    snprintf(end, sizeof end, "end %08x\n", Crc32(out));
    return out + end;
}

// Store writes that failed since boot, and why the last one did (both under gLock): a caller
// that saw a change refused can tell the user the store's reason, not only the status.
unsigned long long gStoreFailures;
std::string gLastStoreFailure;

bool StoreFailed(const std::string &what, int error)
{
    ++gStoreFailures;
    gLastStoreFailure = what + " " + gStorePath + ": " + strerror(error);
    return false;
}

// Writes the store so that a crash leaves either the old or the new file: temporary file,
// fsync, rename over the old one, fsync of the directory. Only the host's user may read it:
// it holds every port's servers.
bool WriteStore(const std::string &data)
{
    if (gStorePath.empty()) return true;
    std::string tmp = gStorePath + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return StoreFailed("cannot create", errno);
    // A temporary file left by an older host may have other bits.
    if (fchmod(fd, 0600) != 0) {
        int error = errno;
        close(fd);
        unlink(tmp.c_str());
        return StoreFailed("cannot protect", error);
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            close(fd);
            unlink(tmp.c_str());
            return StoreFailed("cannot write", error);
        }
        done += (size_t)n;
    }
    if (fsync(fd) != 0) {
        int error = errno;
        close(fd);
        unlink(tmp.c_str());
        return StoreFailed("cannot write", error);
    }
    close(fd);
    if (rename(tmp.c_str(), gStorePath.c_str()) != 0) {
        int error = errno;
        unlink(tmp.c_str());
        return StoreFailed("cannot replace", error);
    }
    std::string dir = gStorePath.substr(0, gStorePath.find_last_of('/') + 1);
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

bool Persist(const CmKey *changed)
{
    if (changed->Volatile) return true;
    return WriteStore(SerializeHive());
}

bool LoadFail(std::string &error, size_t line, const std::string &why)
{
    error = "registry store " + gStorePath + " is corrupt (" + (line ? "line " + std::to_string(line) + ": " : "") +
            why + "); it was left as it is";
    return false;
}

bool LoadStore(const std::string &text, std::string &error)
{
    static const std::string header = "quorvel-registry 1\n";
    if (text.empty()) return LoadFail(error, 0, "the file is empty");
    if (text.compare(0, header.size(), header) != 0) return LoadFail(error, 1, "unknown header");
    if (text.back() != '\n') return LoadFail(error, 0, "the file is truncated");
    size_t lastStart = text.rfind('\n', text.size() - 2);
    lastStart = lastStart == std::string::npos ? 0 : lastStart + 1;
    std::string last = text.substr(lastStart, text.size() - 1 - lastStart);
    unsigned crc = 0;
    if (last.size() != 12 || last.compare(0, 4, "end ") != 0 || sscanf(last.c_str() + 4, "%8x", &crc) != 1)
        return LoadFail(error, 0, "the file is truncated: no end record");
    if (crc != Crc32(text.substr(0, lastStart))) return LoadFail(error, 0, "checksum mismatch");

    std::istringstream in(text.substr(header.size(), lastStart - header.size()));
    std::string line;
    size_t lineNo = 1;
    CmKey *current = nullptr;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.compare(0, 4, "key ") == 0) {
            std::u16string path;
            std::vector<std::u16string> parts;
            if (!Unescape(line.substr(4), path) || path.empty() || path[0] != u'\\' ||
                !SplitPath(path.substr(1), parts) || parts.empty() || !NameEquals(parts[0], gRoot->Name))
                return LoadFail(error, lineNo, "bad key path");
            current = gRoot.get();
            for (size_t i = 1; i < parts.size(); ++i) {
                CmKey *next = FindSubkey(current, parts[i]);
                current = next ? next : AddSubkey(current, parts[i], false);
            }
        } else if (line.compare(0, 6, "value ") == 0) {
            if (!current) return LoadFail(error, lineNo, "value before any key");
            std::istringstream fields(line.substr(6));
            std::string type, hex;
            if (!(fields >> type >> hex)) return LoadFail(error, lineNo, "bad value record");
            size_t nameAt = 6 + type.size() + 1 + hex.size() + 1;
            if (nameAt > line.size()) return LoadFail(error, lineNo, "bad value record");
            CmValue v;
            char *endp = nullptr;
            unsigned long t = strtoul(type.c_str(), &endp, 10);
            if (*endp != 0) return LoadFail(error, lineNo, "bad value type");
            v.Type = (ULONG)t;
            if (hex != "-") {
                if (hex.size() % 2) return LoadFail(error, lineNo, "bad value data");
                for (size_t i = 0; i < hex.size(); i += 2) {
                    unsigned b;
                    if (sscanf(hex.c_str() + i, "%2x", &b) != 1 || !isxdigit((unsigned char)hex[i]) ||
                        !isxdigit((unsigned char)hex[i + 1]))
                        return LoadFail(error, lineNo, "bad value data");
                    v.Data.push_back((UCHAR)b);
                }
            }
            if (!Unescape(line.substr(nameAt), v.Name)) return LoadFail(error, lineNo, "bad value name");
            if (FindValue(current, v.Name)) return LoadFail(error, lineNo, "duplicate value");
            current->Values.push_back(std::move(v));
        } else {
            return LoadFail(error, lineNo, "unknown record");
        }
    }
    return true;
}

// ---------------------------------------------------------------- key handles

NTSTATUS InsertKeyHandle(CmKey *key, HANDLE *handle, bool kernelHandle)
{
    void *body = ObCreateObject(&gKeyType, sizeof(KeyBody));
    if (!body) return STATUS_INSUFFICIENT_RESOURCES;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto *k = new (body) KeyBody{SharedOf(key)};
        gBodies.insert(k);
    }
    NTSTATUS status = ObInsertHandle(body, handle, kernelHandle);
    ObfDereferenceObject(body);
    return status;
}

// References the key behind a handle; the caller releases the body with ObfDereferenceObject.
NTSTATUS ReferenceKey(HANDLE handle, KeyBody **body)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &gKeyType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *body = static_cast<KeyBody *>(object);
    return STATUS_SUCCESS;
}

struct KeyRef {
    KeyBody *Body = nullptr;
    ~KeyRef()
    {
        if (Body) ObfDereferenceObject(Body);
    }
};

void CheckIrql(const char *routine) { VerifyIrql(routine); }

// Resolves OBJECT_ATTRIBUTES to a start key and the remaining path components.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES oa, KeyRef &root, CmKey **start, std::vector<std::u16string> &parts)
{
    if (!oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
    std::u16string name = FromUnicodeString(oa->ObjectName);
    if (oa->RootDirectory) {
        NTSTATUS status = ReferenceKey(oa->RootDirectory, &root.Body);
        if (!NT_SUCCESS(status)) return status;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *start = root.Body->Key.get();
        if (!SplitPath(name, parts)) return STATUS_OBJECT_NAME_INVALID;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitPath(name.substr(1), parts) || parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!NameEquals(parts[0], gRoot->Name)) return STATUS_OBJECT_PATH_NOT_FOUND;
    parts.erase(parts.begin());
    *start = nullptr;  // the root, looked up under the lock
    return STATUS_SUCCESS;
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

NTSTATUS FillValueInformation(const CmValue &v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength)
{
    ULONG nameBytes = (ULONG)(v.Name.size() * sizeof(WCHAR));
    ULONG dataBytes = (ULONG)v.Data.size();
    ULONG fixed, needed, dataOffset = 0, nameOffset = 0;
    switch (cls) {
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        dataOffset = fixed;
        break;
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        nameOffset = fixed;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        nameOffset = fixed;
        dataOffset = (fixed + nameBytes + 3) & ~3u;
        needed = dataOffset + dataBytes;
        break;
    default: return STATUS_INVALID_INFO_CLASS;
    }
    if (resultLength) *resultLength = needed;
    if (length < fixed || !buffer) return STATUS_BUFFER_TOO_SMALL;
    auto *p = static_cast<UCHAR *>(buffer);
    if (cls == KeyValuePartialInformation) {
        auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = v.Type;
        info->DataLength = dataBytes;
    } else if (cls == KeyValueBasicInformation) {
        auto *info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = v.Type;
        info->NameLength = nameBytes;
    } else {
        auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = v.Type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
    }
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    if (nameOffset) memcpy(p + nameOffset, v.Name.data(), nameBytes);
    if (dataOffset && dataBytes) memcpy(p + dataOffset, v.Data.data(), dataBytes);
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(POBJECT_ATTRIBUTES oa, bool create, bool isVolatile, PULONG disposition, HANDLE *handle)
{
    if (!handle) return STATUS_INVALID_PARAMETER;
    KeyRef root;
    CmKey *start = nullptr;
    std::vector<std::u16string> parts;
    NTSTATUS status = ResolveAttributes(oa, root, &start, parts);
    if (!NT_SUCCESS(status)) return status;
    CmKey *key;
    bool created = false;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (!gRoot) return STATUS_DEVICE_NOT_READY;
        key = start ? start : gRoot.get();
        if (key->Deleted) return kStatusKeyDeleted;
        for (size_t i = 0; i < parts.size(); ++i) {
            CmKey *next = FindSubkey(key, parts[i]);
            if (!next) {
                // Like the kernel, only the last component is created.
                if (!create || i + 1 != parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
                next = AddSubkey(key, parts[i], isVolatile);
                created = true;
                if (!Persist(next)) {
                    key->Subkeys.erase(std::find_if(key->Subkeys.begin(), key->Subkeys.end(),
                                                    [&](auto &s) { return s.get() == next; }));
                    return kStatusRegistryIoFailed;
                }
            }
            key = next;
        }
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return InsertKeyHandle(key, handle, (oa->Attributes & OBJ_KERNEL_HANDLE) != 0);
}

std::u16string RtlRelativePath(ULONG relativeTo, PCWSTR path, bool *ok)
{
    *ok = true;
    std::u16string p = path ? std::u16string(path) : std::u16string();
    switch (relativeTo & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE: return p;
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + p;
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\" + p;
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\" + p;
    default: *ok = false; return p;
    }
}

// Writes one component at a time under the lock; used by the harness and boot.
CmKey *WalkCreate(const std::u16string &path, bool create, bool isVolatile, NTSTATUS *status)
{
    std::vector<std::u16string> parts;
    if (path.empty() || path[0] != u'\\' || !SplitPath(path.substr(1), parts) || parts.empty() ||
        !NameEquals(parts[0], gRoot->Name)) {
        *status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return nullptr;
    }
    CmKey *key = gRoot.get();
    for (size_t i = 1; i < parts.size(); ++i) {
        CmKey *next = FindSubkey(key, parts[i]);
        if (!next) {
            if (!create) {
                *status = STATUS_OBJECT_NAME_NOT_FOUND;
                return nullptr;
            }
            next = AddSubkey(key, parts[i], isVolatile);
            if (!Persist(next)) {
                key->Subkeys.erase(
                    std::find_if(key->Subkeys.begin(), key->Subkeys.end(), [&](auto &s) { return s.get() == next; }));
                *status = kStatusRegistryIoFailed;
                return nullptr;
            }
        }
        key = next;
    }
    *status = STATUS_SUCCESS;
    return key;
}

NTSTATUS SetValueLocked(CmKey *key, const std::u16string &name, ULONG type, const void *data, ULONG size)
{
    if (key->Deleted) return kStatusKeyDeleted;
    CmValue *v = FindValue(key, name);
    bool existed = v != nullptr;
    CmValue old;
    if (existed) {
        old = *v;
    } else {
        key->Values.push_back(CmValue{name, type, {}});
        v = &key->Values.back();
    }
    v->Type = type;
    v->Data.assign(static_cast<const UCHAR *>(data), static_cast<const UCHAR *>(data) + size);
    LONGLONG oldWrite = key->LastWrite;
    key->LastWrite = Now();
    if (!Persist(key)) {
        if (existed)
            *v = old;
        else
            key->Values.pop_back();
        key->LastWrite = oldWrite;
        return kStatusRegistryIoFailed;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeleteValueLocked(CmKey *key, const std::u16string &name)
{
    if (key->Deleted) return kStatusKeyDeleted;
    for (size_t i = 0; i < key->Values.size(); ++i) {
        if (!NameEquals(key->Values[i].Name, name)) continue;
        CmValue old = key->Values[i];
        key->Values.erase(key->Values.begin() + (long)i);
        if (!Persist(key)) {
            key->Values.insert(key->Values.begin() + (long)i, std::move(old));
            return kStatusRegistryIoFailed;
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void EnsureKey(const char16_t *path, bool isVolatile)
{
    NTSTATUS status;
    WalkCreate(path, true, isVolatile, &status);
}

}  // namespace

// ---------------------------------------------------------------- helpers shared with the I/O manager

std::u16string Utf16(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < text.size())
            cp = ((c & 0x1F) << 6) | (text[i + 1] & 0x3F), n = 2;
        else if (c >= 0xE0 && c < 0xF0 && i + 2 < text.size())
            cp = ((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F), n = 3;
        out += (char16_t)cp;
        i += n;
    }
    return out;
}

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer) return std::u16string();
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string UpcaseName(const std::u16string &name)
{
    std::u16string out = name;
    for (auto &c : out)
        if (c >= u'a' && c <= u'z') c = c - u'a' + u'A';
    return out;
}

NTSTATUS CmOpenKeyByPath(const std::u16string &path, bool create, bool isVolatile, HANDLE *handle)
{
    CmKey *key;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (!gRoot) return STATUS_DEVICE_NOT_READY;
        NTSTATUS status;
        key = WalkCreate(path, create, isVolatile, &status);
        if (!key) return status;
    }
    return InsertKeyHandle(key, handle, true);
}

// ---------------------------------------------------------------- boot and shutdown

NTSTATUS CmStartup(const BootConfig &config)
{
    std::string error;
    {
        std::lock_guard<std::mutex> guard(gLock);
        gStartupError.clear();
        gRoot = std::make_shared<CmKey>();
        gRoot->Name = u"REGISTRY";
        gStorePath = config.StateDirectory.empty() ? std::string() : config.StateDirectory + "/registry.dat";
        gStoreFailures = 0;
        gLastStoreFailure.clear();
        if (!gStorePath.empty()) {
            FILE *f = fopen(gStorePath.c_str(), "rb");
            if (f) {
                // A store written by an older host was readable by everyone.
                fchmod(fileno(f), 0600);
                std::string text;
                char buf[65536];
                size_t n;
                while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
                bool readError = ferror(f);
                fclose(f);
                if (readError) {
                    error = "registry store " + gStorePath + " cannot be read; it was left as it is";
                } else if (!LoadStore(text, error)) {
                    // error already says what is wrong
                }
            } else if (errno != ENOENT) {
                error = "registry store " + gStorePath + " cannot be opened (" + strerror(errno) +
                        "); it was left as it is";
            }
        }
        if (error.empty()) {
            // Saves the hive only if one of these keys is new.
            EnsureKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services", false);
            EnsureKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class", false);
            EnsureKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum", false);
            EnsureKey(u"\\Registry\\Machine\\SOFTWARE", false);
            EnsureKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true);
        } else {
            gStartupError = error;
            gRoot.reset();
            gStorePath.clear();
        }
    }
    if (!error.empty()) {
        fprintf(stderr, "quorvel platform: %s\n", error.c_str());
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

void CmShutdown(PlatformReport &report)
{
    std::lock_guard<std::mutex> guard(gLock);
    // Keys still open are reported by the object manager; drop their hold on the hive here so
    // that the hive's memory goes with it.
    for (KeyBody *k : gBodies) k->Key.reset();
    gBodies.clear();
    gRoot.reset();
    gStorePath.clear();
}

std::string RegistryStartupError()
{
    std::lock_guard<std::mutex> guard(gLock);
    return gStartupError;
}

RegistryStoreFailures RegistryStoreFailureCount()
{
    std::lock_guard<std::mutex> guard(gLock);
    return RegistryStoreFailures{gStoreFailures, gLastStoreFailure};
}

// ---------------------------------------------------------------- harness

bool RegistryReadValue(const std::string &keyPath, const std::string &name, ULONG *type, std::vector<UCHAR> *data)
{
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return false;
    NTSTATUS status;
    CmKey *key = WalkCreate(Utf16(keyPath), false, false, &status);
    if (!key) return false;
    CmValue *v = FindValue(key, Utf16(name));
    if (!v) return false;
    if (type) *type = v->Type;
    if (data) *data = v->Data;
    return true;
}

NTSTATUS RegistryWriteValue(const std::string &keyPath, const std::string &name, ULONG type,
                            const std::vector<UCHAR> &data)
{
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return STATUS_DEVICE_NOT_READY;
    NTSTATUS status;
    CmKey *key = WalkCreate(Utf16(keyPath), true, false, &status);
    if (!key) return status;
    return SetValueLocked(key, Utf16(name), type, data.data(), (ULONG)data.size());
}

NTSTATUS RegistryWriteString(const std::string &keyPath, const std::string &name, const std::string &text)
{
    std::u16string w = Utf16(text);
    std::vector<UCHAR> data((const UCHAR *)w.c_str(), (const UCHAR *)w.c_str() + (w.size() + 1) * sizeof(WCHAR));
    return RegistryWriteValue(keyPath, name, REG_SZ, data);
}

bool RegistryReadString(const std::string &keyPath, const std::string &name, std::string *text)
{
    ULONG type;
    std::vector<UCHAR> data;
    if (!RegistryReadValue(keyPath, name, &type, &data) || !IsStringType(type)) return false;
    std::u16string w((const char16_t *)data.data(), data.size() / sizeof(WCHAR));
    while (!w.empty() && w.back() == 0) w.pop_back();
    *text = Utf8(w);
    return true;
}

bool RegistryKeyExists(const std::string &keyPath)
{
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return false;
    NTSTATUS status;
    return WalkCreate(Utf16(keyPath), false, false, &status) != nullptr;
}

std::vector<std::string> RegistrySubkeys(const std::string &keyPath)
{
    std::vector<std::string> out;
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return out;
    NTSTATUS status;
    CmKey *key = WalkCreate(Utf16(keyPath), false, false, &status);
    if (key)
        for (auto &s : key->Subkeys) out.push_back(Utf8(s->Name));
    return out;
}

std::vector<std::string> RegistryValueNames(const std::string &keyPath)
{
    std::vector<std::string> out;
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return out;
    NTSTATUS status;
    CmKey *key = WalkCreate(Utf16(keyPath), false, false, &status);
    if (key)
        for (auto &v : key->Values) out.push_back(Utf8(v.Name));
    return out;
}

}  // namespace qv

using namespace qv;

// ---------------------------------------------------------------- kernel routines

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    CheckIrql("ZwCreateKey");
    return OpenOrCreate(ObjectAttributes, true, (CreateOptions & REG_OPTION_VOLATILE) != 0, Disposition, KeyHandle);
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    CheckIrql("ZwOpenKey");
    return OpenOrCreate(ObjectAttributes, false, false, nullptr, KeyHandle);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                                  ULONG DataSize)
{
    CheckIrql("ZwSetValueKey");
    if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    return SetValueLocked(ref.Body->Key.get(), FromUnicodeString(ValueName), Type, Data, DataSize);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength)
{
    CheckIrql("ZwQueryValueKey");
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    CmKey *key = ref.Body->Key.get();
    if (key->Deleted) return kStatusKeyDeleted;
    CmValue *v = FindValue(key, FromUnicodeString(ValueName));
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    CheckIrql("ZwDeleteValueKey");
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    return DeleteValueLocked(ref.Body->Key.get(), FromUnicodeString(ValueName));
}

extern "C" NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    CheckIrql("ZwDeleteKey");
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    CmKey *key = ref.Body->Key.get();
    if (key->Deleted) return kStatusKeyDeleted;
    if (!key->Parent || !key->Subkeys.empty()) return kStatusCannotDelete;
    CmKey *parent = key->Parent;
    auto it = std::find_if(parent->Subkeys.begin(), parent->Subkeys.end(), [&](auto &s) { return s.get() == key; });
    std::shared_ptr<CmKey> keep = *it;
    size_t at = (size_t)(it - parent->Subkeys.begin());
    parent->Subkeys.erase(it);
    if (!key->Volatile && !WriteStore(SerializeHive())) {
        parent->Subkeys.insert(parent->Subkeys.begin() + (long)at, keep);
        return kStatusRegistryIoFailed;
    }
    key->Deleted = true;
    key->Parent = nullptr;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                   PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    CheckIrql("ZwEnumerateKey");
    if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_INFO_CLASS;
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    CmKey *key = ref.Body->Key.get();
    if (key->Deleted) return kStatusKeyDeleted;
    if (Index >= key->Subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    const CmKey *sub = key->Subkeys[Index].get();
    ULONG nameBytes = (ULONG)(sub->Name.size() * sizeof(WCHAR));
    ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
    if (ResultLength) *ResultLength = fixed + nameBytes;
    if (Length < fixed || !KeyInformation) return STATUS_BUFFER_TOO_SMALL;
    auto *info = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
    info->LastWriteTime.QuadPart = sub->LastWrite;
    info->TitleIndex = 0;
    info->NameLength = nameBytes;
    if (Length < fixed + nameBytes) return STATUS_BUFFER_OVERFLOW;
    memcpy(info->Name, sub->Name.data(), nameBytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                        ULONG Length, PULONG ResultLength)
{
    CheckIrql("ZwEnumerateValueKey");
    KeyRef ref;
    NTSTATUS status = ReferenceKey(KeyHandle, &ref.Body);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(gLock);
    CmKey *key = ref.Body->Key.get();
    if (key->Deleted) return kStatusKeyDeleted;
    if (Index >= key->Values.size()) return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(key->Values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                          PVOID ValueData, ULONG ValueLength)
{
    CheckIrql("RtlWriteRegistryValue");
    if (ShouldInjectFault("RtlWriteRegistryValue")) return STATUS_INSUFFICIENT_RESOURCES;
    if (!ValueName || (ValueLength && !ValueData)) return STATUS_INVALID_PARAMETER;
    bool ok;
    std::u16string path = RtlRelativePath(RelativeTo, Path, &ok);
    if (!ok) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return STATUS_DEVICE_NOT_READY;
    NTSTATUS status;
    // The key itself must exist except for its last component, as with ZwCreateKey.
    size_t cut = path.find_last_of(u'\\');
    if (cut == std::u16string::npos || cut == 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    CmKey *parent = WalkCreate(path.substr(0, cut), false, false, &status);
    if (!parent) return status;
    std::u16string last = path.substr(cut + 1);
    CmKey *key = last.empty() ? parent : FindSubkey(parent, last);
    if (!key) {
        key = AddSubkey(parent, last, false);
        if (!Persist(key)) {
            parent->Subkeys.erase(
                std::find_if(parent->Subkeys.begin(), parent->Subkeys.end(), [&](auto &s) { return s.get() == key; }));
            return kStatusRegistryIoFailed;
        }
    }
    return SetValueLocked(key, ValueName, ValueType, ValueData, ValueLength);
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    CheckIrql("RtlDeleteRegistryValue");
    if (!ValueName) return STATUS_INVALID_PARAMETER;
    bool ok;
    std::u16string path = RtlRelativePath(RelativeTo, Path, &ok);
    if (!ok) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(gLock);
    if (!gRoot) return STATUS_DEVICE_NOT_READY;
    NTSTATUS status;
    CmKey *key = WalkCreate(path, false, false, &status);
    if (!key) return status;
    return DeleteValueLocked(key, ValueName);
}
