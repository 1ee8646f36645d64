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
    auto *state = DialogState<IdState>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG:
        SetItemText(dialog, IDC_DEVICE_CONNECTION, state->connection);
        SetItemText(dialog, IDC_DEVICE_ID, state->id);
        // The id field comes first in the template: it gets the focus with its text selected.
        return TRUE;
    case WM_COMMAND:
        return EndOnOkOrCancel(dialog, wParam, [&] { state->id = ItemText(dialog, IDC_DEVICE_ID); });
    }
    return FALSE;
}

}  // namespace

bool RunDeviceIdDialog(HWND owner, const std::string &connection, std::string *id)
{
    IdState state;
    state.connection = connection;
    if (RunModal(owner, IDD_DEVICE_ID, DeviceIdProc, &state) != IDOK) return false;
    *id = state.id;
    return true;
}
