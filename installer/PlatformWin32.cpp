#include "PlatformWin32.h"

#include "common/sysmsg.h"

#include "common/filterservice.h"
#include "common/multisz.h"

// winsock2.h must come before windows.h, and windows.h before the rest.
#include <winsock2.h>

#include <windows.h>

#include <commctrl.h>
#include <newdev.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winver.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace plat {
namespace {

// Longest setup class name, in characters (SetupAPI's MAX_CLASS_NAME_LEN).
constexpr DWORD kMaxClassNameLength = 32;

static_assert(sizeof(GUID) == sizeof(Guid), "GUID layout");
static_assert(sizeof(WCHAR) == sizeof(char16_t), "UTF-16 strings");

GUID ToGuid(const Guid &g)
{
    GUID out;
    out.Data1 = g.d1;
    out.Data2 = g.d2;
    out.Data3 = g.d3;
    std::memcpy(out.Data4, g.d4, sizeof out.Data4);
    return out;
}

Guid FromGuid(const GUID &g)
{
    Guid out;
    out.d1 = g.Data1;
    out.d2 = g.Data2;
    out.d3 = g.Data3;
    std::memcpy(out.d4, g.Data4, sizeof out.d4);
    return out;
}

HDEVINFO ToSet(DevSet set) { return reinterpret_cast<HDEVINFO>(static_cast<ULONG_PTR>(set)); }

DevSet FromSet(HDEVINFO set)
{
    return set == INVALID_HANDLE_VALUE ? kNoDevSet : static_cast<DevSet>(reinterpret_cast<ULONG_PTR>(set));
}

SP_DEVINFO_DATA ToDevInfo(const DevData &d)
{
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    data.ClassGuid = ToGuid(d.classGuid);
    data.DevInst = d.devInst;
    data.Reserved = static_cast<ULONG_PTR>(d.reserved);
    return data;
}

DevData FromDevInfo(const SP_DEVINFO_DATA &data)
{
    DevData d;
    d.classGuid = FromGuid(data.ClassGuid);
    d.devInst = data.DevInst;
    d.reserved = static_cast<std::uint64_t>(data.Reserved);
    return d;
}

const WCHAR *W(const U16 &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }

U16 FromW(const WCHAR *s, std::size_t n) { return U16(reinterpret_cast<const char16_t *>(s), n); }

// Returns the last error of the call that just failed; never 0, so a failure is never success.
Win32Error LastError()
{
    DWORD err = GetLastError();
    return err != 0 ? err : ERROR_GEN_FAILURE;
}

// Compares two files byte for byte.
Win32Error SameFileContent(const U16 &a, const U16 &b, bool *same)
{
    *same = false;
    HANDLE files[2];
    files[0] = CreateFileW(W(a), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (files[0] == INVALID_HANDLE_VALUE) return LastError();
    files[1] = CreateFileW(W(b), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (files[1] == INVALID_HANDLE_VALUE) {
        Win32Error err = LastError();
        CloseHandle(files[0]);
        return err;
    }
    Win32Error err = ERROR_SUCCESS;
    LARGE_INTEGER sizes[2];
    if (!GetFileSizeEx(files[0], &sizes[0]) || !GetFileSizeEx(files[1], &sizes[1])) {
        err = LastError();
    } else if (sizes[0].QuadPart == sizes[1].QuadPart) {
        std::vector<BYTE> blocks[2] = {std::vector<BYTE>(65536), std::vector<BYTE>(65536)};
        *same = true;
        for (;;) {
            DWORD got[2] = {0, 0};
            if (!ReadFile(files[0], blocks[0].data(), 65536, &got[0], nullptr) ||
                !ReadFile(files[1], blocks[1].data(), 65536, &got[1], nullptr)) {
                err = LastError();
                *same = false;
                break;
            }
            if (got[0] != got[1] || std::memcmp(blocks[0].data(), blocks[1].data(), got[0]) != 0) {
                *same = false;
                break;
            }
            if (got[0] == 0) break;
        }
    }
    CloseHandle(files[0]);
    CloseHandle(files[1]);
    return err;
}

// 0 when no service has the name or the one that has it is this filter's own; ERROR_SERVICE_EXISTS
// when it belongs to something else.
Win32Error CheckExistingFilterService(const U16 &name, const U16 &target, const U16 &windows)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return LastError();
    Win32Error err = ERROR_SUCCESS;
    SC_HANDLE service = OpenServiceW(manager, W(name), SERVICE_QUERY_CONFIG);
    if (!service) {
        err = LastError();
        if (err == ERROR_SERVICE_DOES_NOT_EXIST) err = ERROR_SUCCESS;
    } else {
        DWORD needed = 0;
        QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
        if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
            err = LastError();
        } else {
            quorvel::ServiceConfig existing;
            existing.type = config->dwServiceType;
            auto text = [](const WCHAR *s) { return s ? FromW(s, wcslen(s)) : U16(); };
            existing.loadOrderGroup = text(config->lpLoadOrderGroup);
            existing.imagePath = text(config->lpBinaryPathName);
            if (!quorvel::IsOwnFilterService(existing, target, windows)) err = ERROR_SERVICE_EXISTS;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return err;
}

}  // namespace

PlatformWin32::PlatformWin32() = default;

PlatformWin32::~PlatformWin32()
{
    if (winsockStarted_) WSACleanup();
}

Win32Error PlatformWin32::GetClassDevs(const Guid *cls, std::uint32_t flags, DevSet *out)
{
    GUID guid = cls ? ToGuid(*cls) : GUID();
    HDEVINFO set = SetupDiGetClassDevsW(cls ? &guid : nullptr, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        *out = kNoDevSet;
        return LastError();
    }
    *out = FromSet(set);
    return ERROR_SUCCESS;
}

Win32Error PlatformWin32::EnumDeviceInfo(DevSet set, std::uint32_t index, DevData *out)
{
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiEnumDeviceInfo(ToSet(set), index, &data)) return LastError();
    *out = FromDevInfo(data);
    return ERROR_SUCCESS;
}

void PlatformWin32::DestroyDeviceInfoList(DevSet set)
{
    if (set != kNoDevSet) SetupDiDestroyDeviceInfoList(ToSet(set));
}

Win32Error PlatformWin32::GetClassDescription(const Guid &cls, U16 *out)
{
    GUID guid = ToGuid(cls);
    DWORD needed = 0;
    SetupDiGetClassDescriptionW(&guid, nullptr, 0, &needed);
    std::vector<WCHAR> text(needed + 1, 0);
    if (!SetupDiGetClassDescriptionW(&guid, text.data(), needed + 1, &needed)) {
        out->clear();
        return LastError();
    }
    *out = FromW(text.data(), wcsnlen(text.data(), text.size()));
    return ERROR_SUCCESS;
}

Win32Error PlatformWin32::GetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                    std::uint32_t bufferSize, Bytes *data, std::uint32_t *needed)
{
    SP_DEVINFO_DATA info = ToDevInfo(dev);
    data->assign(bufferSize, 0);
    DWORD required = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyW(ToSet(set), &info, property, nullptr,
                                                bufferSize ? data->data() : nullptr, bufferSize, &required);
    Win32Error err = ok ? ERROR_SUCCESS : LastError();
    if (needed) *needed = required;
    if (err != ERROR_SUCCESS)
        data->clear();
    else if (required < bufferSize)
        data->resize(required);
    return err;
}

