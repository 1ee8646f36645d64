// The about box: the product name as its title, the version, and the support links.
#include "Dialogs.h"
#include "VersionInfo.h"
#include "WinText.h"
#include "resource.h"

namespace {

// As the Qt view shows them.
constexpr char kSupportMail[] = "support@quorvel.example";
constexpr char kWebSite[] = "https://quorvel.example";

struct AboutState {
    std::string title, version;
    plat::IPlatform *local;
};

void SetLink(HWND dialog, int id, const std::string &text) { SetItemText(dialog, id, "<a>" + text + "</a>"); }

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *state = DialogState<AboutState>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(dialog, Wide(state->title).c_str());
        SetItemText(dialog, IDC_ABOUT_VERSION, "Версия продукта: " + state->version);
        SetLink(dialog, IDC_ABOUT_MAIL, kSupportMail);
        SetLink(dialog, IDC_ABOUT_SITE, kWebSite);
        return TRUE;
    case WM_NOTIFY: {
        auto *header = reinterpret_cast<NMHDR *>(lParam);
        if (header->code != NM_CLICK && header->code != NM_RETURN) break;
        std::string url;
        if (header->idFrom == IDC_ABOUT_MAIL) url = std::string("mailto:") + kSupportMail;
        if (header->idFrom == IDC_ABOUT_SITE) url = kWebSite;
        if (url.empty()) break;
        // The desktop's handler for the address (mail client, browser), shown normally.
        if (plat::Win32Error err = state->local->ShellOpen(Utf16(url)))
            ShowErrorBox(dialog, Utf8(state->local->SystemMessage(err)));
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

void RunAboutDialog(HWND owner, TVersionInfo &info, plat::IPlatform &local)
{
    // A program without its version resource says so instead of showing an empty box.
    AboutState state{info.ProductName(), info.FileVersion(), &local};
    RunModal(owner, IDD_ABOUT, AboutProc, &state);
}
