// "Удаление фильтра": the upper or the lower filter list of a class or a port, and the name to
// remove from the list shown.
#include "DeviceClasses.h"
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

struct RemoveState {
    const StringList *upper;
    const StringList *lower;
    int kind = kUpperFilters;
    std::string chosen;
};

void ShowKind(HWND dialog, RemoveState *state)
{
    state->kind = SendDlgItemMessageW(dialog, IDC_REMOVE_KIND, CB_GETCURSEL, 0, 0) == 1 ? kLowerFilters : kUpperFilters;
    // A name chosen in the other list means nothing in this one: OK must never act on a name
    // that the list it shows does not hold.
    HWND list = GetDlgItem(dialog, IDC_REMOVE_LIST);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::string &name : state->kind == kUpperFilters ? *state->upper : *state->lower)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
    state->chosen.clear();
}

void TakeSelection(HWND dialog, RemoveState *state)
{
    HWND list = GetDlgItem(dialog, IDC_REMOVE_LIST);
    LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
    const StringList &names = state->kind == kUpperFilters ? *state->upper : *state->lower;
    state->chosen = index >= 0 && static_cast<std::size_t>(index) < names.size() ? names[index] : std::string();
}

INT_PTR CALLBACK RemoveFilterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *state = DialogState<RemoveState>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG: {
        HWND combo = GetDlgItem(dialog, IDC_REMOVE_KIND);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Верхние фильтры"));
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Нижние фильтры"));
        SendMessageW(combo, CB_SETCURSEL, 0, 0);
        ShowKind(dialog, state);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_REMOVE_KIND:
            if (HIWORD(wParam) == CBN_SELCHANGE) ShowKind(dialog, state);
            return TRUE;
        case IDC_REMOVE_LIST:
            // Selection by mouse or keyboard alike.
            if (HIWORD(wParam) == LBN_SELCHANGE) TakeSelection(dialog, state);
            return TRUE;
        }
        return EndOnOkOrCancel(dialog, wParam, [] {});
    }
    return FALSE;
}

}  // namespace

bool RunRemoveFilterDialog(HWND owner, const StringList &upper, const StringList &lower, int *kind, std::string *name)
{
    RemoveState state{&upper, &lower};
    if (RunModal(owner, IDD_REMOVE_FILTER, RemoveFilterProc, &state) != IDOK) return false;
    *kind = state.kind;
    *name = state.chosen;
    return true;
}
