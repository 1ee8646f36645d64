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

// Runs the dialog of a template, modal to owner, its state in the parameter; what EndDialog got.
INT_PTR RunModal(HWND owner, int templateId, DLGPROC proc, const void *state);
// A dialog's state, kept in DWLP_USER from WM_INITDIALOG on (null for the messages before it).
template <class T>
T *DialogState(HWND dialog, UINT message, LPARAM lParam)
{
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    return reinterpret_cast<T *>(GetWindowLongPtrW(dialog, DWLP_USER));
}
// WM_COMMAND of an OK/Cancel dialog: OK takes the fields (accept) and ends it, Cancel ends it;
// true when the command was either.
template <class Accept>
bool EndOnOkOrCancel(HWND dialog, WPARAM wParam, Accept &&accept)
{
    switch (LOWORD(wParam)) {
    case IDOK: accept(); EndDialog(dialog, IDOK); return true;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); return true;
    }
    return false;
}

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
