// "Соединение": a connection's address, TCP port and conversion, for adding or changing it.
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK ConnectionProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *fields = DialogState<ConnectionFields>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG:
        SetItemText(dialog, IDC_CONNECTION_ADDRESS, fields->address);
        SetItemText(dialog, IDC_CONNECTION_PORT, fields->port);
        CheckDlgButton(dialog, IDC_CONNECTION_CONVERT, fields->convert ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    case WM_COMMAND:
        return EndOnOkOrCancel(dialog, wParam, [&] {
            fields->address = ItemText(dialog, IDC_CONNECTION_ADDRESS);
            fields->port = ItemText(dialog, IDC_CONNECTION_PORT);
            fields->convert = IsDlgButtonChecked(dialog, IDC_CONNECTION_CONVERT) == BST_CHECKED;
        });
    }
    return FALSE;
}

}  // namespace

bool RunConnectionDialog(HWND owner, ConnectionFields *fields)
{
    ConnectionFields edited = *fields;
    if (RunModal(owner, IDD_CONNECTION, ConnectionProc, &edited) != IDOK) return false;
    *fields = edited;
    return true;
}
