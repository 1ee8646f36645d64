// "Соединение": a connection's address, TCP port and conversion, for adding or changing it.
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK ConnectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *fields = reinterpret_cast<ConnectionFields *>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        fields = reinterpret_cast<ConnectionFields *>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SetItemText(dialog, IDC_CONNECTION_ADDRESS, fields->address);
        SetItemText(dialog, IDC_CONNECTION_PORT, fields->port);
        CheckDlgButton(dialog, IDC_CONNECTION_CONVERT, fields->convert ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            fields->address = ItemText(dialog, IDC_CONNECTION_ADDRESS);
            fields->port = ItemText(dialog, IDC_CONNECTION_PORT);
            fields->convert = IsDlgButtonChecked(dialog, IDC_CONNECTION_CONVERT) == BST_CHECKED;
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

bool RunConnectionDialog(HWND owner, ConnectionFields *fields)
{
    ConnectionFields edited = *fields;
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONNECTION), owner, ConnectionProc,
                        reinterpret_cast<LPARAM>(&edited)) != IDOK)
        return false;
    *fields = edited;
    return true;
}
