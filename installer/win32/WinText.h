// What every window of the Windows configurator shares: UTF-8 to UTF-16 at the window's edge,
// the error and question boxes, and the guard that turns a failure into an error box.
#pragma once

// winsock2.h, then windows.h: the order Winsock needs.
#include "common/wintypes.h"

#include <commctrl.h>

#include <exception>
#include <string>

inline constexpr wchar_t kCaption[] = L"Конфигуратор";

std::wstring Wide(const std::string &utf8);
std::string Narrow(const std::wstring &text);

std::string ItemText(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::string &utf8);

void ShowErrorBox(HWND owner, const std::string &utf8);
// OK / Cancel, Cancel the default; true on OK.
bool Confirm(HWND owner, const std::string &utf8);

// The text of what a handler let through ("Неизвестная ошибка" for what is no exception).
std::string ExceptionText(std::exception_ptr error);

// Runs a handler; what it throws reaches the error box, never the message loop.
template <class F>
void RunGuarded(HWND owner, F &&handler)
{
    try {
        handler();
    } catch (...) {
        ShowErrorBox(owner, ExceptionText(std::current_exception()));
    }
}
