// "Выбор типа фильтра": whether a new filter goes into the upper or the lower list.
#include "DeviceClasses.h"
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK FilterTypeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *kind = DialogState<int>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG: {
        HWND combo = GetDlgItem(dialog, IDC_FILTER_KIND);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Верхний фильтр"));
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Нижний фильтр"));
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        return TRUE;
    }
    case WM_COMMAND:
        return EndOnOkOrCancel(dialog, wParam, [&] {
            *kind =
                SendDlgItemMessageW(dialog, IDC_FILTER_KIND, CB_GETCURSEL, 0, 0) == 1 ? kLowerFilters : kUpperFilters;
        });
    }
    return FALSE;
}

}  // namespace

bool RunFilterTypeDialog(HWND owner, int *kind)
{
    int chosen = kUpperFilters;
    if (RunModal(owner, IDD_FILTER_TYPE, FilterTypeProc, &chosen) != IDOK) return false;
    *kind = chosen;
    return true;
}
