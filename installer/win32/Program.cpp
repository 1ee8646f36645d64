// quorvel-installer.exe: the configurator on Windows. Without arguments it works on this
// machine's devices (PlatformWin32); "--host tcp:ADDRESS:PORT" works on a quorvel-host's ports
// over a TCP stream instead.
#include <memory>
#include <string>

#include "PlatformHost.h"
#include "MainWindow.h"
#include "PlatformWin32.h"
#include "WinText.h"

namespace {

constexpr char kUsage[] = "Использование: quorvel-installer [--host tcp:АДРЕС:ПОРТ]";

// The start-up warning. QUORVEL_STARTUP_ANSWER ("ok" or "cancel") answers it without a user, as
// for the Qt program.
bool RunStartupPrompt()
{
    wchar_t answer[16] = L"";
    DWORD length = GetEnvironmentVariableW(L"QUORVEL_STARTUP_ANSWER", answer, 16);
    if (length > 0 && length < 16) {
        if (std::wstring(answer) == L"ok") return true;
        if (std::wstring(answer) == L"cancel") return false;
    }
    return MessageBoxW(nullptr, Wide(kStartupWarning).c_str(), Wide(kStartupCaption).c_str(),
                       MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

// The host option's value, "tcp:ADDRESS:PORT", as "ADDRESS:PORT"; false for anything else.
bool ParseArguments(int argc, wchar_t **argv, bool *useHost, std::string *hostPort)
{
    *useHost = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        std::wstring value;
        if (arg == L"--host" && i + 1 < argc) {
            value = argv[++i];
        } else if (arg.rfind(L"--host=", 0) == 0) {
            value = arg.substr(7);
        } else {
            return false;
        }
        if (value.rfind(L"tcp:", 0) != 0 || value.size() <= 4) return false;
        *useHost = true;
        *hostPort = Narrow(value.substr(4));
    }
    return true;
}

int Run(int argc, wchar_t **argv, int show)
{
    bool useHost = false;
    std::string hostPort;
    if (!ParseArguments(argc, argv, &useHost, &hostPort)) {
        ShowErrorBox(nullptr, kUsage);
        return 2;
    }
    if (!RunStartupPrompt()) return 0;

    plat::PlatformWin32 local;
    std::unique_ptr<plat::IPlatform> host;
    if (useHost) {
        host = plat::MakeHostPlatformTcp(hostPort);
        if (!host) {
            ShowErrorBox(nullptr, "Не удалось подключиться к quorvel-host (tcp:" + hostPort + ").");
            return 1;
        }
    }
    TMainWindow window(host ? *host : local, local);
    if (!window.Create(show)) {
        ShowErrorBox(nullptr, Utf8(local.SystemMessage(GetLastError())));
        return 1;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (window.PreTranslate(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                       ICC_TAB_CLASSES | ICC_LINK_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int result = 1;
    try {
        result = Run(argc, argv, show);
    } catch (...) {
        // A failure while the window is being built has no handler above it.
        ShowErrorBox(nullptr, ExceptionText(std::current_exception()));
    }
    LocalFree(argv);
    return result;
}
