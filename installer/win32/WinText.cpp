#include "WinText.h"

#include <stdexcept>
#include <vector>

std::wstring Wide(const std::string &utf8)
{
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring &text)
{
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string ItemText(HWND dialog, int id)
{
    HWND item = GetDlgItem(dialog, id);
    int length = GetWindowTextLengthW(item);
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
    int got = GetWindowTextW(item, buffer.data(), length + 1);
    return Narrow(std::wstring(buffer.data(), static_cast<std::size_t>(got)));
}

void SetItemText(HWND dialog, int id, const std::string &utf8) { SetDlgItemTextW(dialog, id, Wide(utf8).c_str()); }

void ShowErrorBox(HWND owner, const std::string &utf8)
{
    MessageBoxW(owner, Wide(utf8).c_str(), kCaption, MB_OK | MB_ICONERROR);
}

bool Confirm(HWND owner, const std::string &utf8)
{
    return MessageBoxW(owner, Wide(utf8).c_str(), kCaption, MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2) == IDOK;
}

std::string ExceptionText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
        return "Неизвестная ошибка";
    }
}

INT_PTR RunModal(HWND owner, int templateId, DLGPROC proc, const void *state)
{
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), owner, proc,
                           reinterpret_cast<LPARAM>(state));
}
