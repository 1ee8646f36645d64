// "ID устройства": the id of a Modbus device behind the selected connection.
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

struct IdState {
    std::string connection;
    std::string id = "1";
};

INT_PTR CALLBACK DeviceIdProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *state = reinterpret_cast<IdState *>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        state = reinterpret_cast<IdState *>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SetItemText(dialog, IDC_DEVICE_CONNECTION, state->connection);
        SetItemText(dialog, IDC_DEVICE_ID, state->id);
        // The id field comes first in the template: it gets the focus with its text selected.
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            state->id = ItemText(dialog, IDC_DEVICE_ID);
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

bool RunDeviceIdDialog(HWND owner, const std::string &connection, std::string *id)
{
    IdState state;
    state.connection = connection;
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_DEVICE_ID), owner, DeviceIdProc,
                        reinterpret_cast<LPARAM>(&state)) != IDOK)
        return false;
    *id = state.id;
    return true;
}