Win32Error PlatformWin32::SetDeviceRegistryProperty(DevSet set, const DevData &dev, std::uint32_t property,
                                                    const Bytes &data)
{
    SP_DEVINFO_DATA info = ToDevInfo(dev);
    if (!SetupDiSetDeviceRegistryPropertyW(ToSet(set), &info, property, data.empty() ? nullptr : data.data(),
                                           static_cast<DWORD>(data.size())))
        return LastError();
    return ERROR_SUCCESS;
}

Win32Error PlatformWin32::QueryClassValue(const Guid &cls, const U16 &name, std::uint32_t bufferSize, Bytes *data)
{
    GUID guid = ToGuid(cls);
    HKEY key = SetupDiOpenClassRegKey(&guid, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return LastError();
    data->assign(bufferSize, 0);
    DWORD size = bufferSize;
    LONG status = RegQueryValueExW(key, W(name), nullptr, nullptr, bufferSize ? data->data() : nullptr, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        data->clear();
        return static_cast<Win32Error>(status);
    }
    data->resize(size < bufferSize ? size : bufferSize);
    return ERROR_SUCCESS;
}

Win32Error PlatformWin32::SetClassMultiSz(const Guid &cls, const U16 &name, const Bytes &data)
{
    GUID guid = ToGuid(cls);
    HKEY key = SetupDiOpenClassRegKey(&guid, KEY_ALL_ACCESS);
    if (key == INVALID_HANDLE_VALUE) return LastError();
    LONG status = RegSetValueExW(key, W(name), 0, REG_MULTI_SZ, data.empty() ? nullptr : data.data(),
                                 static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return static_cast<Win32Error>(status);
}

bool PlatformWin32::ClassIcon(const Guid &cls, Icon16 *out)
{
    SP_CLASSIMAGELIST_DATA images;
    std::memset(&images, 0, sizeof images);
    images.cbSize = sizeof(SP_CLASSIMAGELIST_DATA);
    if (!SetupDiGetClassImageList(&images)) return false;
    GUID guid = ToGuid(cls);
    int index = 0;
    bool found = SetupDiGetClassImageIndex(&images, &guid, &index) != FALSE;
    if (found) {
        // Drawn over a key colour into a 32-bit DIB; the key colour becomes transparent.
        const COLORREF key = RGB(255, 0, 255);
        BITMAPINFO bmi;
        std::memset(&bmi, 0, sizeof bmi);
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = 16;
        bmi.bmiHeader.biHeight = -16;  // top-down
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        bmi.bmiHeader.biCompression = BI_RGB;
        void *bits = nullptr;
        HDC dc = CreateCompatibleDC(nullptr);
        HBITMAP bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
        found = dc && bitmap && bits;
        if (found) {
            HGDIOBJ old = SelectObject(dc, bitmap);
            HBRUSH brush = CreateSolidBrush(key);
            RECT rect = {0, 0, 16, 16};
            FillRect(dc, &rect, brush);
            DeleteObject(brush);
            ImageList_Draw(images.ImageList, index, dc, 0, 0, ILD_TRANSPARENT);
            GdiFlush();
            const std::uint32_t *pixels = static_cast<const std::uint32_t *>(bits);
            for (std::size_t i = 0; i < out->argb.size(); ++i) {
                std::uint32_t rgb = pixels[i] & 0x00FFFFFFu;
                out->argb[i] = rgb == 0x00FF00FFu ? 0u : (0xFF000000u | rgb);
            }
            SelectObject(dc, old);
        }
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
    }
    SetupDiDestroyClassImageList(&images);
    return found;
}

Win32Error PlatformWin32::PortIoControl(const U16 &portName, std::uint32_t ioctl, const Bytes &input,
                                        std::uint32_t outputSize, Bytes *output, std::uint32_t *information)
{
    if (information) *information = 0;
    if (portName.empty()) return ERROR_FILE_NOT_FOUND;
    U16 path = u"\\\\.\\" + portName;
    HANDLE port = CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return LastError();
    Bytes buffer(outputSize, 0);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(port, ioctl, input.empty() ? nullptr : const_cast<std::uint8_t *>(input.data()),
                              static_cast<DWORD>(input.size()), outputSize ? buffer.data() : nullptr, outputSize,
                              &returned, nullptr);
    Win32Error err = ok ? ERROR_SUCCESS : LastError();
    CloseHandle(port);
    if (information) *information = returned;
    if (output) {
        output->clear();
        if (err == ERROR_SUCCESS)
            output->assign(buffer.begin(), buffer.begin() + (returned < outputSize ? returned : outputSize));
    }
    return err;
}

bool PlatformWin32::ResolveHostV4(const std::string &host, std::array<std::uint8_t, 4> *out)
{
    if (host.empty()) return false;
    if (!winsockStarted_) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
        winsockStarted_ = true;
    }
    hostent *entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0]) return false;
    std::memcpy(out->data(), entry->h_addr_list[0], 4);
    return true;
}

