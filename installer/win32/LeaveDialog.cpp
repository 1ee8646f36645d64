// The question before unapplied changes are left behind: three buttons with the presenter's texts,
// which a message box cannot show.
#include "Dialogs.h"
#include "WinText.h"
#include "resource.h"

namespace {

INT_PTR CALLBACK LeaveProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        const auto *question = reinterpret_cast<const TPresenter::LeaveQuestion *>(lParam);
        SetItemText(dialog, IDC_LEAVE_TEXT, question->text);
        SetItemText(dialog, IDOK, question->apply);
        SetItemText(dialog, IDC_LEAVE_DISCARD, question->discard);
        SetItemText(dialog, IDCANCEL, question->cancel);
        return TRUE;  // the focus on the default button: Enter applies
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDC_LEAVE_DISCARD:
        case IDCANCEL: EndDialog(dialog, LOWORD(wParam)); return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

LeaveAnswer RunLeaveDialog(HWND owner, const TPresenter::LeaveQuestion &question)
{
    INT_PTR answer = RunModal(owner, IDD_LEAVE, LeaveProc, &question);
    if (answer == IDOK) return LeaveAnswer::Apply;
    if (answer == IDC_LEAVE_DISCARD) return LeaveAnswer::Discard;
    return LeaveAnswer::Stay;
}
