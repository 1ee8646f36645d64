// The configurator's dialogs on Windows, one file each. Each returns true when the user chose OK
// and leaves its out-parameters alone otherwise; the caller hands the fields to the presenter.
#pragma once

// winsock2.h, then windows.h: the order Winsock needs.
#include "common/wintypes.h"

#include <commctrl.h>

#include <string>

#include "Presenter.h"
#include "Text.h"

class TVersionInfo;

// "Соединение": the address, the TCP port and "convert to Modbus TCP".
bool RunConnectionDialog(HWND owner, ConnectionFields *fields);
// "ID устройства": the connection shown read-only, the id typed.
bool RunDeviceIdDialog(HWND owner, const std::string &connection, std::string *id);
// "Выбор типа фильтра": kUpperFilters or kLowerFilters.
bool RunFilterTypeDialog(HWND owner, int *kind);
// "Удаление фильтра": the kind whose list is shown and the name chosen in it (empty for none).
bool RunRemoveFilterDialog(HWND owner, const StringList &upper, const StringList &lower, int *kind, std::string *name);
// The about box: version and links, from the program's own version resource. Links open through
// the platform's shell call.
void RunAboutDialog(HWND owner, TVersionInfo &info, plat::IPlatform &local);
// The question before unapplied changes are left behind; Escape and the close box stay.
enum class LeaveAnswer { Apply, Discard, Stay };
LeaveAnswer RunLeaveDialog(HWND owner, const TPresenter::LeaveQuestion &question);