Win32Error PlatformWin32::InstallDevice(const U16 &infPath, const U16 &hardwareId)
{
    GUID infClass;
    WCHAR className[kMaxClassNameLength];
    if (!SetupDiGetINFClassW(W(infPath), &infClass, className, kMaxClassNameLength, nullptr)) return LastError();
    // Every port device goes into the Ports class, whatever class the INF names.
    GUID ports = ToGuid(quorvel::kPortsClassGuid);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports, nullptr);
    if (set == INVALID_HANDLE_VALUE) return LastError();

    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    // The REG_MULTI_SZ list with the one hardware id.
    std::vector<WCHAR> ids(hardwareId.size() + 2, 0);
    std::memcpy(ids.data(), hardwareId.data(), hardwareId.size() * sizeof(WCHAR));

    Win32Error err = ERROR_SUCCESS;
    if (!SetupDiCreateDeviceInfoW(set, className, &ports, nullptr, nullptr, DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(WCHAR))) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        err = LastError();
        SetupDiDestroyDeviceInfoList(set);
        return err;
    }
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, W(hardwareId), W(infPath), INSTALLFLAG_FORCE, nullptr)) {
        err = LastError();
        // No half-installed device is left behind.
        SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
    return err;
}

Win32Error PlatformWin32::RemoveDevice(DevSet set, const DevData &dev)
{
    SP_DEVINFO_DATA info = ToDevInfo(dev);
    if (!SetupDiCallClassInstaller(DIF_REMOVE, ToSet(set), &info)) return LastError();
    return ERROR_SUCCESS;
}

