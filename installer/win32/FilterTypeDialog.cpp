// "Выбор типа фильтра": whether a new filter goes into the upper or the lower list.
#include "DeviceClasses.h"
#include "Dialogs.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK FilterTypeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        HWND combo = GetDlgItem(dialog, IDC_FILTER_KIND);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Верхний фильтр"));
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Нижний фильтр"));
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            auto *kind = reinterpret_cast<int *>(GetWindowLongPtrW(dialog, DWLP_USER));
            *kind =
                SendDlgItemMessageW(dialog, IDC_FILTER_KIND, CB_GETCURSEL, 0, 0) == 1 ? kLowerFilters : kUpperFilters;
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

bool RunFilterTypeDialog(HWND owner, int *kind)
{
    int chosen = kUpperFilters;
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FILTER_TYPE), owner, FilterTypeProc,
                        reinterpret_cast<LPARAM>(&chosen)) != IDOK)
        return false;
    *kind = chosen;
    return true;
}