Win32Error PlatformWin32::InstallFilterService(const U16 &filePath, U16 *serviceName)
{
    serviceName->clear();
    WCHAR windir[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return length == 0 ? LastError() : ERROR_INSUFFICIENT_BUFFER;
    U16 windows = FromW(windir, length);
    U16 fileName = quorvel::FilterFileName(filePath);
    U16 target = quorvel::FilterTargetPath(windows, fileName);
    U16 name = quorvel::FilterServiceName(fileName);
    bool inPlace = quorvel::SamePathText(filePath, target);

    // Another driver's file of the same name is never overwritten, and another service of the
    // same name is never taken over: either would put a foreign driver into the Ports stacks.
    if (!inPlace && GetFileAttributesW(W(target)) != INVALID_FILE_ATTRIBUTES) {
        bool same = false;
        if (Win32Error err = SameFileContent(filePath, target, &same)) return err;
        if (!same) return ERROR_FILE_EXISTS;
    }
    if (Win32Error err = CheckExistingFilterService(name, target, windows)) return err;

    // A file already in place needs no copy (copying a file onto itself fails).
    if (!inPlace && !CopyFileW(W(filePath), W(target), FALSE)) return LastError();

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return LastError();
    Win32Error err = ERROR_SUCCESS;
    SC_HANDLE service =
        CreateServiceW(manager, W(name), W(name), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, W(target), L"PNP Filter", nullptr, nullptr, nullptr, nullptr);
    if (service)
        CloseServiceHandle(service);
    else
        err = LastError();
    CloseServiceHandle(manager);
    if (err == ERROR_SERVICE_EXISTS) err = ERROR_SUCCESS;
    if (err == ERROR_SUCCESS) *serviceName = name;
    return err;
}

Win32Error PlatformWin32::LoadVersionInfo(const U16 &file, Bytes *blob)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(W(file), &handle);
    if (size == 0) return LastError();
    blob->assign(size, 0);
    if (!GetFileVersionInfoW(W(file), 0, size, blob->data())) {
        Win32Error err = LastError();
        blob->clear();
        return err;
    }
    return ERROR_SUCCESS;
}

bool PlatformWin32::QueryVersionValue(const Bytes &blob, const U16 &subBlock, Bytes *value)
{
    void *data = nullptr;
    UINT length = 0;
    if (blob.empty() || !VerQueryValueW(const_cast<std::uint8_t *>(blob.data()), W(subBlock), &data, &length) || !data)
        return false;
    // String values are measured in characters, binary ones in bytes.
    bool text = subBlock.rfind(u"\\StringFileInfo", 0) == 0;
    std::size_t bytes = text ? std::size_t(length) * sizeof(WCHAR) : length;
    const std::uint8_t *p = static_cast<const std::uint8_t *>(data);
    value->assign(p, p + bytes);
    return true;
}

Win32Error PlatformWin32::ShellOpen(const U16 &url)
{
    // Shown normally: a hidden mail client or browser would look like nothing happened.
    INT_PTR result =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", W(url), nullptr, nullptr, SW_SHOWNORMAL));
    if (result > 32) return ERROR_SUCCESS;
    return result == 0 ? ERROR_NOT_ENOUGH_MEMORY : static_cast<Win32Error>(result);
}

U16 PlatformWin32::SystemMessage(Win32Error code)
{
    WCHAR *text = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    U16 message;
    if (length && text) {
        message = FromW(text, length);
        while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' '))
            message.pop_back();
    }
    if (text) LocalFree(text);
    // Most SetupAPI codes have no system text: our table has them, and the code itself is the
    // last resort.
    if (message.empty()) message = quorvel::Utf8ToUtf16(quorvel::HostSystemMessage(code));
    return message;
}

}  // namespace plat
